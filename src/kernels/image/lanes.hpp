// Moves between rows and lanes for the W pass of the separable resize: a
// block of w_lanes<W> rows is laid out so that the values of one position in
// all rows are contiguous (one 32-byte vector), and back. The moves copy
// values and never touch them, so every instruction set gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/common/isa.hpp"

#if PELLORIN_AVX2_VARIANTS
#include <immintrin.h>
#endif

namespace pellorin::image::lanes {

// Rows per block: one 32-byte vector of the work dtype.
template <class W>
constexpr std::size_t w_lanes = 32 / sizeof(W);

// Lanes in, position by position: t[q*L + b] = src[b][q] for q < n and
// b < L.
template <class W>
inline void to_lanes_plain(const W* const* src, std::uint64_t n, W* __restrict t) {
    constexpr std::size_t L = w_lanes<W>;
    for (std::uint64_t q = 0; q < n; ++q) {
        for (std::size_t b = 0; b < L; ++b) {
            t[q * L + b] = src[b][q];
        }
    }
}

// Lanes out, position by position: dst[b][r] = t[r*L + b] for r < n and
// b < L.
template <class W>
inline void from_lanes_plain(const W* __restrict t, std::uint64_t n, W* const* dst) {
    constexpr std::size_t L = w_lanes<W>;
    for (std::uint64_t r = 0; r < n; ++r) {
        for (std::size_t b = 0; b < L; ++b) {
            dst[b][r] = t[r * L + b];
        }
    }
}

#if PELLORIN_AVX2_VARIANTS
// The AVX2 vector of a work dtype, its unaligned moves, and the transpose of
// an L x L block held in L vectors: afterwards v[q] holds what was lane q of
// v[0] .. v[L-1].
template <class W>
struct Avx2Block;

template <>
struct Avx2Block<float> {
    using V = __m256;
    [[gnu::target("avx2"), gnu::always_inline]] static V load(const float* p) { return _mm256_loadu_ps(p); }
    [[gnu::target("avx2"), gnu::always_inline]] static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    [[gnu::target("avx2"), gnu::always_inline]] static void transpose(V v[8]) {
        const V t0 = _mm256_unpacklo_ps(v[0], v[1]);
        const V t1 = _mm256_unpackhi_ps(v[0], v[1]);
        const V t2 = _mm256_unpacklo_ps(v[2], v[3]);
        const V t3 = _mm256_unpackhi_ps(v[2], v[3]);
        const V t4 = _mm256_unpacklo_ps(v[4], v[5]);
        const V t5 = _mm256_unpackhi_ps(v[4], v[5]);
        const V t6 = _mm256_unpacklo_ps(v[6], v[7]);
        const V t7 = _mm256_unpackhi_ps(v[6], v[7]);
        const V s0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        const V s1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        const V s2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        const V s3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
        const V s4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
        const V s5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
        const V s6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
        const V s7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
        v[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
        v[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
        v[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
        v[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
        v[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
        v[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
        v[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
        v[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
    }
};

template <>
struct Avx2Block<double> {
    using V = __m256d;
    [[gnu::target("avx2"), gnu::always_inline]] static V load(const double* p) { return _mm256_loadu_pd(p); }
    [[gnu::target("avx2"), gnu::always_inline]] static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    [[gnu::target("avx2"), gnu::always_inline]] static void transpose(V v[4]) {
        const V t0 = _mm256_unpacklo_pd(v[0], v[1]);
        const V t1 = _mm256_unpackhi_pd(v[0], v[1]);
        const V t2 = _mm256_unpacklo_pd(v[2], v[3]);
        const V t3 = _mm256_unpackhi_pd(v[2], v[3]);
        v[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
        v[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
        v[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
        v[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
    }
};

// Lanes in, whole L x L blocks by transposes, the tail position by position.
template <class W>
[[gnu::target("avx2")]] inline void to_lanes_avx2(const W* const* src, std::uint64_t n, W* __restrict t) {
    using B = Avx2Block<W>;
    constexpr std::size_t L = w_lanes<W>;
    std::uint64_t q = 0;
    for (; n - q >= L; q += L) {
        typename B::V v[L];
        for (std::size_t b = 0; b < L; ++b) {
            v[b] = B::load(src[b] + q);
        }
        B::transpose(v);
        for (std::size_t k = 0; k < L; ++k) {
            B::store(t + (q + k) * L, v[k]);
        }
    }
    for (; q < n; ++q) {
        for (std::size_t b = 0; b < L; ++b) {
            t[q * L + b] = src[b][q];
        }
    }
}

// Lanes out, whole L x L blocks by transposes, the tail position by position.
template <class W>
[[gnu::target("avx2")]] inline void from_lanes_avx2(const W* __restrict t, std::uint64_t n, W* const* dst) {
    using B = Avx2Block<W>;
    constexpr std::size_t L = w_lanes<W>;
    std::uint64_t r = 0;
    for (; n - r >= L; r += L) {
        typename B::V v[L];
        for (std::size_t k = 0; k < L; ++k) {
            v[k] = B::load(t + (r + k) * L);
        }
        B::transpose(v);
        for (std::size_t b = 0; b < L; ++b) {
            B::store(dst[b] + r, v[b]);
        }
    }
    for (; r < n; ++r) {
        for (std::size_t b = 0; b < L; ++b) {
            dst[b][r] = t[r * L + b];
        }
    }
}
#endif

// The moves of the passes compiled for instruction set I: the hand-written
// transposes for AVX2, the plain loops otherwise. The arithmetic of the
// passes is the same plain code for every set.
template <Isa I, class W>
[[gnu::always_inline]] inline void to_lanes(const W* const* src, std::uint64_t n, W* __restrict t) {
#if PELLORIN_AVX2_VARIANTS
    if constexpr (I == Isa::Avx2) {
        to_lanes_avx2(src, n, t);
        return;
    }
#endif
    to_lanes_plain(src, n, t);
}

template <Isa I, class W>
[[gnu::always_inline]] inline void from_lanes(const W* __restrict t, std::uint64_t n, W* const* dst) {
#if PELLORIN_AVX2_VARIANTS
    if constexpr (I == Isa::Avx2) {
        from_lanes_avx2(t, n, dst);
        return;
    }
#endif
    from_lanes_plain(t, n, dst);
}

}  // namespace pellorin::image::lanes
