// The instruction sets that kernels have vector variants for: the one seam
// of SIMD dispatch. The best set the processor supports is found once per
// process; callers pass an `Isa` down to every kernel call. Every variant of
// a kernel gives the same bits as its baseline, so the choice changes speed
// only; tests and fuzzers run every supported set and compare each with
// the baseline byte for byte.
#pragma once

#include <cstdint>
#include <span>

namespace pellorin {

enum class Isa : std::uint8_t {
    Baseline,  // what the compiler targets by default (SSE2 on x86-64)
    Avx2,      // x86-64 with AVX2
};

// The best set this processor supports, found on the first call and kept
// for the process.
Isa best_isa() noexcept;

// Every set this processor supports, the baseline first, the best last.
std::span<const Isa> supported_isas() noexcept;

// "baseline", "avx2": for test and benchmark output.
const char* isa_name(Isa isa) noexcept;

}  // namespace pellorin
