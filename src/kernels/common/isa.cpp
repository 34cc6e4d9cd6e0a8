#include "kernels/common/isa.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "kernels/common/panic.hpp"

namespace pellorin {
namespace {

struct IsaList {
    std::array<Isa, std::size(all_isas)> sets{};
    std::size_t count = 0;
};

IsaList detect() noexcept {
    IsaList list;
    list.sets[list.count++] = Isa::Baseline;
#if PELLORIN_AVX2_VARIANTS
    if (__builtin_cpu_supports("avx2")) {
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
