#include "kernels/area/kernels.hpp"

#include <cstring>

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
    vertical_pass<E>(image, stride, e, lo, hi, t, w.acc, w.high, w.low);
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
    vertical_pass<E>(image, stride, e, lo, hi, t, w.acc, w.high, w.low);
    repair_vertical<E>(image, stride, e, lo, hi, t);
}

template <class S, int C>
[[gnu::target("avx2"), gnu::flatten]] void horizontal_avx2(const S* src, std::uint64_t c, const PlanEntry* cols,
                                                           std::uint64_t x_lo, std::uint64_t x_hi, double* s,
                                                           const PassScratch& w) {
    horizontal_pass<S, C>(src, c, cols, x_lo, x_hi, s, w.acc, w.high, w.low);
    repair_horizontal<S>(src, c, cols, x_lo, x_hi, s);
}

template <class T>
[[gnu::target("avx2"), gnu::flatten]] void write_avx2(const double* s, void* out, std::uint64_t n) {
    T* __restrict o = static_cast<T*>(out);
    for (std::uint64_t i = 0; i < n; ++i) {
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

}  // namespace

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
