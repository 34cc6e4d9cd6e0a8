// The instruction sets that kernels have vector variants for: the one seam
// of SIMD dispatch. The best set the processor supports is found once per
// process; callers pass an `Isa` down to every kernel call that has
// variants, and nothing else chooses one (no process-wide setting). Every
// variant of a kernel gives the same bits as its baseline, so the choice
// changes speed only; tests and fuzzers run every supported set and compare
// each with the baseline byte for byte.
//
// A set the processor lacks is refused, never clamped: a kernel given one
// panics (`require_isa`) before any code compiled for it runs, so a wrong
// request is an internal failure, never an illegal instruction, and a test
// cannot believe it ran a variant that it did not.
#pragma once

#include <cstdint>
#include <span>

// Whether this build compiles AVX2 variants at all: on x86 only. Code
// compiled with gnu::target("avx2") sits behind this and runs only for
// Isa::Avx2 after `require_isa` accepted it.
#if defined(__x86_64__) || defined(__i386__)
#define PELLORIN_AVX2_VARIANTS 1
#else
#define PELLORIN_AVX2_VARIANTS 0
#endif

namespace pellorin {

enum class Isa : std::uint8_t {
    Baseline,  // what the compiler targets by default (SSE2 on x86-64)
    Avx2,      // x86 with AVX2
};

// Every enumerator, supported or not, the baseline first.
inline constexpr Isa all_isas[] = {Isa::Baseline, Isa::Avx2};

// The best set this processor supports, found on the first call and kept
// for the process.
Isa best_isa() noexcept;

// Every set this processor supports, the baseline first, the best last.
std::span<const Isa> supported_isas() noexcept;

// Whether `isa` is among `supported_isas()`.
bool isa_supported(Isa isa) noexcept;

// Panics, naming `kernel` and the set, unless `isa` is supported.
void require_isa(Isa isa, const char* kernel);

// "baseline", "avx2": for messages and test output.
const char* isa_name(Isa isa) noexcept;

}  // namespace pellorin
