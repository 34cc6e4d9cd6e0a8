#include "rebin.hpp"

#include <cassert>
#include <string>
#include <vector>

#include "../clip/clip.hpp"
#include "../common/panic.hpp"

namespace pellorin::rebin {
namespace {

using clip::Point;
using clip::Quad;

// NaN-ignoring minimum and maximum (IEEE minNum/maxNum): when one operand is
// NaN the other is returned. Which zero comes back for min(-0.0, +0.0) is
// unspecified, as for std::fmin; no result here depends on it, because a
// bound only feeds comparisons with 0 and the index conversion below.
inline double min_num(double a, double b) noexcept { return (b < a || a != a) ? b : a; }
inline double max_num(double a, double b) noexcept { return (b > a || a != a) ? b : a; }

struct Box {
    double xmin, xmax, ymin, ymax;
};

// xmin = min(min(min(Q0.x, Q1.x), Q2.x), Q3.x) with the NaN-ignoring min,
// and likewise for xmax, ymin and ymax. Without NaN among the eight
// coordinates the plain comparisons give the same values; testing for NaN
// once keeps the common case free of data-dependent branches.
inline Box bounding_box(const Quad& q) noexcept {
    const Point* c = q.corner;
    const bool any_nan = (c[0].x != c[0].x) | (c[1].x != c[1].x) | (c[2].x != c[2].x) | (c[3].x != c[3].x) |
                         (c[0].y != c[0].y) | (c[1].y != c[1].y) | (c[2].y != c[2].y) | (c[3].y != c[3].y);
    if (!any_nan) [[likely]] {
        const auto lo = [](double a, double b) { return b < a ? b : a; };
        const auto hi = [](double a, double b) { return b > a ? b : a; };
        return {lo(lo(lo(c[0].x, c[1].x), c[2].x), c[3].x), hi(hi(hi(c[0].x, c[1].x), c[2].x), c[3].x),
                lo(lo(lo(c[0].y, c[1].y), c[2].y), c[3].y), hi(hi(hi(c[0].y, c[1].y), c[2].y), c[3].y)};
    }
    return {min_num(min_num(min_num(c[0].x, c[1].x), c[2].x), c[3].x),
            max_num(max_num(max_num(c[0].x, c[1].x), c[2].x), c[3].x),
            min_num(min_num(min_num(c[0].y, c[1].y), c[2].y), c[3].y),
            max_num(max_num(max_num(c[0].y, c[1].y), c[2].y), c[3].y)};
}

// floor(f), then max with 0.0 ignoring NaN, then conversion to u64
// saturating at 2^64 - 1. For f >= 0 truncation equals floor, and NaN and
// every negative f give 0, so one comparison chain gives the same integer
// without a call to floor.
inline std::uint64_t cell_index(double f) noexcept {
    constexpr double two64 = 18446744073709551616.0;
    if (!(f >= 0.0)) {
        return 0;
    }
    if (f >= two64) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(f);
}

inline std::uint64_t min_u64(std::uint64_t a, std::uint64_t b) noexcept { return b < a ? b : a; }

inline Quad load_quad(const double* q) noexcept {
    return Quad{{{q[0], q[1]}, {q[2], q[3]}, {q[4], q[5]}, {q[6], q[7]}}};
}

[[gnu::cold, gnu::noinline]] void fail_count_mismatch(std::size_t quad_elements, std::size_t values) {
    panic("rebin_quads kernel: " + std::to_string(quad_elements) + " quad coordinates do not form " +
          std::to_string(values) + " quads of 8");
}

// A grid whose cell count overflows 64 bits can never be allocated.
[[gnu::cold, gnu::noinline]] void fail_grid_size(std::uint64_t mx, std::uint64_t my) {
    throw OutOfMemory(allocation_failure_text("rebin_quads output", std::to_string(mx) + " x " + std::to_string(my),
                                              sizeof(double), true));
}

// The grid's geometry and the call's accumulation buffers, shared by every
// quad of one call.
struct Grid {
    double origin_x, origin_y, bin_x, bin_y;
    std::uint64_t mx, my;
    double mx_f, my_f;  // the counts as doubles, for the rejection tests
    double* out;
    double* weights;  // null in Sum mode
};

// The cells of one quad's clamped range that it overlaps with positive
// area, in visiting order (ix ascending, then iy ascending); returns their
// total, summed in the same order.
double collect_overlaps(const Grid& g, const Quad& quad, std::uint64_t ix0, std::uint64_t ix1,
                        std::uint64_t iy0, std::uint64_t iy1, std::vector<CellOverlap>& overlaps,
                        clip::ClipScratch& scratch) {
    overlaps.clear();
    double total = 0.0;
    // ix1 <= mx - 1 and iy1 <= my - 1, so the increments cannot wrap.
    for (std::uint64_t ix = ix0; ix <= ix1; ++ix) {
        const double x_lo = g.origin_x + g.bin_x * static_cast<double>(ix);
        const double x_hi = g.bin_x + x_lo;
        // The left and right stages once per column; each cell of it then
        // gets the same polygon that clip_to_cell would give.
        if (!clip::clip_to_column(quad, x_lo, x_hi, scratch)) {
            continue;
        }
        for (std::uint64_t iy = iy0; iy <= iy1; ++iy) {
            const double y_lo = g.origin_y + g.bin_y * static_cast<double>(iy);
            const double y_hi = g.bin_y + y_lo;
            const std::span<const Point> p = clip::clip_column_to_cell(y_lo, y_hi, scratch);
            if (p.size() >= 3) {
                const double a = clip::polygon_area(p);
                if (a > 0.0) {
                    overlaps.push_back(CellOverlap{ix, iy, a});
                    total = total + a;
                }
            }
        }
    }
    return total;
}

}  // namespace

OwnedBuffer<double> rebin_quads_kernel(std::span<const double> quads, std::span<const double> values,
                                       double origin_x, double origin_y, double bin_x, double bin_y,
                                       std::uint64_t mx, std::uint64_t my, RebinMode mode,
                                       bool skip_partial) {
    const std::size_t n = values.size();
    if (quads.size() % 8 != 0 || quads.size() / 8 != n) {
        fail_count_mismatch(quads.size(), n);
    }
    panic_unless(mx >= 1 && my >= 1, "rebin_quads kernel: the output grid has no cells");
    std::uint64_t cells = 0;
    if (!checked_mul(mx, my, cells)) {
        fail_grid_size(mx, my);
    }

    OwnedBuffer<double> out = OwnedBuffer<double>::zeroed(cells, "rebin_quads output");
    OwnedBuffer<double> weights;
    if (mode == RebinMode::Mean) {
        weights = OwnedBuffer<double>::zeroed(cells, "rebin_quads weights");
    }
    std::vector<CellOverlap> overlaps;
    overlaps.reserve(16);
    clip::ClipScratch scratch;

    const Grid g{origin_x,
                 origin_y,
                 bin_x,
                 bin_y,
                 mx,
                 my,
                 static_cast<double>(mx),
                 static_cast<double>(my),
                 out.data(),
                 mode == RebinMode::Mean ? weights.data() : nullptr};
    const bool mean = mode == RebinMode::Mean;

    // Quads in arbitrary order land on scattered cells of a grid that need
    // not fit in cache: the cell of quad i + prefetch_distance is fetched
    // ahead. The hint uses a reciprocal product and only selects an address
    // (clamped into the buffer); it never enters a result.
    constexpr std::size_t prefetch_distance = 16;
    const double hint_x = 1.0 / bin_x;
    const double hint_y = 1.0 / bin_y;

    for (std::size_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) {
            const double* h = quads.data() + 8 * (i + prefetch_distance);
            const std::uint64_t hx = min_u64(cell_index((h[0] - origin_x) * hint_x), mx - 1);
            const std::uint64_t hy = min_u64(cell_index((h[1] - origin_y) * hint_y), my - 1);
            __builtin_prefetch(g.out + (hx * my + hy), 1);
            if (mean) {
                __builtin_prefetch(g.weights + (hx * my + hy), 1);
            }
        }

        const Quad quad = load_quad(quads.data() + 8 * i);
        const double v = values[i];
        const auto [xmin, xmax, ymin, ymax] = bounding_box(quad);

        // True divisions, not products with a reciprocal.
        const double fx0 = (xmin - origin_x) / bin_x;
        const double fx1 = (xmax - origin_x) / bin_x;
        const double fy0 = (ymin - origin_y) / bin_y;
        const double fy1 = (ymax - origin_y) / bin_y;

        // Ordinary comparisons: a NaN bound never drops a quad.
        if (skip_partial) {
            // Kept only when the box lies within [0, mx) x [0, my) in bin units.
            if (fx0 < 0.0 || fx1 < 0.0 || fy0 < 0.0 || fy1 < 0.0 || fx0 >= g.mx_f || fx1 >= g.mx_f ||
                fy0 >= g.my_f || fy1 >= g.my_f) {
                continue;
            }
        } else {
            // Dropped when it cannot overlap the grid: a box that starts at
            // the right or top edge, or ends at the left or bottom edge, has
            // no area inside it.
            if (fy0 >= g.my_f || fx0 >= g.mx_f || fx1 <= 0.0 || fy1 <= 0.0) {
                continue;
            }
        }

        // Clamped onto the edge cells, so every index below is in range.
        const std::uint64_t ix0 = min_u64(cell_index(fx0), mx - 1);
        const std::uint64_t ix1 = min_u64(cell_index(fx1), mx - 1);
        const std::uint64_t iy0 = min_u64(cell_index(fy0), my - 1);
        const std::uint64_t iy1 = min_u64(cell_index(fy1), my - 1);

        if (ix0 == ix1 && iy0 == iy1) {
            // The whole quad's area, unclipped, even when it reaches past the
            // grid and its clamped range collapses to this one cell.
            const double area = clip::polygon_area(quad);
            if (!(area > 0.0)) {
                continue;  // zero or NaN
            }
            const std::uint64_t idx = ix0 * my + iy0;
            assert(idx < cells);
            if (mean) {
                g.out[idx] = g.out[idx] + v * area;
                g.weights[idx] = g.weights[idx] + area;
            } else {
                g.out[idx] = g.out[idx] + v;
            }
            continue;
        }

        const double total = collect_overlaps(g, quad, ix0, ix1, iy0, iy1, overlaps, scratch);
        if (total <= 0.0) {
            continue;
        }
        if (mean) {
            for (const CellOverlap& o : overlaps) {
                const std::uint64_t idx = o.ix * my + o.iy;
                assert(idx < cells);
                g.out[idx] = v * o.area + g.out[idx];
                g.weights[idx] = o.area + g.weights[idx];
            }
        } else {
            // One reciprocal per quad; each share is inv * (v * a), the
            // product v * a rounded first.
            const double inv = 1.0 / total;
            for (const CellOverlap& o : overlaps) {
                const std::uint64_t idx = o.ix * my + o.iy;
                assert(idx < cells);
                g.out[idx] = g.out[idx] + inv * (v * o.area);
            }
        }
    }

    if (mean) {
        // True division, only where some quad left a positive weight: a cell
        // that nothing reached stays 0.0, never NaN.
        double* o = out.data();
        const double* w = weights.data();
        for (std::uint64_t k = 0; k < cells; ++k) {
            if (w[k] > 0.0) {
                o[k] = o[k] / w[k];
            }
        }
    }
    return out;
}

}  // namespace pellorin::rebin
