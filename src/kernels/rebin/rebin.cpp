#include "kernels/rebin/rebin.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "kernels/clip/clip.hpp"
#include "kernels/common/index.hpp"
#include "kernels/common/panic.hpp"

namespace pellorin::rebin {
namespace {

using clip::Point;
using clip::Quad;

// The grid's geometry and the call's accumulation buffers, shared by every
// quad of one call.
struct Grid {
    double origin_x, origin_y, bin_x, bin_y;
    std::uint64_t mx, my;
    double mx_f, my_f;  // the counts as doubles, for the rejection tests
    // mx - 1 and my - 1 as doubles, exact when `exact_indices` (both below
    // 2^53, true of every grid that memory can hold).
    double last_x_f, last_y_f;
    bool exact_indices;
    bool skip_partial;
    double* out;
    double* weights;  // null in Sum mode
};

// ---------------------------------------------------------------------------
// Classification: what each quad does, decided for a chunk of quads before
// any of them touches the grid. Every quad is classified on its own, so the
// work runs over four independent quads at a time; the grid updates that
// follow keep the input order.

enum class Kind : std::uint8_t {
    Drop,     // rejected, or a single-cell quad whose area is not > 0
    Single,   // the whole value (or area) goes to cell `idx`
    Several,  // the clamped range ix0..ix1 x iy0..iy1 is clipped
};

constexpr std::size_t chunk = 64;  // a multiple of 4

struct Plan {
    Kind kind[chunk];
    std::uint64_t idx[chunk];  // cell (ix0, iy0) as an element index
    std::uint64_t ix0[chunk], ix1[chunk], iy0[chunk], iy1[chunk];
    double area[chunk];  // whole-quad area, used for single-cell quads
};

// The helpers below work on one quad (double) or on four (v4d, one quad
// per lane) with the same operations. The vector ones are inlined into their
// callers only, so the calling convention for 32-byte vectors without AVX
// never applies (the compiler reports it at the end of the file, so the
// warning stays off to the end).
#pragma GCC diagnostic ignored "-Wpsabi"

using v4d = double __attribute__((vector_size(32)));
using v4m = long long __attribute__((vector_size(32)));  // lane masks, all ones or zero

// NaN-ignoring minimum and maximum (IEEE minNum/maxNum): when one operand
// is NaN the other is returned. A compare and a blend; which zero comes back
// for min(-0.0, +0.0) is unspecified, as for std::fmin, and no result
// depends on it: a bound only feeds comparisons with 0 and the index
// conversion.
template <class V>
[[gnu::always_inline]] inline V min_num(const V& a, const V& b) noexcept {
    return ((b < a) | (a != a)) ? b : a;  // NOLINT(misc-redundant-expression): a != a is the NaN test
}
template <class V>
[[gnu::always_inline]] inline V max_num(const V& a, const V& b) noexcept {
    return ((b > a) | (a != a)) ? b : a;  // NOLINT(misc-redundant-expression): a != a is the NaN test
}

[[gnu::always_inline]] inline double magnitude(double v) noexcept { return std::fabs(v); }

// `clamped_index_value`, in every lane for vectors.
[[gnu::always_inline]] inline double clamped(double f, double last) noexcept { return clamped_index_value(f, last); }

#if PELLORIN_AVX2_VARIANTS
[[gnu::always_inline]] inline v4d magnitude(const v4d& v) noexcept {
    const v4m mask = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
    return reinterpret_cast<v4d>(reinterpret_cast<v4m>(v) & mask);
}
[[gnu::always_inline]] inline v4d clamped(const v4d& f, double last) noexcept {
    const v4d zero = {};
    const v4d g = f >= 1.0 ? f : zero;
    return g < last ? g : zero + last;
}
#endif

// Lane l of a vector, or the value itself for one quad.
template <class T>
[[gnu::always_inline]] inline auto lane(const T& v, std::size_t l) noexcept {
    if constexpr (std::is_arithmetic_v<T>) {
        (void)l;
        return v;
    } else {
        return v[l];
    }
}

// Classifies `lanes` quads whose corners are (x0, y0) ... (x3, y3), one quad
// per lane, into plan slots at, at + 1, ... Per quad, with the scalar order
// of every operation:
//   bounding box  xmin = min(min(min(Q0.x, Q1.x), Q2.x), Q3.x), ...;
//   bin coordinates by true division, fx0 = (xmin - origin_x) / bin_x, ...;
//   rejection by ordinary comparisons (a NaN bound never drops a quad);
//   clamped indices min(saturating_index(f), m - 1);
//   for a single cell, the shoelace area of the whole quad, terms (Q0,Q1),
//   (Q1,Q2), (Q2,Q3), (Q3,Q0) summed in that order from 0.0, then |sum|*0.5.
template <bool Mean, class V>
[[gnu::always_inline]] inline void classify_lanes(const V& x0, const V& y0, const V& x1, const V& y1, const V& x2,
                                                  const V& y2, const V& x3, const V& y3, std::size_t lanes,
                                                  const Grid& g, Plan& plan, std::size_t at) noexcept {
    const V xmin = min_num(min_num(min_num(x0, x1), x2), x3);
    const V xmax = max_num(max_num(max_num(x0, x1), x2), x3);
    const V ymin = min_num(min_num(min_num(y0, y1), y2), y3);
    const V ymax = max_num(max_num(max_num(y0, y1), y2), y3);

    // True divisions, not products with a reciprocal.
    const V fx0 = (xmin - g.origin_x) / g.bin_x;
    const V fx1 = (xmax - g.origin_x) / g.bin_x;
    const V fy0 = (ymin - g.origin_y) / g.bin_y;
    const V fy1 = (ymax - g.origin_y) / g.bin_y;

    const auto dropped = g.skip_partial
                             // Kept only when the box lies within [0, mx) x [0, my) in bin units.
                             ? (fx0 < 0.0) | (fx1 < 0.0) | (fy0 < 0.0) | (fy1 < 0.0) | (fx0 >= g.mx_f) |
                                   (fx1 >= g.mx_f) | (fy0 >= g.my_f) | (fy1 >= g.my_f)
                             // Dropped when it cannot overlap the grid: a box that starts at
                             // the right or top edge, or ends at the left or bottom edge, has
                             // no area inside it.
                             : (fy0 >= g.my_f) | (fx0 >= g.mx_f) | (fx1 <= 0.0) | (fy1 <= 0.0);

    V sum = 0.0 + (x0 * y1 - x1 * y0);
    sum = sum + (x1 * y2 - x2 * y1);
    sum = sum + (x2 * y3 - x3 * y2);
    sum = sum + (x3 * y0 - x0 * y3);
    const V area = magnitude(sum) * 0.5;

    // Clamped onto the edge cells, so every index is in range, also for
    // dropped quads (whose indices are never used).
    const V hx0 = clamped(fx0, g.last_x_f);
    const V hx1 = clamped(fx1, g.last_x_f);
    const V hy0 = clamped(fy0, g.last_y_f);
    const V hy1 = clamped(fy1, g.last_y_f);
    for (std::size_t l = 0; l < lanes; ++l) {
        const std::size_t j = at + l;
        std::uint64_t ix0, ix1, iy0, iy1;
        if (g.exact_indices) [[likely]] {
            ix0 = index_from_value(lane(hx0, l));
            ix1 = index_from_value(lane(hx1, l));
            iy0 = index_from_value(lane(hy0, l));
            iy1 = index_from_value(lane(hy1, l));
        } else {
            ix0 = std::min(saturating_index(lane(fx0, l)), g.mx - 1);
            ix1 = std::min(saturating_index(lane(fx1, l)), g.mx - 1);
            iy0 = std::min(saturating_index(lane(fy0, l)), g.my - 1);
            iy1 = std::min(saturating_index(lane(fy1, l)), g.my - 1);
        }
        const std::uint64_t idx = ix0 * g.my + iy0;
        const double a = lane(area, l);
        plan.idx[j] = idx;
        plan.ix0[j] = ix0;
        plan.ix1[j] = ix1;
        plan.iy0[j] = iy0;
        plan.iy1[j] = iy1;
        plan.area[j] = a;
        // The whole quad's area, unclipped, for a single cell; zero or NaN
        // contributes nothing.
        const Kind one = a > 0.0 ? Kind::Single : Kind::Drop;
        const Kind kind = (ix0 == ix1 && iy0 == iy1) ? one : Kind::Several;
        plan.kind[j] = lane(dropped, l) != 0 ? Kind::Drop : kind;
        __builtin_prefetch(g.out + idx, 1);
        if constexpr (Mean) {
            __builtin_prefetch(g.weights + idx, 1);
        }
    }
}

#if PELLORIN_AVX2_VARIANTS
[[gnu::always_inline]] inline v4d load4(const double* p) noexcept {
    v4d r;
    std::memcpy(&r, p, sizeof r);
    return r;
}

// Four quads at q (row-major, 8 doubles each), of which the first `lanes`
// are real, transposed so that lane i holds quad i.
template <bool Mean>
[[gnu::always_inline]] inline void classify4(const double* q, std::size_t lanes, const Grid& g, Plan& plan,
                                             std::size_t at) noexcept {
    // Quad i's 8 doubles are two rows r = (x0, y0, x1, y1), s = (x2, y2, x3, y3).
    const v4d r0 = load4(q), s0 = load4(q + 4);
    const v4d r1 = load4(q + 8), s1 = load4(q + 12);
    const v4d r2 = load4(q + 16), s2 = load4(q + 20);
    const v4d r3 = load4(q + 24), s3 = load4(q + 28);
    const v4d ra_x = __builtin_shufflevector(r0, r1, 0, 4, 2, 6), rb_x = __builtin_shufflevector(r2, r3, 0, 4, 2, 6);
    const v4d ra_y = __builtin_shufflevector(r0, r1, 1, 5, 3, 7), rb_y = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
    const v4d sa_x = __builtin_shufflevector(s0, s1, 0, 4, 2, 6), sb_x = __builtin_shufflevector(s2, s3, 0, 4, 2, 6);
    const v4d sa_y = __builtin_shufflevector(s0, s1, 1, 5, 3, 7), sb_y = __builtin_shufflevector(s2, s3, 1, 5, 3, 7);
    classify_lanes<Mean>(
        __builtin_shufflevector(ra_x, rb_x, 0, 1, 4, 5), __builtin_shufflevector(ra_y, rb_y, 0, 1, 4, 5),
        __builtin_shufflevector(ra_x, rb_x, 2, 3, 6, 7), __builtin_shufflevector(ra_y, rb_y, 2, 3, 6, 7),
        __builtin_shufflevector(sa_x, sb_x, 0, 1, 4, 5), __builtin_shufflevector(sa_y, sb_y, 0, 1, 4, 5),
        __builtin_shufflevector(sa_x, sb_x, 2, 3, 6, 7), __builtin_shufflevector(sa_y, sb_y, 2, 3, 6, 7), lanes, g,
        plan, at);
}

#endif

// The first and last cell of each of a quad's first columns: the lines that
// its updates will touch, fetched ahead while earlier quads are clipped.
template <bool Mean>
inline void prefetch_range(const Grid& g, std::uint64_t ix0, std::uint64_t ix1, std::uint64_t iy0,
                           std::uint64_t iy1) noexcept {
    const std::uint64_t last = ix1 - ix0 < 8 ? ix1 : ix0 + 7;
    for (std::uint64_t ix = ix0; ix <= last; ++ix) {
        __builtin_prefetch(g.out + (ix * g.my + iy0), 1);
        __builtin_prefetch(g.out + (ix * g.my + iy1), 1);
        if constexpr (Mean) {
            __builtin_prefetch(g.weights + (ix * g.my + iy0), 1);
            __builtin_prefetch(g.weights + (ix * g.my + iy1), 1);
        }
    }
}

#if PELLORIN_AVX2_VARIANTS
// Four quads at a time, the last one to three padded with zeros that are
// never read back.
template <bool Mean>
[[gnu::always_inline]] inline void classify_chunk4(const double* q, std::size_t count, const Grid& g,
                                                   Plan& plan) noexcept {
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        classify4<Mean>(q + 8 * j, 4, g, plan, j);
    }
    if (j < count) {
        double tail[32] = {};
        std::memcpy(tail, q + 8 * j, (count - j) * 8 * sizeof(double));
        classify4<Mean>(tail, count - j, g, plan, j);
    }
}
#endif

// One quad at a time, in plain doubles: the baseline instruction set has no
// blend, so lanes of four would only be emulated.
template <bool Mean>
void classify_chunk_baseline(const double* q, std::size_t count, const Grid& g, Plan& plan) {
    for (std::size_t j = 0; j < count; ++j) {
        const double* p = q + 8 * j;
        classify_lanes<Mean>(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], 1, g, plan, j);
    }
}

#if PELLORIN_AVX2_VARIANTS
template <bool Mean>
[[gnu::target("avx2")]] void classify_chunk_avx2(const double* q, std::size_t count, const Grid& g, Plan& plan) {
    classify_chunk4<Mean>(q, count, g, plan);
}
#endif

using ClassifyFn = void (*)(const double*, std::size_t, const Grid&, Plan&);

// The same arithmetic, lane for lane, in both variants. `isa` was accepted
// by require_isa, so an AVX2 request reaches here only where it may run.
ClassifyFn choose_classify(bool mean, Isa isa) {
    switch (isa) {
        case Isa::Avx2:
#if PELLORIN_AVX2_VARIANTS
            return mean ? classify_chunk_avx2<true> : classify_chunk_avx2<false>;
#else
            break;
#endif
        case Isa::Baseline: return mean ? classify_chunk_baseline<true> : classify_chunk_baseline<false>;
    }
    panic(std::string("rebin_quads kernel: no classification for instruction set ") + isa_name(isa));
}

// ---------------------------------------------------------------------------
// Grid updates, in input order.

inline Quad load_quad(const double* q) noexcept {
    return Quad{{{q[0], q[1]}, {q[2], q[3]}, {q[4], q[5]}, {q[6], q[7]}}};
}

// Visits the cells of the clamped range in order (ix ascending, then iy
// ascending) and calls `take(ix, iy, a)` for each one that the quad overlaps
// with positive area a.
template <class Take>
inline void for_each_overlap(const Grid& g, const Quad& quad, std::uint64_t ix0, std::uint64_t ix1, std::uint64_t iy0,
                             std::uint64_t iy1, clip::ClipScratch& scratch, Take&& take) {
    const clip::XRange xr = clip::x_range(quad);
    // ix1 <= mx - 1 and iy1 <= my - 1, so the increments cannot wrap.
    for (std::uint64_t ix = ix0; ix <= ix1; ++ix) {
        const double x_lo = g.origin_x + g.bin_x * static_cast<double>(ix);
        const double x_hi = g.bin_x + x_lo;
        // The left and right stages once per column; each cell of it then
        // gets the same polygon that clipping it alone would give.
        if (!clip::clip_to_column(quad, xr, x_lo, x_hi, scratch)) {
            continue;
        }
        for (std::uint64_t iy = iy0; iy <= iy1; ++iy) {
            const double y_lo = g.origin_y + g.bin_y * static_cast<double>(iy);
            const double y_hi = g.bin_y + y_lo;
            const std::span<const Point> p = clip::clip_column_to_cell(y_lo, y_hi, scratch);
            if (p.size() >= 3) {
                const double a = clip::polygon_area(p);
                if (a > 0.0) {
                    take(ix, iy, a);
                }
            }
        }
    }
}

// A quad whose clamped range covers several cells.
void spread(const Grid& g, const double* q, double v, std::uint64_t ix0, std::uint64_t ix1, std::uint64_t iy0,
            std::uint64_t iy1, std::vector<CellOverlap>& overlaps, clip::ClipScratch& scratch) {
    const Quad quad = load_quad(q);
    const std::uint64_t my = g.my;
    if (g.weights != nullptr) {
        // Mean: each overlap's update depends only on its own area, so the
        // cells are updated as they are visited, in the list's order. A
        // positive area makes the total positive, so a quad with any overlap
        // contributes and one with none updates nothing.
        double* out = g.out;
        double* weights = g.weights;
        for_each_overlap(g, quad, ix0, ix1, iy0, iy1, scratch, [&](std::uint64_t ix, std::uint64_t iy, double a) {
            const std::uint64_t idx = ix * my + iy;
            out[idx] = v * a + out[idx];
            weights[idx] = a + weights[idx];
        });
        return;
    }
    // Sum: every share needs the total first.
    overlaps.clear();
    double total = 0.0;
    for_each_overlap(g, quad, ix0, ix1, iy0, iy1, scratch, [&](std::uint64_t ix, std::uint64_t iy, double a) {
        overlaps.push_back(CellOverlap{ix, iy, a});
        total = total + a;
    });
    if (total <= 0.0) {
        return;
    }
    // One reciprocal per quad; each share is inv * (v * a), the product
    // v * a rounded first.
    const double inv = 1.0 / total;
    for (const CellOverlap& o : overlaps) {
        const std::uint64_t idx = o.ix * my + o.iy;
        g.out[idx] = g.out[idx] + inv * (v * o.area);
    }
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

}  // namespace

OwnedBuffer<double> rebin_quads_kernel(std::span<const double> quads, std::span<const double> values, double origin_x,
                                       double origin_y, double bin_x, double bin_y, std::uint64_t mx, std::uint64_t my,
                                       RebinMode mode, bool skip_partial, Isa isa) {
    require_isa(isa, "rebin_quads kernel");
    const std::size_t n = values.size();
    if (quads.size() % 8 != 0 || quads.size() / 8 != n) {
        fail_count_mismatch(quads.size(), n);
    }
    panic_unless(mx >= 1 && my >= 1, "rebin_quads kernel: the output grid has no cells");
    std::uint64_t cells = 0;
    if (!checked_mul(mx, my, cells)) {
        fail_grid_size(mx, my);
    }

    const bool mean = mode == RebinMode::Mean;
    OwnedBuffer<double> out = OwnedBuffer<double>::zeroed(cells, "rebin_quads output");
    OwnedBuffer<double> weights;
    if (mean) {
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
                 static_cast<double>(mx - 1),
                 static_cast<double>(my - 1),
                 mx - 1 < exact_index_limit && my - 1 < exact_index_limit,
                 skip_partial,
                 out.data(),
                 mean ? weights.data() : nullptr};

    const ClassifyFn classify = choose_classify(mean, isa);
    Plan plan;
    const double* q = quads.data();
    const double* v = values.data();
    double* o = g.out;
    double* w = g.weights;
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t count = n - start < chunk ? n - start : chunk;
        // Classifying a whole chunk first also prefetches the cells of its
        // single-cell quads, well ahead of their updates.
        classify(q + 8 * start, count, g, plan);
        for (std::size_t j = 0; j < count; ++j) {
            const Kind kind = plan.kind[j];
            if (kind == Kind::Single) {
                const std::uint64_t idx = plan.idx[j];
                const double val = v[start + j];
                if (mean) {
                    const double a = plan.area[j];
                    o[idx] = o[idx] + val * a;
                    w[idx] = w[idx] + a;
                } else {
                    o[idx] = o[idx] + val;
                }
            } else if (kind == Kind::Several) {
                // The cells of a quad a few places ahead, when it also
                // spreads (their updates follow this quad's clipping).
                const std::size_t ahead = j + 4;
                if (ahead < count && plan.kind[ahead] == Kind::Several) {
                    if (mean) {
                        prefetch_range<true>(g, plan.ix0[ahead], plan.ix1[ahead], plan.iy0[ahead], plan.iy1[ahead]);
                    } else {
                        prefetch_range<false>(g, plan.ix0[ahead], plan.ix1[ahead], plan.iy0[ahead], plan.iy1[ahead]);
                    }
                }
                spread(g, q + 8 * (start + j), v[start + j], plan.ix0[j], plan.ix1[j], plan.iy0[j], plan.iy1[j],
                       overlaps, scratch);
            }
        }
    }

    if (mean) {
        // True division, only where some quad left a positive weight: a cell
        // that nothing reached stays 0.0, never NaN.
        for (std::uint64_t k = 0; k < cells; ++k) {
            if (w[k] > 0.0) {
                o[k] = o[k] / w[k];
            }
        }
    }
    return out;
}

}  // namespace pellorin::rebin
