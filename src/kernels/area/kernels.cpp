#include "kernels/area/kernels.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels/area/lanes.hpp"
#include "kernels/area/passes.hpp"
#include "kernels/common/panic.hpp"

namespace pellorin::area {

namespace {

// Each kernel is one template, instantiated in a baseline function and in
// an AVX2 one; `flatten` inlines the template (and everything it calls but
// the cold repairs) into each, so the compiler vectorises it for that set.
// The arithmetic is the same scalar code in both: vectors only run several
// independent outputs at once, and no contraction into fused multiply-add
// is allowed (-ffp-contract=off), so every set gives the same bits.

template <class E>
[[gnu::flatten]] void vertical_baseline(const E* image, std::uint64_t stride, const PlanEntry& e, std::uint64_t lo,
                                        std::uint64_t hi, double* t, const PassScratch& w) {
    vertical_pass<E>(image, stride, e, lo, hi, t, w.acc, w.high, w.low, w.sums);
    repair_vertical<E>(image, stride, e, lo, hi, t);
}

template <class S, int C>
[[gnu::flatten]] void horizontal_baseline(const S* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                                          std::uint64_t x_hi, double* s, const PassScratch& w) {
    horizontal_pass<S, C>(src, c, cols, x_lo, x_hi, s, w.acc, w.high, w.low);
    repair_horizontal<S>(src, c, cols, x_lo, x_hi, s);
}

template <class T>
[[gnu::flatten]] void write_baseline(const double* s, void* out, std::uint64_t n) {
    T* __restrict o = static_cast<T*>(out);  // restrict: the result never overlaps the scratch row s
    for (std::uint64_t i = 0; i < n; ++i) {
        o[i] = to_target<T>(s[i]);
    }
}

#if defined(__x86_64__)
template <class E>
[[gnu::target("avx2"), gnu::flatten]] void vertical_avx2(const E* image, std::uint64_t stride, const PlanEntry& e,
                                                         std::uint64_t lo, std::uint64_t hi, double* t,
                                                         const PassScratch& w) {
    vertical_pass<E>(image, stride, e, lo, hi, t, w.acc, w.high, w.low, w.sums);
    repair_vertical<E>(image, stride, e, lo, hi, t);
}

template <class S, int C>
[[gnu::target("avx2"), gnu::flatten]] void horizontal_avx2(const S* src, std::uint64_t c, const PlanEntry* cols,
                                                           std::uint64_t x_lo, std::uint64_t x_hi, double* s,
                                                           const PassScratch& w) {
    horizontal_pass<S, C>(src, c, cols, x_lo, x_hi, s, w.acc, w.high, w.low);
    repair_horizontal<S>(src, c, cols, x_lo, x_hi, s);
}

// Sixteen values at a time for the narrow integer types and float, with the
// operations of to_target (NaN to 0, clip, round with the shifter, then an
// exact conversion of the integer): the same values as the scalar loop.
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i rounded_int32(const double* p, __m256d lo, __m256d hi) {
    const __m256d shifter = _mm256_set1_pd(6755399441055744.0);
    __m256d y = _mm256_loadu_pd(p);
    y = _mm256_and_pd(y, _mm256_cmp_pd(y, y, _CMP_ORD_Q));  // NaN -> +0
    y = _mm256_min_pd(_mm256_max_pd(y, lo), hi);
    y = _mm256_sub_pd(_mm256_add_pd(y, shifter), shifter);
    return _mm256_cvttpd_epi32(y);
}

template <class T>
[[gnu::target("avx2")]] std::uint64_t write_narrow_avx2(const double* s, T* out, std::uint64_t n) {
    const __m256d lo = _mm256_set1_pd(static_cast<double>(std::numeric_limits<T>::min()));
    const __m256d hi = _mm256_set1_pd(static_cast<double>(std::numeric_limits<T>::max()));
    std::uint64_t i = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i a = rounded_int32(s + i, lo, hi);
        const __m128i b = rounded_int32(s + i + 4, lo, hi);
        const __m128i c = rounded_int32(s + i + 8, lo, hi);
        const __m128i d = rounded_int32(s + i + 12, lo, hi);
        if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
            // Values fit 16 bits signed, then 8 bits: packs never saturate.
            const __m128i ab = _mm_packs_epi32(a, b);
            const __m128i cd = _mm_packs_epi32(c, d);
            const __m128i bytes = std::is_same_v<T, std::uint8_t> ? _mm_packus_epi16(ab, cd) : _mm_packs_epi16(ab, cd);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
        } else if constexpr (std::is_same_v<T, std::uint16_t>) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi32(a, b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_packus_epi32(c, d));
        } else if constexpr (std::is_same_v<T, std::int16_t>) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a, b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_packs_epi32(c, d));
        } else {
            static_assert(std::is_same_v<T, std::int32_t>);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), a);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), b);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), c);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 12), d);
        }
    }
    return i;
}

[[gnu::target("avx2")]] std::uint64_t write_float_avx2(const double* s, float* out, std::uint64_t n) {
    std::uint64_t i = 0;
    for (; n - i >= 8; i += 8) {
        _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_loadu_pd(s + i)));
        _mm_storeu_ps(out + i + 4, _mm256_cvtpd_ps(_mm256_loadu_pd(s + i + 4)));
    }
    return i;
}

template <class T>
[[gnu::target("avx2"), gnu::flatten]] void write_avx2(const double* s, void* out, std::uint64_t n) {
    T* __restrict o = static_cast<T*>(out);
    std::uint64_t i = 0;
    if constexpr (sizeof(T) <= 2 || std::is_same_v<T, std::int32_t>) {
        i = write_narrow_avx2<T>(s, o, n);
    } else if constexpr (std::is_same_v<T, float>) {
        i = write_float_avx2(s, o, n);
    }
    for (; i < n; ++i) {
        o[i] = to_target<T>(s[i]);
    }
}
#endif

template <class E>
void vertical_typed(Isa isa, const void* image, std::uint64_t stride, const PlanEntry& e, std::uint64_t lo,
                    std::uint64_t hi, double* t, const PassScratch& w) {
    const E* typed = static_cast<const E*>(image);
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        vertical_avx2<E>(typed, stride, e, lo, hi, t, w);
        return;
    }
#endif
    (void)isa;
    vertical_baseline<E>(typed, stride, e, lo, hi, t, w);
}

template <class S, int C>
void horizontal_fixed(Isa isa, const S* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                      std::uint64_t x_hi, double* s, const PassScratch& w) {
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        horizontal_avx2<S, C>(src, c, cols, x_lo, x_hi, s, w);
        return;
    }
#endif
    (void)isa;
    horizontal_baseline<S, C>(src, c, cols, x_lo, x_hi, s, w);
}

// Channel counts 1 to 4 get code of their own (the channel loop unrolled);
// others share one.
template <class S>
void horizontal_typed(Isa isa, const void* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                      std::uint64_t x_hi, double* s, const PassScratch& w) {
    const S* typed = static_cast<const S*>(src);
    switch (c) {
        case 1: horizontal_fixed<S, 1>(isa, typed, c, cols, x_lo, x_hi, s, w); return;
        case 2: horizontal_fixed<S, 2>(isa, typed, c, cols, x_lo, x_hi, s, w); return;
        case 3: horizontal_fixed<S, 3>(isa, typed, c, cols, x_lo, x_hi, s, w); return;
        case 4: horizontal_fixed<S, 4>(isa, typed, c, cols, x_lo, x_hi, s, w); return;
        default: horizontal_fixed<S, 0>(isa, typed, c, cols, x_lo, x_hi, s, w); return;
    }
}

template <class T>
void write_typed(Isa isa, const double* s, void* out, std::uint64_t n) {
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        write_avx2<T>(s, out, n);
        return;
    }
#endif
    (void)isa;
    write_baseline<T>(s, out, n);
}

template <class S>
[[gnu::flatten]] void interleave_baseline(const S* const rows[4], std::uint64_t lo, std::uint64_t hi, double* lanes) {
    lanes::interleave<S>(rows, lo, hi, lanes);
}
[[gnu::flatten]] bool horizontal_lanes_baseline(const double* l, std::uint64_t base, std::uint64_t c,
                                                const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi,
                                                double* out, bool check) {
    lanes::horizontal(l, base, c, cols, x_lo, x_hi, out);
    return !check || all_finite(out, (x_hi - x_lo) * c * lanes::width);
}
[[gnu::flatten]] void deinterleave_baseline(const double* values, std::uint64_t n, double* const rows[4],
                                            unsigned used) {
    lanes::deinterleave(values, n, rows, used);
}
template <int C>
[[gnu::flatten]] bool horizontal_channels_baseline(const double* src, const PlanEntry* cols, std::uint64_t x_lo,
                                                   std::uint64_t x_hi, double* s, bool check) {
    lanes::horizontal_channels<C>(src, cols, x_lo, x_hi, s);
    return !check || all_finite(s + x_lo * C, (x_hi - x_lo) * C);
}

#if defined(__x86_64__)
template <class S>
[[gnu::target("avx2"), gnu::flatten]] void interleave_avx2(const S* const rows[4], std::uint64_t lo, std::uint64_t hi,
                                                           double* lanes) {
    lanes::interleave<S>(rows, lo, hi, lanes);
}
[[gnu::target("avx2"), gnu::flatten]] bool horizontal_lanes_avx2(const double* l, std::uint64_t base, std::uint64_t c,
                                                                 const PlanEntry* cols, std::uint64_t x_lo,
                                                                 std::uint64_t x_hi, double* out, bool check) {
    lanes::horizontal(l, base, c, cols, x_lo, x_hi, out);
    return !check || all_finite(out, (x_hi - x_lo) * c * lanes::width);
}
[[gnu::target("avx2"), gnu::flatten]] void deinterleave_avx2(const double* values, std::uint64_t n,
                                                             double* const rows[4], unsigned used) {
    lanes::deinterleave(values, n, rows, used);
}
template <int C>
[[gnu::target("avx2"), gnu::flatten]] bool horizontal_channels_avx2(const double* src, const PlanEntry* cols,
                                                                    std::uint64_t x_lo, std::uint64_t x_hi, double* s,
                                                                    bool check) {
    lanes::horizontal_channels<C>(src, cols, x_lo, x_hi, s);
    return !check || all_finite(s + x_lo * C, (x_hi - x_lo) * C);
}

#endif

template <class S>
void interleave_typed(Isa isa, const void* const rows[4], std::uint64_t lo, std::uint64_t hi, double* l) {
    const S* typed[4];
    for (unsigned b = 0; b < 4; ++b) {
        typed[b] = static_cast<const S*>(rows[b]);
    }
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        interleave_avx2<S>(typed, lo, hi, l);
        return;
    }
#endif
    (void)isa;
    interleave_baseline<S>(typed, lo, hi, l);
}

// Lane values of `out` that are not finite, recomputed from the lanes.
[[gnu::cold, gnu::noinline]] void repair_lanes(const double* l, std::uint64_t base, std::uint64_t c,
                                               const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi,
                                               double* out) {
    for (std::uint64_t x = x_lo; x < x_hi; ++x) {
        const PlanEntry& e = cols[x];
        for (std::uint64_t ch = 0; ch < c; ++ch) {
            for (unsigned b = 0; b < lanes::width; ++b) {
                double& v = out[((x - x_lo) * c + ch) * lanes::width + b];
                if (!std::isfinite(v)) {
                    const double* first = l + ((e.first * c + ch) - base) * lanes::width + b;
                    v = careful_mean(e, [&](std::uint64_t i) { return first[i * c * lanes::width]; });
                }
            }
        }
    }
}

}  // namespace

void interleave(Isa isa, Element element, const void* const rows[4], std::uint64_t lo, std::uint64_t hi, double* l) {
    switch (element) {
        case Element::U8: interleave_typed<std::uint8_t>(isa, rows, lo, hi, l); return;
        case Element::U16: interleave_typed<std::uint16_t>(isa, rows, lo, hi, l); return;
        case Element::F32: interleave_typed<float>(isa, rows, lo, hi, l); return;
        case Element::F64: interleave_typed<double>(isa, rows, lo, hi, l); return;
    }
    panic("interleave: unknown element type");
}

void interleave(Isa isa, const double* const rows[4], std::uint64_t lo, std::uint64_t hi, double* l) {
    const void* untyped[4] = {rows[0], rows[1], rows[2], rows[3]};
    interleave_typed<double>(isa, untyped, lo, hi, l);
}

void horizontal_lanes(Isa isa, const double* l, std::uint64_t base, std::uint64_t c, const PlanEntry* cols,
                      std::uint64_t x_lo, std::uint64_t x_hi, double* out, bool repair) {
    bool finite = true;
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        finite = horizontal_lanes_avx2(l, base, c, cols, x_lo, x_hi, out, repair);
    } else {
        finite = horizontal_lanes_baseline(l, base, c, cols, x_lo, x_hi, out, repair);
    }
#else
    (void)isa;
    finite = horizontal_lanes_baseline(l, base, c, cols, x_lo, x_hi, out, repair);
#endif
    if (!finite) {
        repair_lanes(l, base, c, cols, x_lo, x_hi, out);
    }
}

void deinterleave(Isa isa, const double* values, std::uint64_t n, double* const rows[4], unsigned used) {
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        deinterleave_avx2(values, n, rows, used);
        return;
    }
#endif
    (void)isa;
    deinterleave_baseline(values, n, rows, used);
}

void horizontal_channels(Isa isa, const double* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                         std::uint64_t x_hi, double* s, bool repair) {
    bool finite = true;
#if defined(__x86_64__)
    if (isa == Isa::Avx2) {
        finite = c == 3 ? horizontal_channels_avx2<3>(src, cols, x_lo, x_hi, s, repair)
                        : horizontal_channels_avx2<4>(src, cols, x_lo, x_hi, s, repair);
    } else
#endif
    {
        (void)isa;
        finite = c == 3 ? horizontal_channels_baseline<3>(src, cols, x_lo, x_hi, s, repair)
                        : horizontal_channels_baseline<4>(src, cols, x_lo, x_hi, s, repair);
    }
    if (!finite) {
        repair_horizontal<double>(src, c, cols, x_lo, x_hi, s);
    }
}

namespace {

// Pixels of B bytes: a copy of fixed size the compiler turns into moves.
template <std::size_t B>
void gather_fixed(const unsigned char* in, const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi,
                  unsigned char* out) {
    for (std::uint64_t x = x_lo; x < x_hi; ++x) {
        const PlanEntry& e = cols[x];
        unsigned char* o = out + x * B;
        if (e.count == 0) {
            std::memset(o, 0, B);
        } else {
            std::memcpy(o, in + e.first * B, B);
        }
    }
}

}  // namespace

void gather_pixels(const void* in, const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi, std::size_t bytes,
                   void* out) {
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    switch (bytes) {
        case 1: gather_fixed<1>(src, cols, x_lo, x_hi, dst); return;
        case 2: gather_fixed<2>(src, cols, x_lo, x_hi, dst); return;
        case 3: gather_fixed<3>(src, cols, x_lo, x_hi, dst); return;
        case 4: gather_fixed<4>(src, cols, x_lo, x_hi, dst); return;
        case 6: gather_fixed<6>(src, cols, x_lo, x_hi, dst); return;
        case 8: gather_fixed<8>(src, cols, x_lo, x_hi, dst); return;
        case 12: gather_fixed<12>(src, cols, x_lo, x_hi, dst); return;
        case 16: gather_fixed<16>(src, cols, x_lo, x_hi, dst); return;
        case 24: gather_fixed<24>(src, cols, x_lo, x_hi, dst); return;
        case 32: gather_fixed<32>(src, cols, x_lo, x_hi, dst); return;
        default: break;
    }
    for (std::uint64_t x = x_lo; x < x_hi; ++x) {
        const PlanEntry& e = cols[x];
        if (e.count == 0) {
            std::memset(dst + x * bytes, 0, bytes);
        } else {
            std::memcpy(dst + x * bytes, src + e.first * bytes, bytes);
        }
    }
}

std::size_t element_bytes(Element e) noexcept {
    switch (e) {
        case Element::U8: return 1;
        case Element::U16: return 2;
        case Element::F32: return 4;
        case Element::F64: return 8;
    }
    return 1;
}

std::size_t target_bytes(Target t) noexcept {
    switch (t) {
        case Target::U8:
        case Target::I8: return 1;
        case Target::U16:
        case Target::I16: return 2;
        case Target::U32:
        case Target::I32:
        case Target::F32: return 4;
        case Target::U64:
        case Target::I64:
        case Target::F64: return 8;
    }
    return 1;
}

void vertical(Isa isa, Element element, const void* image, std::uint64_t stride, const PlanEntry& e, std::uint64_t lo,
              std::uint64_t hi, double* t, const PassScratch& scratch) {
    switch (element) {
        case Element::U8: vertical_typed<std::uint8_t>(isa, image, stride, e, lo, hi, t, scratch); return;
        case Element::U16: vertical_typed<std::uint16_t>(isa, image, stride, e, lo, hi, t, scratch); return;
        case Element::F32: vertical_typed<float>(isa, image, stride, e, lo, hi, t, scratch); return;
        case Element::F64: vertical_typed<double>(isa, image, stride, e, lo, hi, t, scratch); return;
    }
    panic("vertical: unknown element type");
}

void horizontal(Isa isa, Element element, const void* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                std::uint64_t x_hi, double* s, const PassScratch& scratch) {
    switch (element) {
        case Element::U8: horizontal_typed<std::uint8_t>(isa, src, c, cols, x_lo, x_hi, s, scratch); return;
        case Element::U16: horizontal_typed<std::uint16_t>(isa, src, c, cols, x_lo, x_hi, s, scratch); return;
        case Element::F32: horizontal_typed<float>(isa, src, c, cols, x_lo, x_hi, s, scratch); return;
        case Element::F64: horizontal_typed<double>(isa, src, c, cols, x_lo, x_hi, s, scratch); return;
    }
    panic("horizontal: unknown element type");
}

void horizontal(Isa isa, const double* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                std::uint64_t x_hi, double* s, const PassScratch& scratch) {
    horizontal_typed<double>(isa, src, c, cols, x_lo, x_hi, s, scratch);
}

void write(Isa isa, Target target, const double* s, void* out, std::uint64_t n) {
    switch (target) {
        case Target::U8: write_typed<std::uint8_t>(isa, s, out, n); return;
        case Target::U16: write_typed<std::uint16_t>(isa, s, out, n); return;
        case Target::U32: write_typed<std::uint32_t>(isa, s, out, n); return;
        case Target::U64: write_typed<std::uint64_t>(isa, s, out, n); return;
        case Target::I8: write_typed<std::int8_t>(isa, s, out, n); return;
        case Target::I16: write_typed<std::int16_t>(isa, s, out, n); return;
        case Target::I32: write_typed<std::int32_t>(isa, s, out, n); return;
        case Target::I64: write_typed<std::int64_t>(isa, s, out, n); return;
        case Target::F32: write_typed<float>(isa, s, out, n); return;
        case Target::F64: write_typed<double>(isa, s, out, n); return;
    }
    panic("write: unknown target type");
}

}  // namespace pellorin::area
