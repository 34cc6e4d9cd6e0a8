// The arithmetic of one pass along one axis, shared by every compilation of
// the passes (kernels.cpp builds them for each instruction set; all give the
// same bits because each output value is computed by the same operations in
// the same order, whatever the vector width).
//
// An output value along an axis, from the values x_0 .. x_{n-1} of the n
// input pixels it overlaps (n = entry.count >= 1) and the entry's weights:
//   n == 1:  x_0
//   n == 2:  x_0 + (x_1 - x_0) * w_last
//   n >= 3:  x_0 + (S * w_mid + (x_{n-1} - x_0) * w_last),
//            S = sum over 0 < i < n - 1 of (x_i - x_0), by blocked_sum
// in double arithmetic, each operation rounded on its own. Measuring from
// the first value keeps a constant exactly constant, whatever the weights'
// rounding; blocked_sum keeps a million terms accurate. The first pixel's
// weight is implicit: it is 1 minus the others, exactly, in real arithmetic.
//
// When the result is not finite, it is recomputed by `careful_mean`: NaN if
// any value is NaN or both infinities are present, else the infinity
// present; with only finite values (the differences overflowed) the same
// formula on values scaled down by a power of two, then scaled back.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "kernels/accumulate/compensated.hpp"
#include "kernels/overlap/axis_plan.hpp"

namespace pellorin::area {

using accumulate::block_terms;
using overlap::PlanEntry;

template <class S>
[[gnu::always_inline]] inline double as_double(S v) {
    return static_cast<double>(v);
}

// The formula above for values given by x(i), 0 <= i < e.count.
template <class X>
[[gnu::always_inline]] inline double mean_of_taps(const PlanEntry& e, X&& x) {
    const double first = x(0);
    if (e.count == 1) {
        return first;
    }
    const double last_term = (x(e.count - 1) - first) * e.w_last;
    if (e.count == 2) {
        return first + last_term;
    }
    const double sum = accumulate::blocked_sum(e.count - 2, [&](std::uint64_t i) { return x(i + 1) - first; });
    return first + (sum * e.w_mid + last_term);
}

// The recomputation of a value that came out infinite or NaN.
template <class X>
[[gnu::noinline]] double careful_mean(const PlanEntry& e, X&& x) {
    bool nan = false;
    bool plus = false;
    bool minus = false;
    for (std::uint64_t i = 0; i < e.count; ++i) {
        const double v = x(i);
        nan = nan || std::isnan(v);
        plus = plus || v == std::numeric_limits<double>::infinity();
        minus = minus || v == -std::numeric_limits<double>::infinity();
    }
    if (nan || (plus && minus)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (plus || minus) {
        return plus ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    // Finite values whose differences or sums overflowed: with every value
    // scaled by 2^-scale (scale > log2 of the count plus 2), no difference,
    // sum or product can overflow. Values that the scaling makes subnormal
    // lose bits far below the size of the overflowing ones.
    int scale = 2;
    for (std::uint64_t n = e.count; n != 0; n >>= 1) {
        ++scale;
    }
    const double down = std::ldexp(1.0, -scale);
    const double m = mean_of_taps(e, [&](std::uint64_t i) { return x(i) * down; });
    return std::ldexp(m, scale);
}

// Pass along the rows: t[j] for lo <= j < hi from the entry's input rows,
// row r starting at image + r * stride (elements). `acc`, `high` and `low`
// are scratch of at least hi elements (indexed by j).
template <class E>
[[gnu::always_inline]] inline void vertical_pass(const E* image, std::uint64_t stride, const PlanEntry& e,
                                                 std::uint64_t lo, std::uint64_t hi, double* __restrict t,
                                                 double* __restrict acc, double* __restrict high,
                                                 double* __restrict low) {
    // Restrict is safe: t, acc, high and low are distinct scratch rows, and
    // the image is only read.
    const E* __restrict vf = image + e.first * stride;
    const E* __restrict vl = image + (e.first + e.count - 1) * stride;
    if (e.count == 1) {
        for (std::uint64_t j = lo; j < hi; ++j) {
            t[j] = as_double(vf[j]);
        }
        return;
    }
    const double wl = e.w_last;
    if (e.count == 2) {
        for (std::uint64_t j = lo; j < hi; ++j) {
            const double f = as_double(vf[j]);
            t[j] = f + (as_double(vl[j]) - f) * wl;
        }
        return;
    }
    const std::uint64_t mids = e.count - 2;
    // Integer values: every difference and partial sum is an integer below
    // 2^53, so any grouping gives the exact sum, the blocked one included.
    constexpr bool exact = std::is_integral_v<E>;
    const bool blocked = !exact && mids > block_terms;
    for (std::uint64_t j = lo; j < hi; ++j) {
        high[j] = 0.0;
        low[j] = 0.0;
    }
    std::uint64_t b = 0;
    do {
        const std::uint64_t end = (!blocked || mids - b < block_terms) ? mids : b + block_terms;
        for (std::uint64_t j = lo; j < hi; ++j) {
            acc[j] = 0.0;
        }
        for (std::uint64_t i = b; i < end; ++i) {
            const E* __restrict row = vf + (i + 1) * stride;
            for (std::uint64_t j = lo; j < hi; ++j) {
                acc[j] += as_double(row[j]) - as_double(vf[j]);
            }
        }
        if (blocked) {
            for (std::uint64_t j = lo; j < hi; ++j) {
                double e_sum = 0.0;
                accumulate::two_sum(high[j], acc[j], high[j], e_sum);
                low[j] += e_sum;
            }
        }
        b = end;
    } while (b < mids);
    const double wm = e.w_mid;
    if (blocked) {
        for (std::uint64_t j = lo; j < hi; ++j) {
            acc[j] = high[j] + low[j];
        }
    }
    for (std::uint64_t j = lo; j < hi; ++j) {
        const double f = as_double(vf[j]);
        t[j] = f + (acc[j] * wm + (as_double(vl[j]) - f) * wl);
    }
}

// The values of t[lo .. hi) that came out infinite or NaN, recomputed from
// the column of input values. Integer images have none.
template <class E>
inline void repair_vertical(const E* image, std::uint64_t stride, const PlanEntry& e, std::uint64_t lo,
                            std::uint64_t hi, double* t) {
    if constexpr (std::is_floating_point_v<E>) {
        bool any = false;
        for (std::uint64_t j = lo; j < hi; ++j) {
            any |= !std::isfinite(t[j]);
        }
        if (!any) {
            return;
        }
        const E* base = image + e.first * stride;
        for (std::uint64_t j = lo; j < hi; ++j) {
            if (!std::isfinite(t[j])) {
                t[j] = careful_mean(e, [&](std::uint64_t i) { return as_double(base[i * stride + j]); });
            }
        }
    } else {
        (void)image;
        (void)stride;
        (void)e;
        (void)lo;
        (void)hi;
        (void)t;
    }
}

// Pass along the columns for outputs x_lo <= x < x_hi: s[x * c + ch] from
// src (one row of pixels of c channels). Uncovered outputs get +0.0.
// `acc`, `high` and `low` are scratch of at least c elements.
template <class S, int C>
[[gnu::always_inline]] inline void horizontal_pass(const S* __restrict src, std::uint64_t c_runtime,
                                                   const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi,
                                                   double* __restrict s, double* __restrict acc,
                                                   double* __restrict high, double* __restrict low) {
    const std::uint64_t c = C > 0 ? static_cast<std::uint64_t>(C) : c_runtime;
    constexpr bool exact = std::is_integral_v<S>;
    for (std::uint64_t x = x_lo; x < x_hi; ++x) {
        const PlanEntry& e = cols[x];
        double* __restrict out = s + x * c;
        const S* __restrict bf = src + e.first * c;
        if (e.count == 0) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                out[ch] = 0.0;
            }
            continue;
        }
        if (e.count == 1) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                out[ch] = as_double(bf[ch]);
            }
            continue;
        }
        const S* __restrict bl = bf + (e.count - 1) * c;
        const double wl = e.w_last;
        if (e.count == 2) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                const double f = as_double(bf[ch]);
                out[ch] = f + (as_double(bl[ch]) - f) * wl;
            }
            continue;
        }
        const std::uint64_t mids = e.count - 2;
        const bool blocked = !exact && mids > block_terms;
        for (std::uint64_t ch = 0; ch < c; ++ch) {
            high[ch] = 0.0;
            low[ch] = 0.0;
        }
        std::uint64_t b = 0;
        do {
            const std::uint64_t end = (!blocked || mids - b < block_terms) ? mids : b + block_terms;
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                acc[ch] = 0.0;
            }
            for (std::uint64_t i = b; i < end; ++i) {
                const S* __restrict px = bf + (i + 1) * c;
                for (std::uint64_t ch = 0; ch < c; ++ch) {
                    acc[ch] += as_double(px[ch]) - as_double(bf[ch]);
                }
            }
            if (blocked) {
                for (std::uint64_t ch = 0; ch < c; ++ch) {
                    double e_sum = 0.0;
                    accumulate::two_sum(high[ch], acc[ch], high[ch], e_sum);
                    low[ch] += e_sum;
                }
            }
            b = end;
        } while (b < mids);
        if (blocked) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                acc[ch] = high[ch] + low[ch];
            }
        }
        const double wm = e.w_mid;
        for (std::uint64_t ch = 0; ch < c; ++ch) {
            const double f = as_double(bf[ch]);
            out[ch] = f + (acc[ch] * wm + (as_double(bl[ch]) - f) * wl);
        }
    }
}

// The values of s that came out infinite or NaN, recomputed from src.
template <class S>
inline void repair_horizontal(const S* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                              std::uint64_t x_hi, double* s) {
    if constexpr (std::is_floating_point_v<S>) {
        bool any = false;
        for (std::uint64_t j = x_lo * c; j < x_hi * c; ++j) {
            any |= !std::isfinite(s[j]);
        }
        if (!any) {
            return;
        }
        for (std::uint64_t x = x_lo; x < x_hi; ++x) {
            const PlanEntry& e = cols[x];
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                double& v = s[x * c + ch];
                if (!std::isfinite(v)) {
                    const S* base = src + e.first * c + ch;
                    v = careful_mean(e, [&](std::uint64_t i) { return as_double(base[i * c]); });
                }
            }
        }
    } else {
        (void)src;
        (void)c;
        (void)cols;
        (void)x_lo;
        (void)x_hi;
        (void)s;
    }
}

}  // namespace pellorin::area
