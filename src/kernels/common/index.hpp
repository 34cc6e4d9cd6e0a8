// Conversion of a coordinate in bin units to an unsigned 64-bit index.
#pragma once

#include <cstdint>

namespace pellorin {

// floor(f), then the NaN-ignoring maximum with 0.0, then conversion to
// unsigned 64 bits saturating at 2^64 - 1. For f >= 0 truncation equals the
// floor, and NaN and every f < 1 give 0, so two comparisons give the same
// integer without a call to floor.
inline std::uint64_t saturating_index(double f) noexcept {
    constexpr double two64 = 18446744073709551616.0;
    if (!(f >= 1.0)) {
        return 0;
    }
    if (f >= two64) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(f);
}

// min(saturating_index(f), last) without branches, where `last` is an
// integer below 2^53 given as a double (so exactly). f >= 1 keeps f and
// sends NaN and everything below 1 to 0; the minimum with `last` sends +inf
// and everything at or above it to last; what remains lies in [0, last] and
// truncates to the same integer as the saturating conversion.
inline double clamped_index_value(double f, double last) noexcept {
    const double g = f >= 1.0 ? f : 0.0;
    return g < last ? g : last;
}

// The integer of a value from `clamped_index_value` (in [0, 2^53)).
inline std::uint64_t index_from_value(double h) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(h));
}

// Largest `last` that `clamped_index_value` accepts, plus one: 2^53.
inline constexpr std::uint64_t exact_index_limit = std::uint64_t{1} << 53;

}  // namespace pellorin
