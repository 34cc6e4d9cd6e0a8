#include "kernels/quadsum/quadsum.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "kernels/common/panic.hpp"
#include "kernels/parallel/partition.hpp"

// See cover.hpp: its vector helpers are always inlined.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "kernels/quadsum/cover.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pellorin::quadsum {

namespace {

constexpr std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0 ? 1 : 0); }

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
// or without flux and variance, or (OneMean) the S and W of a one-plane
// mean, paired in the tile's scratch.
enum class Layout { General, One, OneFlux, OneVariance, OneFluxVariance, OneMean };

// The cells a tile's quads reach, recorded for the general layout: each
// entry is a run of n cells (n = 1, or a span of cells inside a quad whole)
// from local cell (r, c), with overlap a, of the quad `quad` of the log.
struct LogQuad {
    const double* values;  // plane p at values[p * npix]
    const double* var_in;  // likewise, or null
    double w;
    double area;
    bool missing;  // with S interleaved: a NaN in some plane (set by flush)
};
struct LogCell {
    std::int32_t r, c;
    double a;
    std::uint32_t quad;
    std::uint32_t n;
};
// Entries held before they are added: a few tens of KiB, so that the planes'
// passes over them read them from cache.
inline constexpr std::uint32_t log_cells = 2048;
inline constexpr std::uint32_t log_quads = 1024;

// One tile's view of the accumulators and of the pixel being added.
template <Layout L>
struct Sink {
    static constexpr bool one = L != Layout::General;
    static constexpr bool has_flux = L == Layout::OneFlux || L == Layout::OneFluxVariance;
    static constexpr bool has_variance = L == Layout::OneVariance || L == Layout::OneFluxVariance;
    // S and W of cell (r, c) side by side: elements 2 (r * stride + c) and
    // 2 (r * stride + c) + 1 of `sum`, so that a cell's two terms are one
    // load and one store.
    static constexpr bool paired = L == Layout::OneMean;
    // A one-plane mean's tile may be left whole to the first quad that
    // reaches it when that quad covers the tile whole (see covers_window):
    // its terms are then held (`pending`) instead of being added cell by
    // cell, and become the tile's result at its end, or its scratch's
    // first terms when another quad comes.
    static constexpr bool may_hold = L == Layout::One;
    bool can_hold;  // a mean's scratch, with may_hold
    bool fresh;     // no quad has reached the tile yet
    bool pending;   // a quad's terms (w v, w) held for the whole tile
    double held_sum, held_weight;

    // Cell (r, c) (local) of plane p of an accumulator is element
    // p * plane + r * stride + c of its base pointer, which is offset to the
    // tile's shift (for a mean, S and W are a tile's scratch, with the
    // scratch's stride and plane; S's planes may be interleaved, see below).
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
    // The general layout records the cells of the quads (in order) and adds
    // them plane by plane when the log is full and when the tile ends: each
    // plane's pass writes one plane's part of the tile, which stays in
    // cache, where adding all planes per cell would spread every cell's
    // writes over k planes. Each cell of each accumulator takes the same
    // terms in the same order either way.
    LogCell* log_cell;
    LogQuad* log_quad;
    std::uint32_t cells_used;
    std::uint32_t quads_used;
    // A mean of several planes with shared coverage sums in a tile's
    // scratch whose planes are interleaved: cell (r, c) plane p of S is
    // element (r * stride + c) * planes + p of `sum`, so that a logged
    // cell's k terms go to k adjacent doubles. `terms` holds w v of each
    // logged quad in each plane (quad-major).
    bool interleaved;
    double* terms;

    PEL_TILE_INLINE void set_pixel(const double* v, const double* var, double weight_of_pixel,
                                   double effective_area) noexcept {
        values = v;
        var_in = var;
        w = weight_of_pixel;
        area = effective_area;
        if constexpr (one) {
            wv = w * v[0];
        } else {
            if (quads_used == log_quads) {
                flush();
            }
            log_quad[quads_used++] = {v, var, w, effective_area, false};
        }
    }

    // Holds the pixel's terms for the whole tile.
    PEL_TILE_INLINE void hold() noexcept {
        pending = true;
        held_sum = wv;
        held_weight = w;
    }

    // Adds the held terms to every cell of the window, as a quad covering
    // it whole would have (overlap 1: terms w v and w), before another quad.
    void release(const Window& win) noexcept {
        pending = false;
        for (std::int64_t r = win.r0; r < win.r1; ++r) {
            double* s = sum + r * stride;
            double* w_row = weight + r * stride;
            for (std::int64_t c = win.c0; c < win.c1; ++c) {
                s[c] = s[c] + held_sum;
                w_row[c] = w_row[c] + held_weight;
            }
        }
    }

    // One cell with overlap a > 0.
    PEL_TILE_INLINE void cell(std::int64_t r, std::int64_t c, double a) noexcept { cell_if(r, c, a, true); }

    // The cell's terms when `keep`, else nothing. With one plane, without a
    // branch on `keep`: the updates of a cell not kept go to the sink's own
    // spare slots.
    PEL_TILE_INLINE void cell_if(std::int64_t r, std::int64_t c, double a, bool keep) noexcept {
        const std::int64_t at = r * stride + c;
        if constexpr (paired) {
            double* d = keep ? sum + 2 * at : &spare[0];
            const double ws = wv * a, wa = w * a;
            d[0] = d[0] + ws;
            d[1] = d[1] + wa;
        } else if constexpr (one) {
            const double wa = w * a;
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
                record(r, c, a, 1);
            }
        }
    }

    // Cells first .. last of row r, each inside the quad whole (a = 1).
    PEL_TILE_INLINE void span(std::int64_t r, std::int64_t first, std::int64_t last) noexcept {
        const std::int64_t at = r * stride + first;
        const auto n = static_cast<std::uint32_t>(last - first + 1);
        if constexpr (paired) {
            // Two cells at a time: lanes (S, W, S, W) + (wv, w, wv, w).
            double* d = sum + 2 * at;
            const lanes::v4d t{wv, w, wv, w};
            std::uint64_t k = 0;
            for (; k + 2 <= n; k += 2) {
                lanes::v4d x;
                std::memcpy(&x, d + 2 * k, sizeof x);
                x = x + t;
                std::memcpy(d + 2 * k, &x, sizeof x);
            }
            if (k < n) {
                d[2 * k] = d[2 * k] + wv;
                d[2 * k + 1] = d[2 * k + 1] + w;
            }
        } else if constexpr (one) {
            // The terms of a cell with a = 1: w * 1 = w, wv * 1 = wv, 1 / A.
            if (weight != nullptr) {
                add_run(weight + at, n, w);
            }
            if (sum != nullptr) {
                add_run(sum + at, n, wv);
            }
            if constexpr (has_flux) {
                add_run(flux + at, n, wv * (1.0 / area));
            }
            if constexpr (has_variance) {
                add_run(variance + at, n, (w * w) * var_in[0]);
            }
        } else {
            record(r, first, 1.0, n);
        }
    }

    // Local cells fit 32 bits: they lie within a tile of the grid.
    PEL_TILE_INLINE void record(std::int64_t r, std::int64_t c, double a, std::uint32_t n) noexcept {
        if (cells_used == log_cells) {
            // The pixel being added carries on in the next log.
            const LogQuad current = log_quad[quads_used - 1];
            flush();
            log_quad[quads_used++] = current;
        }
        log_cell[cells_used++] = {static_cast<std::int32_t>(r), static_cast<std::int32_t>(c), a, quads_used - 1, n};
    }

    // Adds the logged cells to the accumulators and empties the log. The
    // terms are those of one cell with overlap a, n times: w a, (w v) a,
    // (w v) (a / A), ((w a)(w a)) var.
    void flush() noexcept {
        const LogCell* cells = log_cell;
        const LogQuad* quads = log_quad;
        const std::uint32_t used = cells_used, quads_in_log = quads_used;
        cells_used = 0;
        quads_used = 0;
        if (interleaved) {
            // Shared coverage: a pixel with a NaN in any plane adds
            // nothing (the tile loop leaves that test to this pass, which
            // reads every plane's value anyway); the others add to W and
            // to every plane of S.
            LogQuad* qs = log_quad;
            for (std::uint32_t k = 0; k < quads_in_log; ++k) {
                unsigned numbers = 1;
                for (std::uint64_t p = 0; p < planes; ++p) {
                    const double v = qs[k].values[p * npix];
                    numbers &= v == v ? 1u : 0u;
                    terms[k * planes + p] = qs[k].w * v;
                }
                qs[k].missing = numbers == 0;
            }
            if (weight != nullptr) {
                for (std::uint32_t e = 0; e < used; ++e) {
                    const LogCell& c = cells[e];
                    if (!quads[c.quad].missing) {
                        add_run(weight + (c.r * stride + c.c), c.n, quads[c.quad].w * c.a);
                    }
                }
            }
            for (std::uint32_t e = 0; e < used; ++e) {
                const LogCell& c = cells[e];
                if (quads[c.quad].missing) {
                    continue;
                }
                const double* __restrict t = terms + c.quad * planes;
                double* __restrict cell = sum + (c.r * stride + c.c) * static_cast<std::int64_t>(planes);
                for (std::uint32_t j = 0; j < c.n; ++j, cell += planes) {
                    for (std::uint64_t p = 0; p < planes; ++p) {
                        cell[p] = cell[p] + t[p] * c.a;
                    }
                }
            }
            return;
        }
        if (weight != nullptr && !per_plane) {
            for (std::uint32_t e = 0; e < used; ++e) {
                const LogCell& c = cells[e];
                add_run(weight + (c.r * stride + c.c), c.n, quads[c.quad].w * c.a);
            }
        }
        const bool sum_only =
            sum != nullptr && flux == nullptr && variance == nullptr && !(weight != nullptr && per_plane);
        for (std::uint64_t p = 0; p < planes; ++p) {
            const std::uint64_t off = p * npix;
            const auto pp = static_cast<std::int64_t>(p * plane);
            if (sum_only) {
                // Each logged quad's term w v in this plane, found once; a
                // quad whose value is NaN (only with per-plane coverage)
                // adds nothing.
                double term[log_quads];
                std::uint8_t keep[log_quads];
                for (std::uint32_t k = 0; k < quads_in_log; ++k) {
                    const double v = quads[k].values[off];
                    keep[k] = v == v ? 1 : 0;
                    term[k] = quads[k].w * v;
                }
                double* s = sum + pp;
                for (std::uint32_t e = 0; e < used; ++e) {
                    const LogCell& c = cells[e];
                    if (keep[c.quad] != 0) {
                        add_run(s + (c.r * stride + c.c), c.n, term[c.quad] * c.a);
                    }
                }
                continue;
            }
            for (std::uint32_t e = 0; e < used; ++e) {
                const LogCell& c = cells[e];
                const LogQuad& q = quads[c.quad];
                const double v = q.values[off];
                if (v != v) {
                    continue;
                }
                const std::int64_t pa = c.r * stride + c.c + pp;
                const double term = q.w * v, wa = q.w * c.a;
                if (sum != nullptr) {
                    add_run(sum + pa, c.n, term * c.a);
                }
                if (weight != nullptr && per_plane) {
                    add_run(weight + pa, c.n, wa);
                }
                if (flux != nullptr) {
                    add_run(flux + pa, c.n, term * (c.a / q.area));
                }
                if (variance != nullptr) {
                    add_run(variance + pa, c.n, (wa * wa) * q.var_in[off]);
                }
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

// The area a quad that is not convex covers, counted as its cells count
// it (the absolute integral of its winding number): for a bow-tie, whose
// two edges 0-1 and 2-3 (or 1-2 and 3-0) cross at a point X, the sum of its
// two lobes, the triangles on either side of X (the diagonals' cross
// product gives their difference); for a concave or degenerate quad,
// half the magnitude of `twice_signed` (the diagonals' cross product). Corners relative to corner 0, as differences
// of the global corners, so that every tile finds the same number.
[[gnu::cold, gnu::noinline]] double covered_area(const double* gx, const double* gy, double twice_signed) noexcept {
    const double x[4] = {0.0, gx[1] - gx[0], gx[2] - gx[0], gx[3] - gx[0]};
    const double y[4] = {0.0, gy[1] - gy[0], gy[2] - gy[0], gy[3] - gy[0]};
    // Twice the signed area of the triangle (a, b, c).
    const auto orient = [](double ax, double ay, double bx, double by, double cx, double cy) {
        return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
    };
    // Edges a-b and c-d (corners in the order a, b, c, d) cross at X inside
    // both: the lobes are the triangles (a, X, d) and (X, b, c).
    for (int s = 0; s < 2; ++s) {
        const int a = s, b = s + 1, c = s + 2, d = (s + 3) % 4;
        const double oc = orient(x[a], y[a], x[b], y[b], x[c], y[c]);
        const double od = orient(x[a], y[a], x[b], y[b], x[d], y[d]);
        const double oa = orient(x[c], y[c], x[d], y[d], x[a], y[a]);
        const double ob = orient(x[c], y[c], x[d], y[d], x[b], y[b]);
        if (!((oc > 0.0 && od < 0.0) || (oc < 0.0 && od > 0.0)) ||
            !((oa > 0.0 && ob < 0.0) || (oa < 0.0 && ob > 0.0))) {
            continue;
        }
        const double t = oa / (oa - ob);
        const double px = x[a] + t * (x[b] - x[a]), py = y[a] + t * (y[b] - y[a]);
        const double one = std::fabs(orient(x[a], y[a], px, py, x[d], y[d]));
        const double two = std::fabs(orient(px, py, x[b], y[b], x[c], y[c]));
        return (one + two) * 0.5;
    }
    return std::fabs(twice_signed) * 0.5;
}

// Adds the quad with global corners (gx, gy) (corner k in lane k) of pixel
// p, with share f and weight w > 0, to the tile's cells; nothing when a
// corner is not finite, when the quad misses the tile's cells or only
// touches them, or when its area is not > 0.
// Whether the quad q (local corners) is strictly convex and holds the
// window's rectangle whole, so that every cell of the window takes overlap exactly 1 from it:
// each corner of the rectangle lies strictly left of every edge (right, for
// the other winding) by more than the rounding of the cross product, a few
// units of 2^-53 of its terms' magnitudes (2^-40 of them is far beyond).
PEL_TILE_INLINE bool covers_window(const lanes::Corners& q, const Tile& tile) noexcept {
    const v4d ex = lanes::next(q.x) - q.x, ey = lanes::next(q.y) - q.y;
    const double px[4] = {tile.xl, tile.xr, tile.xr, tile.xl}, py[4] = {tile.yb, tile.yb, tile.yt, tile.yt};
    const v4d turn = ex * lanes::next(ey) - ey * lanes::next(ex);
    const v4d zero = lanes::splat(0.0);
    const v4d margin = lanes::splat(0x1p-40);
    unsigned left = lanes::all_lanes(turn > zero) ? 1u : 0u, right = lanes::all_lanes(turn < zero) ? 1u : 0u;
    for (int k = 0; k < 4; ++k) {
        const v4d dx = lanes::splat(px[k]) - q.x, dy = lanes::splat(py[k]) - q.y;
        const v4d t1 = ex * dy, t2 = ey * dx;
        const v4d cross = t1 - t2;
        const v4d slack = (lanes::vmax(t1, -t1) + lanes::vmax(t2, -t2)) * margin;
        left &= lanes::all_lanes(cross > slack) ? 1u : 0u;
        right &= lanes::all_lanes(cross < -slack) ? 1u : 0u;
    }
    return (left | right) != 0;
}

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
    const double twice_signed = dgx[0] * dgy[1] - dgy[0] * dgx[1];
    double qa = std::fabs(twice_signed) * 0.5;
    // Not convex (the cross products of consecutive edges differ in sign,
    // or one is 0): a bow-tie's cells take both its lobes, so its area is
    // their sum.
    const v4d ex = lanes::next(q.x) - q.x, ey = lanes::next(q.y) - q.y;
    const v4d turn = ex * lanes::next(ey) - ey * lanes::next(ex);
    if (!(lanes::all_lanes(turn > lanes::splat(0.0)) || lanes::all_lanes(turn < lanes::splat(0.0)))) [[unlikely]] {
        const double cx[4] = {gx[0], gx[1], gx[2], gx[3]}, cy[4] = {gy[0], gy[1], gy[2], gy[3]};
        qa = covered_area(cx, cy, twice_signed);
    }
    if (!(qa > 0.0)) {
        return;
    }
    sink.set_pixel(in.values + p, in.variance != nullptr ? in.variance + p : nullptr, w, qa / share);
    if constexpr (Sink::may_hold) {
        if (sink.can_hold) {
            if (sink.pending) {
                sink.release(tile.win);
            } else if (sink.fresh && covers_window(q, tile)) {
                sink.hold();
                return;
            }
            sink.fresh = false;
        }
    }
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

// The plan's lists and grid, and the block of it being accumulated: its
// first tile (tile_y0, tile_x0), its width in tiles and its first cell.
// With a mean, the scratch S and W of one tile (tile_side^2 cells per
// plane).
struct TileLists {
    std::uint64_t tiles_x, tile_side, ny_out, nx_out, blocks_x;
    std::uint64_t tile_y0, tile_x0, block_tiles_x, row0, col0;
    const std::uint64_t* block_start;
    const std::uint64_t* block_list;
    const std::uint64_t* piece_start;
    const std::uint64_t* piece_list;
    double* scratch_sum;     // null without a mean
    double* scratch_weight;  // likewise
    bool interleaved;        // S's planes interleaved (see Sink)
    bool paired;             // S and W of one plane paired (see Sink)
    double* weight_out;      // the caller's W, or null
    std::uint64_t weight_planes;
    bool stream;  // a mean's results stored past the caches (see put4)
};

// A one-plane mean pairs S and W when there are at most this many output
// cells per input pixel (quads of a few cells).
inline constexpr std::uint64_t paired_cells_per_quad = 16;

// A mean's result cells at least this large in all are written once and
// not read again while the call runs, so they are stored past the caches:
// the lines are not first read in (nor evict the scratch).
inline constexpr std::uint64_t stream_bytes = std::uint64_t{8} << 20;

// Four results at out: with streaming stores where `stream` and out is on
// 16 bytes (x86-64), else plain ones. The values are the same either way.
PEL_TILE_INLINE void put4(double* out, v4d q, bool stream) noexcept {
#if defined(__SSE2__)
    if (stream && (reinterpret_cast<std::uintptr_t>(out) & 15u) == 0) {
        _mm_stream_pd(out, __m128d{q[0], q[1]});
        _mm_stream_pd(out + 2, __m128d{q[2], q[3]});
        return;
    }
#else
    (void)stream;
#endif
    std::memcpy(out, &q, sizeof q);
}

// Four cells' means S / W, NaN where W is 0: each quotient the correctly
// rounded one in any lane, and S / 1 is S, so lanes that all hold W = 1
// (cells inside one pixel whole) skip the division.
PEL_TILE_INLINE v4d quotients(v4d sv, v4d wv) noexcept {
    if (lanes::all_lanes(wv == lanes::splat(1.0))) {
        return sv;
    }
    return wv == lanes::splat(0.0) ? lanes::splat(std::numeric_limits<double>::quiet_NaN()) : sv / wv;
}

// Makes a tile's streamed stores visible in order with every later store
// (so before the thread reports its work done).
PEL_TILE_INLINE void fence_streams(bool stream) noexcept {
#if defined(__SSE2__)
    if (stream) {
        _mm_sfence();
    }
#else
    (void)stream;
#endif
}

// The end of a tile of a one-plane mean held whole by one quad (its scratch
// untouched, still 0): every cell's S and W are 0 + w v and 0 + w, so its
// result is their quotient (the finish's S / W), and W goes to the
// caller's W.
PEL_TILE_INLINE void fill_tile(double* sum, const TileLists& tl, std::uint64_t stride, std::uint64_t r0,
                               std::uint64_t r1, std::uint64_t c0, std::uint64_t c1, double held_sum,
                               double held_weight) {
    const double s = 0.0 + held_sum, w = 0.0 + held_weight;
    const double q = w == 0.0 ? std::numeric_limits<double>::quiet_NaN() : s / w;
    const v4d qv = lanes::splat(q);
    const std::uint64_t n = c1 - c0;
    for (std::uint64_t r = r0; r < r1; ++r) {
        double* out = sum + r * stride + c0;
        std::uint64_t c = 0;
        for (; c + 4 <= n; c += 4) {
            put4(out + c, qv, tl.stream);
        }
        for (; c < n; ++c) {
            out[c] = q;
        }
        if (tl.weight_out != nullptr) {
            double* wout = tl.weight_out + r * stride + c0;
            for (c = 0; c < n; ++c) {
                wout[c] = wout[c] + w;
            }
        }
    }
    fence_streams(tl.stream);
}

// The end of a tile of a one-plane mean whose S and W are paired: as
// finish_mean below, for one plane.
PEL_TILE_INLINE void finish_paired(double* sum, const TileLists& tl, std::uint64_t stride, std::uint64_t r0,
                                   std::uint64_t r1, std::uint64_t c0, std::uint64_t c1) {
    const std::uint64_t side = tl.tile_side, n = c1 - c0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const v4d zero = lanes::splat(0.0);
    for (std::uint64_t r = r0; r < r1; ++r) {
        double* out = sum + r * stride + c0;
        double* sw = tl.scratch_sum + 2 * (r - r0) * side;
        double* wout = tl.weight_out != nullptr ? tl.weight_out + r * stride + c0 : nullptr;
        // Four cells at a time where they fit: each quotient is the
        // correctly rounded one in any lane, and S / 1 is S (cells inside
        // one pixel whole skip the division).
        std::uint64_t c = 0;
        for (; c + 4 <= n; c += 4) {
            v4d lo, hi;
            std::memcpy(&lo, sw + 2 * c, sizeof lo);
            std::memcpy(&hi, sw + 2 * c + 4, sizeof hi);
            // Cells 0, 2, 1, 3 in lanes 0 .. 3 (an unpack within halves).
            const v4d sv = __builtin_shufflevector(lo, hi, 0, 4, 2, 6);
            const v4d wv = __builtin_shufflevector(lo, hi, 1, 5, 3, 7);
            const v4d q = quotients(sv, wv);
            put4(out + c, __builtin_shufflevector(q, q, 0, 2, 1, 3), tl.stream);
            std::memcpy(sw + 2 * c, &zero, sizeof zero);
            std::memcpy(sw + 2 * c + 4, &zero, sizeof zero);
            if (wout != nullptr) {
                const v4d wc = __builtin_shufflevector(wv, wv, 0, 2, 1, 3);
                for (int k = 0; k < 4; ++k) {
                    wout[c + k] = wout[c + k] + wc[k];
                }
            }
        }
        for (; c < n; ++c) {
            const double sc = sw[2 * c], wc = sw[2 * c + 1];
            const double q = sc / wc;
            out[c] = wc == 0.0 ? nan : q;
            if (wout != nullptr) {
                wout[c] = wout[c] + wc;
            }
            sw[2 * c] = 0.0;
            sw[2 * c + 1] = 0.0;
        }
    }
    fence_streams(tl.stream);
}

// The end of a tile of a mean: each of its cells (rows r0 .. r1, columns
// c0 .. c1 of the block; `stride` cells per row and `out_plane` per plane
// of `sum`) of every plane of `sum` set to S / W, NaN where W is 0; W added
// to the caller's W; the scratch S and W (row-major, tile_side cells per
// row from cell (r0, c0); S's planes one after another, or interleaved)
// set back to 0 for the next tile.
PEL_TILE_INLINE void finish_mean(double* sum, std::uint64_t planes, const TileLists& tl, std::uint64_t stride,
                                 std::uint64_t out_plane, std::uint64_t r0, std::uint64_t r1, std::uint64_t c0,
                                 std::uint64_t c1) {
    panic_unless(sum != nullptr, "quadsum: a mean needs S");
    const std::uint64_t side = tl.tile_side, n = c1 - c0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (tl.paired) {
        finish_paired(sum, tl, stride, r0, r1, c0, c1);
        return;
    }
    if (tl.interleaved) {
        // Row by row: the row's interleaved S (its cells x planes, in
        // cache) read once per plane, each plane's part of the row written
        // in turn.
        for (std::uint64_t r = r0; r < r1; ++r) {
            double* s = tl.scratch_sum + (r - r0) * side * planes;
            const double* w = tl.scratch_weight + (r - r0) * side;
            // Four planes of four cells at a time: the 4 x 4 block of S
            // (cells by planes) turned into four rows of cells, one per
            // plane; the quotients as in the scalar loop below.
            std::uint64_t p = 0;
            for (; p + 4 <= planes; p += 4) {
                double* out[4];
                for (std::uint64_t j = 0; j < 4; ++j) {
                    out[j] = sum + (p + j) * out_plane + r * stride + c0;
                }
                std::uint64_t c = 0;
                for (; c + 4 <= n; c += 4) {
                    v4d v[4], wv;
                    for (std::uint64_t k = 0; k < 4; ++k) {
                        std::memcpy(&v[k], s + (c + k) * planes + p, sizeof v[k]);
                    }
                    std::memcpy(&wv, w + c, sizeof wv);
                    const v4d t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
                    const v4d t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
                    const v4d t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
                    const v4d t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
                    v4d u[4] = {
                        __builtin_shufflevector(t0, t2, 0, 1, 4, 5), __builtin_shufflevector(t1, t3, 0, 1, 4, 5),
                        __builtin_shufflevector(t0, t2, 2, 3, 6, 7), __builtin_shufflevector(t1, t3, 2, 3, 6, 7)};
                    for (v4d& q : u) {
                        q = quotients(q, wv);
                    }
                    for (std::uint64_t j = 0; j < 4; ++j) {
                        put4(out[j] + c, u[j], tl.stream);
                    }
                }
                for (; c < n; ++c) {
                    for (std::uint64_t j = 0; j < 4; ++j) {
                        const double q = s[c * planes + p + j] / w[c];
                        out[j][c] = w[c] == 0.0 ? nan : q;
                    }
                }
            }
            for (; p < planes; ++p) {
                double* out = sum + p * out_plane + r * stride + c0;
                for (std::uint64_t c = 0; c < n; ++c) {
                    const double q = s[c * planes + p] / w[c];
                    out[c] = w[c] == 0.0 ? nan : q;
                }
            }
            std::memset(s, 0, n * planes * sizeof(double));
        }
        fence_streams(tl.stream);
    } else {
        // With one plane and no W wanted, W is read here only and cleared
        // here too.
        const bool last_use = planes == 1 && tl.weight_out == nullptr;
        const v4d zero = lanes::splat(0.0);
        for (std::uint64_t p = 0; p < planes; ++p) {
            double* wp = tl.scratch_weight + (tl.weight_planes == 1 ? 0 : p) * side * side;
            for (std::uint64_t r = r0; r < r1; ++r) {
                double* out = sum + p * out_plane + r * stride + c0;
                double* s = tl.scratch_sum + p * side * side + (r - r0) * side;
                double* w = wp + (r - r0) * side;
                // Four cells at a time where they fit: each quotient is the
                // correctly rounded one in any lane, and S / 1 is S (cells
                // inside one pixel whole skip the division).
                std::uint64_t c = 0;
                for (; c + 4 <= n; c += 4) {
                    v4d sv, wv;
                    std::memcpy(&sv, s + c, sizeof sv);
                    std::memcpy(&wv, w + c, sizeof wv);
                    std::memcpy(s + c, &zero, sizeof zero);
                    if (last_use) {
                        std::memcpy(w + c, &zero, sizeof zero);
                    }
                    put4(out + c, quotients(sv, wv), tl.stream);
                }
                for (; c < n; ++c) {
                    const double q = s[c] / w[c];
                    out[c] = w[c] == 0.0 ? nan : q;
                    s[c] = 0.0;
                    if (last_use) {
                        w[c] = 0.0;
                    }
                }
            }
        }
        fence_streams(tl.stream);
        if (last_use) {
            return;
        }
    }
    for (std::uint64_t p = 0; p < tl.weight_planes; ++p) {
        for (std::uint64_t r = r0; r < r1; ++r) {
            double* w = tl.scratch_weight + p * side * side + (r - r0) * side;
            if (tl.weight_out != nullptr) {
                double* out = tl.weight_out + p * out_plane + r * stride + c0;
                for (std::uint64_t c = 0; c < n; ++c) {
                    out[c] = out[c] + w[c];
                }
            }
            std::memset(w, 0, n * sizeof(double));
        }
    }
}

template <class Sink>
PEL_TILE_INLINE void run_tile(const Inputs& in, const TileLists& tl, std::uint64_t block_tile, const Sink& sink) {
    const std::uint64_t ty = tl.tile_y0 + block_tile / tl.block_tiles_x;
    const std::uint64_t tx = tl.tile_x0 + block_tile % tl.block_tiles_x;
    const std::uint64_t t = ty * tl.tiles_x + tx;
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
    // The accumulators hold the block, whose first cell is (row0, col0).
    const std::int64_t shift =
        (sy - static_cast<std::int64_t>(tl.row0)) * s.stride + (sx - static_cast<std::int64_t>(tl.col0));
    s.sum = s.sum != nullptr ? s.sum + shift : nullptr;
    s.weight = s.weight != nullptr ? s.weight + shift : nullptr;
    s.flux = s.flux != nullptr ? s.flux + shift : nullptr;
    s.variance = s.variance != nullptr ? s.variance + shift : nullptr;
    if (tl.scratch_weight != nullptr) {
        // The tile's S and W, from 0 (the scratch is zero between tiles), in
        // rows of tile_side cells from cell (r0, c0).
        const auto side = static_cast<std::int64_t>(tl.tile_side);
        const std::int64_t local = (sy - static_cast<std::int64_t>(r0)) * side + (sx - static_cast<std::int64_t>(c0));
        s.sum = tl.scratch_sum +
                (tl.interleaved ? local * static_cast<std::int64_t>(in.planes) : (tl.paired ? 2 * local : local));
        s.weight = tl.paired ? s.sum + 1 : tl.scratch_weight + local;
        s.stride = side;
        s.plane = tl.tile_side * tl.tile_side;
    }

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
                if (!(w > 0.0) || (!s.interleaved && pixel_missing(in, p, npix, s.per_plane))) {
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
        if (!(w > 0.0) || (!s.interleaved && pixel_missing(in, p, npix, s.per_plane))) {
            continue;
        }
        add_quad(in, tile, s, v4d{pq[0], pq[2], pq[4], pq[6]}, v4d{pq[1], pq[3], pq[5], pq[7]}, p, in.piece_share[k],
                 w);
    }
    if constexpr (!Sink::one) {
        s.flush();
    }
    if constexpr (Sink::may_hold) {
        if (s.pending) {
            fill_tile(sink.sum, tl, static_cast<std::uint64_t>(sink.stride), r0 - tl.row0, r1 - tl.row0, c0 - tl.col0,
                      c1 - tl.col0, s.held_sum, s.held_weight);
            return;
        }
    }
    if (tl.scratch_weight != nullptr) {
        finish_mean(sink.sum, in.planes, tl, static_cast<std::uint64_t>(sink.stride), sink.plane, r0 - tl.row0,
                    r1 - tl.row0, c0 - tl.col0, c1 - tl.col0);
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

Plan make_plan(const Inputs& in, std::uint64_t ny_out, std::uint64_t nx_out, std::uint64_t tile_size,
               unsigned threads) {
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
    const std::uint64_t grain = parallel::balanced_grain(blocks_y, threads, 2);
    parallel::for_each_chunk(blocks_y, grain, threads, [&](std::uint64_t by0, std::uint64_t by1, unsigned) {
        for (std::uint64_t by = by0; by < by1; ++by) {
            for (std::uint64_t bx = 0; bx < plan.blocks_x_; ++bx) {
                const Box b = block_box(in, by, bx);
                rects[by * plan.blocks_x_ + bx] = {tile_range(b.xmin, b.xmax, nx_out, tile_size, plan.tiles_x_),
                                                   tile_range(b.ymin, b.ymax, ny_out, tile_size, plan.tiles_y_)};
            }
        }
    });
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

std::uint64_t Plan::block_tile_count(const Accumulators& acc) const {
    // A side of the block: it starts on a tile boundary, lies in the grid
    // and ends on a tile boundary or at the grid's end.
    const auto whole_tiles = [&](std::uint64_t first, std::uint64_t cells, std::uint64_t grid) {
        return first % tile_ == 0 && first <= grid && cells <= grid - first &&
               ((first + cells) % tile_ == 0 || first + cells == grid);
    };
    panic_unless(whole_tiles(acc.row0, acc.ny_out, ny_out_) && whole_tiles(acc.col0, acc.nx_out, nx_out_),
                 "quadsum: the accumulators' block is not made of whole tiles of the plan's grid");
    return ceil_div(acc.ny_out, tile_) * ceil_div(acc.nx_out, tile_);
}

void accumulate_tiles(const Inputs& in, const Plan& plan, const Accumulators& acc, std::uint64_t tile_begin,
                      std::uint64_t tile_end, Isa isa) {
    const std::uint64_t block_tiles = plan.block_tile_count(acc);
    panic_unless(tile_begin <= tile_end && tile_end <= block_tiles, "quadsum: tile range out of bounds");
    require_isa(isa, "quadsum accumulation");
    panic_unless(acc.variance == nullptr || in.variance != nullptr, "quadsum: V needs the input variance");
    std::uint64_t plane = 0;
    panic_unless(checked_mul(acc.ny_out, acc.nx_out, plane), "quadsum: cell count overflows");
    TileLists tl{plan.tiles_x_,
                 plan.tile_,
                 plan.ny_out_,
                 plan.nx_out_,
                 plan.blocks_x_,
                 acc.row0 / plan.tile_,
                 acc.col0 / plan.tile_,
                 ceil_div(acc.nx_out, plan.tile_),
                 acc.row0,
                 acc.col0,
                 plan.block_start_.data(),
                 plan.block_list_.data(),
                 plan.piece_start_.data(),
                 plan.piece_list_.data(),
                 nullptr,
                 nullptr,
                 false,
                 false,
                 nullptr,
                 0,
                 false};
    const bool per_plane = acc.coverage == Coverage::PerPlane;
    const bool general = in.planes != 1 || per_plane;
    OwnedBuffer<double> scratch;
    if (acc.mean) {
        panic_unless(acc.sum != nullptr && acc.flux == nullptr && acc.variance == nullptr,
                     "quadsum: a mean takes S (and W) only");
        tl.weight_planes = per_plane ? in.planes : 1;
        std::uint64_t cells = 0;
        panic_unless(checked_mul(plan.tile_ * plan.tile_, in.planes + tl.weight_planes, cells),
                     "quadsum: scratch size overflows");
        scratch = OwnedBuffer<double>::zeroed(cells, "quadsum tile sums");
        tl.scratch_sum = scratch.data();
        tl.scratch_weight = scratch.data() + plan.tile_ * plan.tile_ * in.planes;
        tl.weight_out = acc.weight;
        tl.interleaved = in.planes > 1 && !per_plane;
        // S and W paired where quads are small (a few cells each), which
        // saves a load and a store per cell; where they are large, runs of
        // whole cells dominate, which add faster to S and W apart. The
        // bits are the same either way.
        std::uint64_t quad_cells = 0;
        tl.paired = !general && checked_mul(in.ny * in.nx, paired_cells_per_quad, quad_cells) && quad_cells >= plane;
        std::uint64_t bytes = 0;
        tl.stream = checked_mul(plane, in.planes * sizeof(double), bytes) && bytes >= stream_bytes;
    }
    OwnedBuffer<double> terms =
        OwnedBuffer<double>::uninitialized(tl.interleaved ? log_quads * in.planes : 0, "quadsum cell log");
    OwnedBuffer<LogCell> log_cell = OwnedBuffer<LogCell>::uninitialized(general ? log_cells : 0, "quadsum cell log");
    OwnedBuffer<LogQuad> log_quad = OwnedBuffer<LogQuad>::uninitialized(general ? log_quads : 0, "quadsum cell log");
    const auto run = [&]<Layout L>() {
        Sink<L> sink{};
        sink.log_cell = log_cell.data();
        sink.log_quad = log_quad.data();
        sink.interleaved = tl.interleaved;
        sink.terms = terms.data();
        sink.sum = acc.sum;
        sink.weight = acc.weight;
        sink.flux = acc.flux;
        sink.variance = acc.variance;
        sink.stride = static_cast<std::int64_t>(acc.nx_out);
        sink.plane = plane;
        sink.planes = in.planes;
        sink.per_plane = per_plane;
        sink.npix = in.ny * in.nx;
        sink.can_hold = tl.scratch_weight != nullptr && !tl.paired;
        sink.fresh = true;
        sink.pending = false;
#if PELLORIN_AVX2_VARIANTS
        if (isa == Isa::Avx2) {
            run_tiles_avx2(in, tl, tile_begin, tile_end, sink);
            return;
        }
#endif
        run_tiles_baseline(in, tl, tile_begin, tile_end, sink);
    };
    if (general) {
        run.template operator()<Layout::General>();
    } else if (acc.flux != nullptr) {
        if (acc.variance != nullptr) {
            run.template operator()<Layout::OneFluxVariance>();
        } else {
            run.template operator()<Layout::OneFlux>();
        }
    } else if (acc.variance != nullptr) {
        run.template operator()<Layout::OneVariance>();
    } else if (tl.paired) {
        run.template operator()<Layout::OneMean>();
    } else {
        run.template operator()<Layout::One>();
    }
}

}  // namespace pellorin::quadsum
