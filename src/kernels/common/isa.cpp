#include "kernels/common/isa.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "kernels/common/panic.hpp"

#if PELLORIN_AVX2_VARIANTS
#include <cpuid.h>
#endif

namespace pellorin {
namespace {

struct IsaList {
    std::array<Isa, std::size(all_isas)> sets{};
    std::size_t count = 0;
};

#if PELLORIN_AVX2_VARIANTS
// AVX2 usable: the processor has AVX and AVX2 (CPUID leaves 1 and 7) and the
// operating system saves the YMM registers (OSXSAVE, then XCR0 bits 1 and 2).
// Read from CPUID itself rather than through the compiler's CPU-model table,
// which not every toolchain's runtime initialises.
bool avx2_usable() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) {
        return false;
    }
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0x6u) != 0x6u || __get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
}
#endif

IsaList detect() noexcept {
    IsaList list;
    list.sets[list.count++] = Isa::Baseline;
#if PELLORIN_AVX2_VARIANTS
    if (avx2_usable()) {
        list.sets[list.count++] = Isa::Avx2;
    }
#endif
    return list;
}

const IsaList& detected() noexcept {
    static const IsaList list = detect();
    return list;
}

[[noreturn, gnu::cold, gnu::noinline]] void unsupported(Isa isa, const char* kernel) {
    panic(std::string(kernel) + ": instruction set " + isa_name(isa) + " requested, which this processor lacks");
}

}  // namespace

Isa best_isa() noexcept {
    const IsaList& list = detected();
    return list.sets[list.count - 1];
}

std::span<const Isa> supported_isas() noexcept {
    const IsaList& list = detected();
    return {list.sets.data(), list.count};
}

bool isa_supported(Isa isa) noexcept {
    const std::span<const Isa> sets = supported_isas();
    return std::find(sets.begin(), sets.end(), isa) != sets.end();
}

void require_isa(Isa isa, const char* kernel) {
    if (!isa_supported(isa)) [[unlikely]] {
        unsupported(isa, kernel);
    }
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::Baseline: return "baseline";
        case Isa::Avx2: return "avx2";
    }
    return "unknown";
}

}  // namespace pellorin
