#include "kernels/common/isa.hpp"

#include <array>

namespace pellorin {
namespace {

struct IsaList {
    std::array<Isa, 2> sets{};
    std::size_t count = 0;
};

IsaList detect() noexcept {
    IsaList list;
    list.sets[list.count++] = Isa::Baseline;
#if defined(__x86_64__)
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

}  // namespace

Isa best_isa() noexcept {
    const IsaList& list = detected();
    return list.sets[list.count - 1];
}

std::span<const Isa> supported_isas() noexcept {
    const IsaList& list = detected();
    return {list.sets.data(), list.count};
}

const char* isa_name(Isa isa) noexcept {
    switch (isa) {
        case Isa::Baseline: return "baseline";
        case Isa::Avx2: return "avx2";
    }
    return "unknown";
}

}  // namespace pellorin
