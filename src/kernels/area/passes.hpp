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

// Whether x[0 .. n) are all finite: x - x is 0 for finite x and NaN
// otherwise (an integer reduction, without a branch per value).
[[gnu::always_inline]] inline bool all_finite(const double* x, std::uint64_t n) {
    unsigned bad = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        bad |= static_cast<unsigned>(!(x[i] - x[i] == 0.0));
    }
    return bad == 0;
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

// Pass along the rows: t[j - lo] for lo <= j < hi from the entry's input
// rows, row r starting at image + r * stride (elements). `acc`, `high`,
// `low` and `sums` are scratch of at least hi - lo elements.
template <class E>
[[gnu::always_inline]] inline void vertical_pass(const E* image, std::uint64_t stride, const PlanEntry& e,
                                                 std::uint64_t lo, std::uint64_t hi, double* __restrict t,
                                                 double* __restrict acc, double* __restrict high,
                                                 double* __restrict low, std::int32_t* __restrict sums) {
    // Restrict is safe: t, acc, high and low are distinct scratch rows, and
    // the image is only read.
    const std::uint64_t n = hi - lo;
    const E* __restrict vf = image + e.first * stride + lo;
    const E* __restrict vl = image + (e.first + e.count - 1) * stride + lo;
    if (e.count == 1) {
        for (std::uint64_t j = 0; j < n; ++j) {
            t[j] = as_double(vf[j]);
        }
        return;
    }
    const double wl = e.w_last;
    if (e.count == 2) {
        if constexpr (std::is_integral_v<E>) {
            // The difference of two integers is exact in 32 bits as in double.
            for (std::uint64_t j = 0; j < n; ++j) {
                const auto fi = static_cast<std::int32_t>(vf[j]);
                t[j] = static_cast<double>(fi) + static_cast<double>(static_cast<std::int32_t>(vl[j]) - fi) * wl;
            }
        } else {
            for (std::uint64_t j = 0; j < n; ++j) {
                const double f = as_double(vf[j]);
                t[j] = f + (as_double(vl[j]) - f) * wl;
            }
        }
        return;
    }
    const std::uint64_t mids = e.count - 2;
    const double wm = e.w_mid;
    // Integer values: every difference and partial sum is an integer below
    // 2^53, so any grouping gives the exact sum, the blocked one included,
    // and so does a sum of the values in 32-bit integers minus mids times
    // the first value, while it cannot overflow.
    constexpr bool exact = std::is_integral_v<E>;
    if constexpr (!exact) {
        (void)sums;
    } else {
        constexpr std::uint64_t largest = std::numeric_limits<E>::max();
        if (mids < (std::uint64_t{1} << 31) / largest) {
            const E* __restrict row1 = vf + stride;
            for (std::uint64_t j = 0; j < n; ++j) {
                sums[j] = static_cast<std::int32_t>(row1[j]);
            }
            for (std::uint64_t i = 2; i <= mids; ++i) {
                const E* __restrict row = vf + i * stride;
                for (std::uint64_t j = 0; j < n; ++j) {
                    sums[j] += static_cast<std::int32_t>(row[j]);
                }
            }
            const auto m = static_cast<std::int32_t>(mids);
            for (std::uint64_t j = 0; j < n; ++j) {
                const auto fi = static_cast<std::int32_t>(vf[j]);
                const double f = static_cast<double>(fi);
                const double sum = static_cast<double>(sums[j] - m * fi);
                t[j] = f + (sum * wm + (as_double(vl[j]) - f) * wl);
            }
            return;
        }
    }
    if (mids == 1) {
        // One whole row between: S = x_1 - x_0, a plain sum of one term.
        const E* __restrict mid = vf + stride;
        for (std::uint64_t j = 0; j < n; ++j) {
            const double f = as_double(vf[j]);
            t[j] = f + ((as_double(mid[j]) - f) * wm + (as_double(vl[j]) - f) * wl);
        }
        return;
    }
    // Blocks of block_terms rows summed plainly (the first term added to
    // +0.0, which leaves it unchanged), folded by TwoSum when there are more.
    const bool blocked = !exact && mids > block_terms;
    std::uint64_t b = 0;
    do {
        const std::uint64_t end = (!blocked || mids - b < block_terms) ? mids : b + block_terms;
        const E* __restrict row0 = vf + (b + 1) * stride;
        for (std::uint64_t j = 0; j < n; ++j) {
            acc[j] = as_double(row0[j]) - as_double(vf[j]);
        }
        for (std::uint64_t i = b + 1; i < end; ++i) {
            const E* __restrict row = vf + (i + 1) * stride;
            for (std::uint64_t j = 0; j < n; ++j) {
                acc[j] += as_double(row[j]) - as_double(vf[j]);
            }
        }
        if (blocked) {
            if (b == 0) {
                // The first fold into (0, 0) gives (block, 0) exactly.
                for (std::uint64_t j = 0; j < n; ++j) {
                    high[j] = acc[j];
                    low[j] = 0.0;
                }
            } else {
                for (std::uint64_t j = 0; j < n; ++j) {
                    double e_sum = 0.0;
                    accumulate::two_sum(high[j], acc[j], high[j], e_sum);
                    low[j] += e_sum;
                }
            }
        }
        b = end;
    } while (b < mids);
    if (blocked) {
        for (std::uint64_t j = 0; j < n; ++j) {
            acc[j] = high[j] + low[j];
        }
    }
    for (std::uint64_t j = 0; j < n; ++j) {
        const double f = as_double(vf[j]);
        t[j] = f + (acc[j] * wm + (as_double(vl[j]) - f) * wl);
    }
}

// The values of t[0 .. hi - lo) that came out infinite or NaN, recomputed
// from the column of input values. Integer images have none.
template <class E>
inline void repair_vertical(const E* image, std::uint64_t stride, const PlanEntry& e, std::uint64_t lo,
                            std::uint64_t hi, double* t) {
    if constexpr (std::is_floating_point_v<E>) {
        if (all_finite(t, hi - lo)) {
            return;
        }
        const E* base = image + e.first * stride + lo;
        for (std::uint64_t j = 0; j < hi - lo; ++j) {
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
        if (all_finite(s + x_lo * c, (x_hi - x_lo) * c)) {
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
