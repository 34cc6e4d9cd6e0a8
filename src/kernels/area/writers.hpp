// The element types a result is written in, and the conversion of a
// computed double to each: floating types round to nearest; integer types
// round half to even, clip to the type's range, and turn NaN into 0.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace pellorin::area {

// The element types of an image read in place.
enum class Element : std::uint8_t { U8, U16, F32, F64 };

// The element types a result may be written in.
enum class Target : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64 };

std::size_t element_bytes(Element e) noexcept;
std::size_t target_bytes(Target t) noexcept;

// x rounded to an integer, ties to even, for |x| < 2^51: adding and
// removing 1.5 * 2^52 leaves only the integer part in a range where the
// unit in the last place is 1, rounded by the processor's default mode
// (nearest, ties to even), which nothing here changes.
[[gnu::always_inline]] inline double round_half_even(double x) {
    constexpr double shifter = 6755399441055744.0;  // 1.5 * 2^52
    return (x + shifter) - shifter;
}

template <class T>
[[gnu::always_inline]] inline T to_target(double x) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(x);
    } else {
        // lo is exact (0 or a negative power of two); hi is exact up to 32
        // bits and rounds up to 2^63 or 2^64 for the 64-bit types.
        constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
        constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
        double y = x == x ? x : 0.0;  // NaN -> 0
        y = y < lo ? lo : y;
        y = y > hi ? hi : y;
        if constexpr (sizeof(T) < 8) {
            // |y| <= 2^32: the shifter rounds exactly; the result is an
            // integer in [lo, hi], converted exactly.
            return static_cast<T>(round_half_even(y));
        } else {
            if (y >= hi) {
                return std::numeric_limits<T>::max();
            }
            // |y| < 2^51 rounds with the shifter; larger doubles are
            // integers or halves (2^51 <= |y| < 2^52), which nearbyint
            // rounds to even in the default mode. A result of 2^63 (2^64)
            // is the rounded-up maximum.
            const double r = std::fabs(y) < 2251799813685248.0 ? round_half_even(y) : std::nearbyint(y);
            if (r >= hi) {
                return std::numeric_limits<T>::max();
            }
            return static_cast<T>(r);
        }
    }
}

}  // namespace pellorin::area
