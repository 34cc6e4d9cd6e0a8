// Four output rows side by side: the pass along the columns runs on vectors
// of four doubles, one lane per row, so that each vector operation computes
// the same output element of four rows. A lane's arithmetic is exactly the
// scalar formula of passes.hpp; the vectors only run four independent
// outputs at once. Written with GCC's vector extensions, which every
// instruction set compiles (two SSE2 or NEON registers, or one AVX2 one)
// with the same IEEE operations, so every set gives the same bits. GCC (12
// and later) and clang both have these builtins.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/accumulate/compensated.hpp"
#include "kernels/overlap/axis_plan.hpp"

// Vectors are passed by value only between always-inlined functions, never
// across a call, so the calling convention (which differs with and without
// AVX) never applies to them. The note is off for the rest of the including
// file too: templates are instantiated at its end.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace pellorin::area::lanes {

using overlap::PlanEntry;

typedef double v4d __attribute__((vector_size(32)));

inline constexpr unsigned width = 4;

[[gnu::always_inline]] inline v4d load(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store(double* p, v4d v) { std::memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline v4d splat(double x) { return v4d{x, x, x, x}; }

// Four consecutive values of row `p` as doubles (exact conversions).
template <class S>
[[gnu::always_inline]] inline v4d load_as_double(const S* p) {
    if constexpr (std::is_same_v<S, double>) {
        return load(p);
    } else {
        typedef S v4s __attribute__((vector_size(4 * sizeof(S))));
        v4s v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(v, v4d);
    }
}

// In place: afterwards v[k] holds what was lane k of v[0] .. v[3].
[[gnu::always_inline]] inline void transpose(v4d v[4]) {
    const v4d t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
    const v4d t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
    const v4d t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
    const v4d t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
    v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// lanes[j - lo] = {rows[0][j], rows[1][j], rows[2][j], rows[3][j]} for
// lo <= j < hi, every value converted exactly to double.
template <class S>
[[gnu::always_inline]] inline void interleave(const S* const rows[4], std::uint64_t lo, std::uint64_t hi,
                                              double* __restrict lanes) {
    std::uint64_t j = lo;
    for (; hi - j >= width; j += width) {
        v4d v[4] = {load_as_double(rows[0] + j), load_as_double(rows[1] + j), load_as_double(rows[2] + j),
                    load_as_double(rows[3] + j)};
        transpose(v);
        for (unsigned k = 0; k < width; ++k) {
            store(lanes + (j - lo + k) * width, v[k]);
        }
    }
    for (; j < hi; ++j) {
        for (unsigned b = 0; b < width; ++b) {
            lanes[(j - lo) * width + b] = static_cast<double>(rows[b][j]);
        }
    }
}

// The pass along the columns on lanes: out[(x - x_lo) * c + ch] for x_lo <=
// x < x_hi, from lanes holding input elements base .. (element j at
// lanes[(j - base) * 4]). The formula of passes.hpp, lane by lane.
[[gnu::always_inline]] inline void horizontal(const double* __restrict lanes, std::uint64_t base, std::uint64_t c,
                                              const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi,
                                              double* __restrict out) {
    const v4d zero = splat(0.0);
    for (std::uint64_t x = x_lo; x < x_hi; ++x) {
        const PlanEntry& e = cols[x];
        double* __restrict o = out + (x - x_lo) * c * width;
        if (e.count == 0) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                store(o + ch * width, zero);
            }
            continue;
        }
        const double* f = lanes + (e.first * c - base) * width;
        if (e.count == 1) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                store(o + ch * width, load(f + ch * width));
            }
            continue;
        }
        const double* l = f + (e.count - 1) * c * width;
        const v4d wl = splat(e.w_last);
        if (e.count == 2) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                const v4d first = load(f + ch * width);
                store(o + ch * width, first + (load(l + ch * width) - first) * wl);
            }
            continue;
        }
        const std::uint64_t mids = e.count - 2;
        const v4d wm = splat(e.w_mid);
        for (std::uint64_t ch = 0; ch < c; ++ch) {
            const v4d first = load(f + ch * width);
            v4d sum;
            if (mids <= accumulate::block_terms) {
                sum = zero;
                for (std::uint64_t i = 1; i <= mids; ++i) {
                    sum += load(f + (i * c + ch) * width) - first;
                }
            } else {
                // blocked_sum, lane by lane: plain blocks folded by TwoSum.
                v4d high = zero;
                v4d low = zero;
                for (std::uint64_t b = 0; b < mids; b += accumulate::block_terms) {
                    const std::uint64_t end = mids - b < accumulate::block_terms ? mids : b + accumulate::block_terms;
                    v4d block = zero;
                    for (std::uint64_t i = b; i < end; ++i) {
                        block += load(f + ((i + 1) * c + ch) * width) - first;
                    }
                    const v4d s = high + block;
                    const v4d bb = s - high;
                    low += (high - (s - bb)) + (block - bb);
                    high = s;
                }
                sum = high + low;
            }
            store(o + ch * width, first + (sum * wm + (load(l + ch * width) - first) * wl));
        }
    }
}

// Lane b of values[0 .. n) into the double row rows[b][0 .. n), b < used.
[[gnu::always_inline]] inline void deinterleave(const double* __restrict values, std::uint64_t n, double* const rows[4],
                                                unsigned used) {
    std::uint64_t i = 0;
    for (; n - i >= width; i += width) {
        v4d v[4] = {load(values + i * width), load(values + (i + 1) * width), load(values + (i + 2) * width),
                    load(values + (i + 3) * width)};
        transpose(v);
        for (unsigned b = 0; b < used; ++b) {
            store(rows[b] + i, v[b]);
        }
    }
    for (; i < n; ++i) {
        for (unsigned b = 0; b < used; ++b) {
            rows[b][i] = values[i * width + b];
        }
    }
}

// The pass along the columns for 3 or 4 channels, one vector per pixel (a
// fourth lane for 3 channels carries the next pixel's first channel along
// and is overwritten by it): s[x * C .. x * C + C) for x_lo <= x < x_hi
// from src. src and s must have one more element than they use.
template <int C>
[[gnu::always_inline]] inline void horizontal_channels(const double* __restrict src, const PlanEntry* cols,
                                                       std::uint64_t x_lo, std::uint64_t x_hi, double* __restrict s) {
    static_assert(C == 3 || C == 4);
    const v4d zero = splat(0.0);
    for (std::uint64_t x = x_lo; x < x_hi; ++x) {
        const PlanEntry& e = cols[x];
        double* o = s + x * C;
        if (e.count == 0) {
            store(o, zero);
            continue;
        }
        const double* f = src + e.first * C;
        const v4d first = load(f);
        if (e.count == 1) {
            store(o, first);
            continue;
        }
        const v4d last_term = (load(f + (e.count - 1) * C) - first) * splat(e.w_last);
        if (e.count == 2) {
            store(o, first + last_term);
            continue;
        }
        const std::uint64_t mids = e.count - 2;
        v4d sum;
        if (mids <= accumulate::block_terms) {
            sum = zero;
            for (std::uint64_t i = 1; i <= mids; ++i) {
                sum += load(f + i * C) - first;
            }
        } else {
            v4d high = zero;
            v4d low = zero;
            for (std::uint64_t b = 0; b < mids; b += accumulate::block_terms) {
                const std::uint64_t end = mids - b < accumulate::block_terms ? mids : b + accumulate::block_terms;
                v4d block = zero;
                for (std::uint64_t i = b; i < end; ++i) {
                    block += load(f + (i + 1) * C) - first;
                }
                const v4d t = high + block;
                const v4d bb = t - high;
                low += (high - (t - bb)) + (block - bb);
                high = t;
            }
            sum = high + low;
        }
        store(o, first + (sum * splat(e.w_mid) + last_term));
    }
}

}  // namespace pellorin::area::lanes
