#include "kernels/quadsum/quadsum.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "kernels/common/panic.hpp"

// See cover.hpp: its vector helpers are always inlined.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "kernels/quadsum/cover.hpp"

namespace pellorin::quadsum {

namespace {

// ---------------------------------------------------------------------------
// The plan: which blocks and pieces may reach each tile.

struct Box {
    double xmin, xmax, ymin, ymax;
};

// Box with no extent in either direction: it reaches no tile.
constexpr Box empty_box{infinity, -infinity, infinity, -infinity};

inline bool finite(double v) noexcept {
    return v - v == 0.0;  // NOLINT(misc-redundant-expression): v - v is the finiteness test
}

inline void extend(Box& b, double x, double y) noexcept {
    b.xmin = x < b.xmin ? x : b.xmin;
    b.xmax = x > b.xmax ? x : b.xmax;
    b.ymin = y < b.ymin ? y : b.ymin;
    b.ymax = y > b.ymax ? y : b.ymax;
}

inline std::uint64_t lattice_index(const Inputs& in, std::uint64_t j, std::uint64_t i) noexcept {
    return j * (in.nx + 1) + i;
}

// Whether pixel p is taken whole: the take map allows it and its corners,
// from lattice index l, are finite.
inline bool corners_finite(const Inputs& in, std::uint64_t l) noexcept {
    const std::uint64_t row = in.nx + 1;
    return finite(in.xs[l]) && finite(in.ys[l]) && finite(in.xs[l + 1]) && finite(in.ys[l + 1]) &&
           finite(in.xs[l + row + 1]) && finite(in.ys[l + row + 1]) && finite(in.xs[l + row]) && finite(in.ys[l + row]);
}

// The bounding box of the pixels of block (by, bx) that are taken whole.
// When the block's pixels are all allowed by the take map and its lattice
// points all finite, the box of the lattice points is that box; otherwise
// each pixel is looked at.
Box block_box(const Inputs& in, std::uint64_t by, std::uint64_t bx) {
    const std::uint64_t j0 = by * block_side, i0 = bx * block_side;
    const std::uint64_t j1 = j0 + block_side < in.ny ? j0 + block_side : in.ny;
    const std::uint64_t i1 = i0 + block_side < in.nx ? i0 + block_side : in.nx;
    bool all_taken = true;
    if (in.take != nullptr) {
        for (std::uint64_t j = j0; j < j1 && all_taken; ++j) {
            for (std::uint64_t i = i0; i < i1; ++i) {
                all_taken = all_taken && in.take[j * in.nx + i] != 0;
            }
        }
    }
    Box b = empty_box;
    if (all_taken) {
        bool all_finite = true;
        for (std::uint64_t j = j0; j <= j1; ++j) {
            const double* xr = in.xs + lattice_index(in, j, 0);
            const double* yr = in.ys + lattice_index(in, j, 0);
            for (std::uint64_t i = i0; i <= i1; ++i) {
                const double x = xr[i], y = yr[i];
                all_finite = all_finite && finite(x) && finite(y);
                extend(b, x, y);
            }
        }
        if (all_finite) {
            return b;
        }
        b = empty_box;
    }
    const std::uint64_t row = in.nx + 1;
    for (std::uint64_t j = j0; j < j1; ++j) {
        for (std::uint64_t i = i0; i < i1; ++i) {
            const std::uint64_t l = lattice_index(in, j, i);
            if ((in.take != nullptr && in.take[j * in.nx + i] == 0) || !corners_finite(in, l)) {
                continue;
            }
            extend(b, in.xs[l], in.ys[l]);
            extend(b, in.xs[l + 1], in.ys[l + 1]);
            extend(b, in.xs[l + row + 1], in.ys[l + row + 1]);
            extend(b, in.xs[l + row], in.ys[l + row]);
        }
    }
    return b;
}

// The tiles [lo, hi] along one axis that the extent [vmin, vmax] may
// reach; tile t holds coordinates [t * size - 0.5, (t + 1) * size - 0.5].
// Widened by a millionth of a tile each way, so that rounding never drops
// a tile; lo > hi when the extent misses the grid [-0.5, cells - 0.5] or
// only touches it.
struct TileRange {
    std::uint64_t lo, hi;
};

TileRange tile_range(double vmin, double vmax, std::uint64_t cells, std::uint64_t size, std::uint64_t tiles) {
    const double edge = static_cast<double>(cells) - 0.5;
    if (!(vmax > -0.5 && vmin < edge)) {
        return {1, 0};
    }
    const double s = static_cast<double>(size);
    const double last = static_cast<double>(tiles - 1);
    double lo = std::floor((vmin + 0.5) / s - 1e-6);
    double hi = std::floor((vmax + 0.5) / s + 1e-6);
    lo = lo > 0.0 ? lo : 0.0;
    hi = hi < last ? hi : last;
    lo = lo < last ? lo : last;
    hi = hi > 0.0 ? hi : 0.0;
    return {static_cast<std::uint64_t>(lo), static_cast<std::uint64_t>(hi)};
}

struct TileRect {
    TileRange x, y;
    bool empty() const noexcept { return x.lo > x.hi || y.lo > y.hi; }
};

// Counting sort of items into the tiles their rectangles reach: start[t]
// .. start[t + 1] index list, in ascending item order within each tile.
template <class RectOf>
void bucket(std::uint64_t items, std::uint64_t tiles_x, std::uint64_t tiles, RectOf&& rect_of,
            OwnedBuffer<std::uint64_t>& start, OwnedBuffer<std::uint64_t>& list, const char* what) {
    std::uint64_t slots = 0;
    panic_unless(!__builtin_add_overflow(tiles, std::uint64_t{1}, &slots), "quadsum: tile count overflows");
    start = OwnedBuffer<std::uint64_t>::zeroed(slots, what);
    std::uint64_t total = 0;
    for (std::uint64_t k = 0; k < items; ++k) {
        const TileRect r = rect_of(k);
        if (r.empty()) {
            continue;
        }
        for (std::uint64_t ty = r.y.lo; ty <= r.y.hi; ++ty) {
            for (std::uint64_t tx = r.x.lo; tx <= r.x.hi; ++tx) {
                ++start[ty * tiles_x + tx + 1];
            }
        }
        total += (r.y.hi - r.y.lo + 1) * (r.x.hi - r.x.lo + 1);
    }
    for (std::uint64_t t = 0; t < tiles; ++t) {
        start[t + 1] += start[t];
    }
    list = OwnedBuffer<std::uint64_t>::uninitialized(total, what);
    OwnedBuffer<std::uint64_t> fill = OwnedBuffer<std::uint64_t>::uninitialized(tiles, what);
    std::memcpy(fill.data(), start.data(), tiles * sizeof(std::uint64_t));
    for (std::uint64_t k = 0; k < items; ++k) {
        const TileRect r = rect_of(k);
        if (r.empty()) {
            continue;
        }
        for (std::uint64_t ty = r.y.lo; ty <= r.y.hi; ++ty) {
            for (std::uint64_t tx = r.x.lo; tx <= r.x.hi; ++tx) {
                list[fill[ty * tiles_x + tx]++] = k;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The tile work.

#define PEL_TILE_INLINE [[gnu::always_inline]] inline

// What a tile loop accumulates, as far as its inner loops need to know:
// General handles any number of planes and either coverage, checking each
// accumulator per cell; the others are one plane with shared coverage, with
// or without flux and variance.
enum class Layout { General, One, OneFlux, OneVariance, OneFluxVariance };

// One tile's view of the accumulators and of the pixel being added.
template <Layout L>
struct Sink {
    static constexpr bool one = L != Layout::General;
    static constexpr bool has_flux = L == Layout::OneFlux || L == Layout::OneFluxVariance;
    static constexpr bool has_variance = L == Layout::OneVariance || L == Layout::OneFluxVariance;

    // Cell (r, c) (local) of plane p of an accumulator is element
    // p * plane + r * stride + c of its base pointer, which is offset to the
    // tile's shift.
    double* sum;
    double* weight;
    double* flux;
    double* variance;
    std::int64_t stride;
    std::uint64_t plane;   // cells per output plane
    std::uint64_t planes;  // k
    bool per_plane;        // Coverage::PerPlane
    // The pixel: its values (plane p at values[p * npix]), weight, variances
    // (likewise) and effective area A; with one plane, wv = w * value.
    const double* values;
    const double* var_in;
    std::uint64_t npix;
    double w;
    double area;
    double wv;
    // Where cell_if sends the updates of cells it does not keep.
    double spare[4];

    PEL_TILE_INLINE void set_pixel(const double* v, const double* var, double weight_of_pixel,
                                   double effective_area) noexcept {
        values = v;
        var_in = var;
        w = weight_of_pixel;
        area = effective_area;
        if constexpr (one) {
            wv = w * v[0];
        }
    }

    // One cell with overlap a > 0.
    PEL_TILE_INLINE void cell(std::int64_t r, std::int64_t c, double a) noexcept { cell_if(r, c, a, true); }

    // The cell's terms when `keep`, else nothing. With one plane, without a
    // branch on `keep`: the updates of a cell not kept go to the sink's own
    // spare slots.
    PEL_TILE_INLINE void cell_if(std::int64_t r, std::int64_t c, double a, bool keep) noexcept {
        const std::int64_t at = r * stride + c;
        const double wa = w * a;
        if constexpr (one) {
            if (weight != nullptr) {
                double* d = keep ? weight + at : &spare[0];
                *d = *d + wa;
            }
            if (sum != nullptr) {
                double* d = keep ? sum + at : &spare[1];
                *d = *d + wv * a;
            }
            if constexpr (has_flux) {
                double* d = keep ? flux + at : &spare[2];
                *d = *d + wv * (a / area);
            }
            if constexpr (has_variance) {
                double* d = keep ? variance + at : &spare[3];
                *d = *d + (wa * wa) * var_in[0];
            }
        } else {
            if (keep) {
                general_cell(at, a, wa);
            }
        }
    }

    PEL_TILE_INLINE void general_cell(std::int64_t at, double a, double wa) const noexcept {
        if (weight != nullptr && !per_plane) {
            weight[at] = weight[at] + wa;
        }
        const double ratio = flux != nullptr ? a / area : 0.0;
        const double wa2 = wa * wa;
        for (std::uint64_t p = 0; p < planes; ++p) {
            const double v = values[p * npix];
            if (v != v) {  // NaN: only with per-plane coverage
                continue;
            }
            const std::int64_t pa = at + static_cast<std::int64_t>(p * plane);
            const double term = w * v;
            if (sum != nullptr) {
                sum[pa] = sum[pa] + term * a;
            }
            if (weight != nullptr && per_plane) {
                weight[pa] = weight[pa] + wa;
            }
            if (flux != nullptr) {
                flux[pa] = flux[pa] + term * ratio;
            }
            if (variance != nullptr) {
                variance[pa] = variance[pa] + wa2 * var_in[p * npix];
            }
        }
    }

    // Cells first .. last of row r, each inside the quad whole (a = 1): the
    // terms of a cell with a = 1 (w * 1 = w, wv * 1 = wv, 1 / A).
    PEL_TILE_INLINE void span(std::int64_t r, std::int64_t first, std::int64_t last) const noexcept {
        const std::int64_t at = r * stride + first;
        const std::int64_t n = last - first + 1;
        const double ratio = flux != nullptr ? 1.0 / area : 0.0;
        const double w2 = w * w;
        if (weight != nullptr && !per_plane) {
            add_run(weight + at, n, w);
        }
        for (std::uint64_t p = 0; p < planes; ++p) {
            const double v = values[p * npix];
            if (v != v) {
                continue;
            }
            const std::int64_t pa = at + static_cast<std::int64_t>(p * plane);
            const double term = w * v;
            if (sum != nullptr) {
                add_run(sum + pa, n, term);
            }
            if (weight != nullptr && per_plane) {
                add_run(weight + pa, n, w);
            }
            if (flux != nullptr) {
                add_run(flux + pa, n, term * ratio);
            }
            if (variance != nullptr) {
                add_run(variance + pa, n, w2 * var_in[p * npix]);
            }
        }
    }

    PEL_TILE_INLINE static void add_run(double* row, std::int64_t n, double term) noexcept {
        for (std::int64_t k = 0; k < n; ++k) {
            row[k] = row[k] + term;
        }
    }
};

using lanes::v4d;

// Whether the pixel at flat index p is missing from every plane: with
// shared coverage when some plane's value is NaN, with per-plane coverage
// when all are.
PEL_TILE_INLINE bool pixel_missing(const Inputs& in, std::uint64_t p, std::uint64_t npix, bool per_plane) noexcept {
    if (in.planes == 1) {
        return in.values[p] != in.values[p];
    }
    std::uint64_t nan = 0;
    for (std::uint64_t k = 0; k < in.planes; ++k) {
        const double v = in.values[k * npix + p];
        nan += v != v ? 1 : 0;
    }
    return per_plane ? nan == in.planes : nan != 0;
}

// One tile: its cells and the shift that makes coordinates local.
struct Tile {
    Window win;  // local cell ranges
    lanes::WindowLimits limits;
    v4d sx, sy;     // the shift: global = local + shift
    double xl, xr;  // the window's sides, local: c0 - 0.5, c1 - 0.5
    double yb, yt;  // r0 - 0.5, r1 - 0.5
};

// Adds the quad with global corners (gx, gy) (corner k in lane k) of pixel
// p, with share f and weight w > 0, to the tile's cells; nothing when a
// corner is not finite, when the quad misses the tile's cells or only
// touches them, or when its area is not > 0.
template <class Sink>
PEL_TILE_INLINE void add_quad(const Inputs& in, const Tile& tile, Sink& sink, v4d gx, v4d gy, std::uint64_t p,
                              double share, double w) {
    const lanes::Corners q{gx - tile.sx, gy - tile.sy};
    if (!lanes::all_lanes(lanes::finite(q.x) & lanes::finite(q.y))) {
        return;
    }
    // {xmin, ymin, xmax, ymax} of the local corners.
    const v4d a = __builtin_shufflevector(q.x, q.y, 0, 4, 1, 5), b = __builtin_shufflevector(q.x, q.y, 2, 6, 3, 7);
    const v4d mn = lanes::vmin(a, b), mx = lanes::vmax(a, b);
    const v4d mn2 = lanes::vmin(mn, lanes::across(mn)), mx2 = lanes::vmax(mx, lanes::across(mx));
    const v4d bounds = __builtin_shufflevector(mn2, mx2, 0, 1, 4, 5);
    // Strict: a quad that only touches the window adds nothing.
    if (!(bounds[2] > tile.xl && bounds[0] < tile.xr && bounds[3] > tile.yb && bounds[1] < tile.yt)) {
        return;
    }
    // Half the cross product of the diagonals, from the global corners:
    // |(x2 - x0)(y3 - y1) - (y2 - y0)(x3 - x1)| * 0.5. Nearby corners
    // subtract exactly (Sterbenz), so the area does not depend on the tile.
    const v4d dgx = lanes::across(gx) - gx, dgy = lanes::across(gy) - gy;
    const double qa = std::fabs(dgx[0] * dgy[1] - dgy[0] * dgx[1]) * 0.5;
    if (!(qa > 0.0)) {
        return;
    }
    sink.set_pixel(in.values + p, in.variance != nullptr ? in.variance + p : nullptr, w, qa / share);
    const lanes::CellRange k = lanes::cell_range(bounds, tile.limits);
    if (k.single) {
        // Inside one cell (in the window, since the quad reaches inside
        // it): the whole quad's area, the same number as A f.
        sink.cell(k.r_lo, k.c_lo, qa);
        return;
    }
    // Small quads in fixed blocks of 2 or 3 rows and columns.
    if (k.rows <= 3 && k.cols <= 3) {
        const lanes::Edges e = lanes::edges_of(q);
        if (k.rows <= 2) {
            if (k.cols <= 2) {
                lanes::cover_small<2, 2>(e, k.r_first, k.c_first, tile.win, sink);
            } else {
                lanes::cover_small<2, 3>(e, k.r_first, k.c_first, tile.win, sink);
            }
        } else if (k.cols <= 2) {
            lanes::cover_small<3, 2>(e, k.r_first, k.c_first, tile.win, sink);
        } else {
            lanes::cover_small<3, 3>(e, k.r_first, k.c_first, tile.win, sink);
        }
        return;
    }
    lanes::cover_quad(lanes::edges_of(q), k, sink);
}

struct TileLists {
    std::uint64_t tiles_x, tile_side, ny_out, nx_out, blocks_x;
    const std::uint64_t* block_start;
    const std::uint64_t* block_list;
    const std::uint64_t* piece_start;
    const std::uint64_t* piece_list;
};

template <class Sink>
PEL_TILE_INLINE void run_tile(const Inputs& in, const TileLists& tl, std::uint64_t t, const Sink& sink) {
    const std::uint64_t ty = t / tl.tiles_x, tx = t % tl.tiles_x;
    const std::uint64_t r0 = ty * tl.tile_side, c0 = tx * tl.tile_side;
    const std::uint64_t r1 = r0 + tl.tile_side < tl.ny_out ? r0 + tl.tile_side : tl.ny_out;
    const std::uint64_t c1 = c0 + tl.tile_side < tl.nx_out ? c0 + tl.tile_side : tl.nx_out;
    const auto sy = static_cast<std::int64_t>((r0 + r1) / 2), sx = static_cast<std::int64_t>((c0 + c1) / 2);
    Tile tile;
    tile.win = {static_cast<std::int64_t>(r0) - sy, static_cast<std::int64_t>(r1) - sy,
                static_cast<std::int64_t>(c0) - sx, static_cast<std::int64_t>(c1) - sx};
    tile.sx = lanes::splat(static_cast<double>(sx));
    tile.sy = lanes::splat(static_cast<double>(sy));
    tile.xl = static_cast<double>(tile.win.c0) - 0.5;
    tile.xr = static_cast<double>(tile.win.c1) - 0.5;
    tile.yb = static_cast<double>(tile.win.r0) - 0.5;
    tile.yt = static_cast<double>(tile.win.r1) - 0.5;
    tile.limits = lanes::window_limits(tile.win);

    const std::uint64_t npix = in.ny * in.nx;
    const std::uint64_t row = in.nx + 1;
    Sink s = sink;
    const std::int64_t shift = sy * s.stride + sx;
    s.sum = s.sum != nullptr ? s.sum + shift : nullptr;
    s.weight = s.weight != nullptr ? s.weight + shift : nullptr;
    s.flux = s.flux != nullptr ? s.flux + shift : nullptr;
    s.variance = s.variance != nullptr ? s.variance + shift : nullptr;

    for (std::uint64_t e = tl.block_start[t]; e < tl.block_start[t + 1]; ++e) {
        const std::uint64_t blk = tl.block_list[e];
        const std::uint64_t by = blk / tl.blocks_x, bx = blk % tl.blocks_x;
        const std::uint64_t j0 = by * block_side, i0 = bx * block_side;
        const std::uint64_t j1 = j0 + block_side < in.ny ? j0 + block_side : in.ny;
        const std::uint64_t i1 = i0 + block_side < in.nx ? i0 + block_side : in.nx;
        for (std::uint64_t j = j0; j < j1; ++j) {
            const double* x0 = in.xs + j * row;
            const double* y0 = in.ys + j * row;
            for (std::uint64_t i = i0; i < i1; ++i) {
                const std::uint64_t p = j * in.nx + i;
                if (in.take != nullptr && in.take[p] == 0) {
                    continue;
                }
                const double w = in.weights != nullptr ? in.weights[p] : 1.0;
                if (!(w > 0.0) || pixel_missing(in, p, npix, s.per_plane)) {
                    continue;
                }
                const v4d gx{x0[i], x0[i + 1], x0[i + row + 1], x0[i + row]};
                const v4d gy{y0[i], y0[i + 1], y0[i + row + 1], y0[i + row]};
                add_quad(in, tile, s, gx, gy, p, 1.0, w);
            }
        }
    }
    for (std::uint64_t e = tl.piece_start[t]; e < tl.piece_start[t + 1]; ++e) {
        const std::uint64_t k = tl.piece_list[e];
        const double* pq = in.piece_quads + 8 * k;
        const std::uint64_t p = in.piece_source[k];
        const double w = in.weights != nullptr ? in.weights[p] : 1.0;
        if (!(w > 0.0) || pixel_missing(in, p, npix, s.per_plane)) {
            continue;
        }
        add_quad(in, tile, s, v4d{pq[0], pq[2], pq[4], pq[6]}, v4d{pq[1], pq[3], pq[5], pq[7]}, p, in.piece_share[k],
                 w);
    }
}

// The tile loop once per instruction set: the same source, so the same
// operations in the same order, compiled for each.
template <class Sink>
void run_tiles_baseline(const Inputs& in, const TileLists& tl, std::uint64_t t0, std::uint64_t t1, const Sink& s) {
    for (std::uint64_t t = t0; t < t1; ++t) {
        run_tile(in, tl, t, s);
    }
}

#if PELLORIN_AVX2_VARIANTS
// Runs only for Isa::Avx2, after require_isa accepted it.
template <class Sink>
[[gnu::target("avx2")]] void run_tiles_avx2(const Inputs& in, const TileLists& tl, std::uint64_t t0, std::uint64_t t1,
                                            const Sink& s) {
    for (std::uint64_t t = t0; t < t1; ++t) {
        run_tile(in, tl, t, s);
    }
}
#endif

#undef PEL_TILE_INLINE

[[noreturn, gnu::cold, gnu::noinline]] void bad_piece(std::uint64_t k, const char* what) {
    panic("quadsum: piece " + std::to_string(k) + " " + what);
}

}  // namespace

Plan make_plan(const Inputs& in, std::uint64_t ny_out, std::uint64_t nx_out, std::uint64_t tile_size) {
    panic_unless(tile_size >= 1, "quadsum: tile size must be at least 1");
    panic_unless(in.planes >= 1, "quadsum: at least one plane of values");
    std::uint64_t npix = 0;
    panic_unless(checked_mul(in.ny, in.nx, npix), "quadsum: pixel count overflows");
    panic_unless(npix == 0 || (in.xs != nullptr && in.ys != nullptr && in.values != nullptr),
                 "quadsum: lattice and values required");
    panic_unless(in.pieces == 0 || (in.piece_quads != nullptr && in.piece_source != nullptr &&
                                    in.piece_share != nullptr && in.values != nullptr),
                 "quadsum: piece arrays required");
    for (std::uint64_t k = 0; k < in.pieces; ++k) {
        if (in.piece_source[k] >= npix) [[unlikely]] {
            bad_piece(k, "has a source pixel out of range");
        }
        const double f = in.piece_share[k];
        if (!(f > 0.0 && f <= 1.0)) [[unlikely]] {
            bad_piece(k, "has a share outside (0, 1]");
        }
    }
    Plan plan;
    plan.ny_out_ = ny_out;
    plan.nx_out_ = nx_out;
    plan.tile_ = tile_size;
    plan.tiles_x_ = nx_out / tile_size + (nx_out % tile_size != 0 ? 1 : 0);
    plan.tiles_y_ = ny_out / tile_size + (ny_out % tile_size != 0 ? 1 : 0);
    std::uint64_t tiles = 0;
    panic_unless(checked_mul(plan.tiles_x_, plan.tiles_y_, tiles), "quadsum: tile count overflows");
    plan.blocks_x_ = in.nx / block_side + (in.nx % block_side != 0 ? 1 : 0);
    const std::uint64_t blocks_y = in.ny / block_side + (in.ny % block_side != 0 ? 1 : 0);
    const std::uint64_t blocks = plan.blocks_x_ * blocks_y;

    if (tiles == 0) {
        plan.block_start_ = OwnedBuffer<std::uint64_t>::zeroed(1, "quadsum tile lists");
        plan.piece_start_ = OwnedBuffer<std::uint64_t>::zeroed(1, "quadsum tile lists");
        plan.block_list_ = OwnedBuffer<std::uint64_t>::zeroed(0, "quadsum tile lists");
        plan.piece_list_ = OwnedBuffer<std::uint64_t>::zeroed(0, "quadsum tile lists");
        return plan;
    }
    // Each block's tile rectangle, found once and read by both passes of
    // the counting sort.
    OwnedBuffer<TileRect> rects = OwnedBuffer<TileRect>::uninitialized(blocks, "quadsum block bounds");
    for (std::uint64_t by = 0; by < blocks_y; ++by) {
        for (std::uint64_t bx = 0; bx < plan.blocks_x_; ++bx) {
            const Box b = block_box(in, by, bx);
            rects[by * plan.blocks_x_ + bx] = {tile_range(b.xmin, b.xmax, nx_out, tile_size, plan.tiles_x_),
                                               tile_range(b.ymin, b.ymax, ny_out, tile_size, plan.tiles_y_)};
        }
    }
    bucket(
        blocks, plan.tiles_x_, tiles, [&](std::uint64_t k) { return rects[k]; }, plan.block_start_, plan.block_list_,
        "quadsum tile lists");
    bucket(
        in.pieces, plan.tiles_x_, tiles,
        [&](std::uint64_t k) {
            const double* q = in.piece_quads + 8 * k;
            Box b = empty_box;
            bool ok = true;
            for (std::size_t c = 0; c < 4; ++c) {
                ok = ok && finite(q[2 * c]) && finite(q[2 * c + 1]);
                extend(b, q[2 * c], q[2 * c + 1]);
            }
            if (!ok) {
                return TileRect{{1, 0}, {1, 0}};
            }
            return TileRect{tile_range(b.xmin, b.xmax, nx_out, tile_size, plan.tiles_x_),
                            tile_range(b.ymin, b.ymax, ny_out, tile_size, plan.tiles_y_)};
        },
        plan.piece_start_, plan.piece_list_, "quadsum tile lists");
    return plan;
}

void accumulate_tiles(const Inputs& in, const Plan& plan, const Accumulators& acc, std::uint64_t tile_begin,
                      std::uint64_t tile_end, Isa isa) {
    panic_unless(acc.ny_out == plan.ny_out_ && acc.nx_out == plan.nx_out_,
                 "quadsum: accumulators and plan differ in shape");
    panic_unless(tile_begin <= tile_end && tile_end <= plan.tile_count(), "quadsum: tile range out of bounds");
    require_isa(isa, "quadsum accumulation");
    panic_unless(acc.variance == nullptr || in.variance != nullptr, "quadsum: V needs the input variance");
    std::uint64_t plane = 0;
    panic_unless(checked_mul(acc.ny_out, acc.nx_out, plane), "quadsum: cell count overflows");
    const TileLists tl{plan.tiles_x_,
                       plan.tile_,
                       plan.ny_out_,
                       plan.nx_out_,
                       plan.blocks_x_,
                       plan.block_start_.data(),
                       plan.block_list_.data(),
                       plan.piece_start_.data(),
                       plan.piece_list_.data()};
    const bool per_plane = acc.coverage == Coverage::PerPlane;
    const auto run = [&]<Layout L>() {
        Sink<L> sink{};
        sink.sum = acc.sum;
        sink.weight = acc.weight;
        sink.flux = acc.flux;
        sink.variance = acc.variance;
        sink.stride = static_cast<std::int64_t>(acc.nx_out);
        sink.plane = plane;
        sink.planes = in.planes;
        sink.per_plane = per_plane;
        sink.npix = in.ny * in.nx;
#if PELLORIN_AVX2_VARIANTS
        if (isa == Isa::Avx2) {
            run_tiles_avx2(in, tl, tile_begin, tile_end, sink);
            return;
        }
#endif
        run_tiles_baseline(in, tl, tile_begin, tile_end, sink);
    };
    if (in.planes != 1 || per_plane) {
        run.template operator()<Layout::General>();
    } else if (acc.flux != nullptr) {
        if (acc.variance != nullptr) {
            run.template operator()<Layout::OneFluxVariance>();
        } else {
            run.template operator()<Layout::OneFlux>();
        }
    } else if (acc.variance != nullptr) {
        run.template operator()<Layout::OneVariance>();
    } else {
        run.template operator()<Layout::One>();
    }
}

}  // namespace pellorin::quadsum
