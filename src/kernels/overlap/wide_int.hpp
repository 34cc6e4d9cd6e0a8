// Exact signed integers wide enough for any window or bin edge that doubles
// can describe, scaled to integers: the edges of an axis are rationals
// (alpha + k * beta) / gamma whose parts are doubles, 64-bit counts and their
// products, multiplied by a power of two of at most 2^1074. Everything that
// decides which input pixels an output pixel overlaps is computed with them,
// so that decision is exact.
#pragma once

#include <array>
#include <cstdint>

namespace pellorin::overlap {

// Sign and magnitude, the magnitude in 64-bit limbs, least significant
// first; only the limbs below size() are meaningful (copies move only
// those), and zero has size 0 and no sign.
// 36 limbs (2304 bits) hold a double scaled by 2^1074 (2^2098) times two
// 64-bit factors with room to spare; a result past that is an internal
// failure (Panic), which the edges of an axis never reach.
class WideInt {
public:
    static constexpr int capacity = 36;

    WideInt() noexcept = default;  // zero; the limbs are left unset
    WideInt(const WideInt& other) noexcept { copy_from(other); }
    WideInt& operator=(const WideInt& other) noexcept {
        copy_from(other);
        return *this;
    }
    static WideInt from_u64(std::uint64_t value) noexcept;
    static WideInt from_i64(std::int64_t value) noexcept;
    // x * 2^shift, exactly, for a finite x whose product with 2^shift is an
    // integer (shift >= -lowest_bit_exponent(x)).
    static WideInt from_scaled_double(double x, int shift);

    int sign() const noexcept { return size_ == 0 ? 0 : (negative_ ? -1 : 1); }
    bool is_zero() const noexcept { return size_ == 0; }
    int size() const noexcept { return size_; }

    WideInt& operator+=(const WideInt& other);
    WideInt& operator-=(const WideInt& other);
    friend WideInt operator+(WideInt a, const WideInt& b) { return a += b; }
    friend WideInt operator-(WideInt a, const WideInt& b) { return a -= b; }
    WideInt negated() const noexcept;
    // this * factor, exactly.
    WideInt times(std::uint64_t factor) const;
    WideInt times_signed(std::int64_t factor) const;

    // -1, 0 or 1 as a < b, a == b, a > b.
    friend int compare(const WideInt& a, const WideInt& b) noexcept;
    friend bool operator<(const WideInt& a, const WideInt& b) noexcept { return compare(a, b) < 0; }
    friend bool operator>=(const WideInt& a, const WideInt& b) noexcept { return compare(a, b) >= 0; }
    friend bool operator==(const WideInt& a, const WideInt& b) noexcept { return compare(a, b) == 0; }

    // The leading 64 bits of the magnitude, `top`, and `exponent` such that
    // top * 2^exponent <= |this| < (top + 1) * 2^exponent; top has its high
    // bit set unless the magnitude is below 2^63, when it is exact and the
    // exponent is 0. Zero gives top 0.
    std::uint64_t leading_bits(int& exponent) const noexcept;

private:
    void copy_from(const WideInt& other) noexcept {
        size_ = other.size_;
        negative_ = other.negative_;
        for (int i = 0; i < size_; ++i) {
            limbs_[i] = other.limbs_[i];
        }
    }
    std::uint64_t limb(int i) const noexcept { return i < size_ ? limbs_[i] : 0; }
    void add_magnitude(const WideInt& other);
    // |this| -= |other|, where |other| <= |this|.
    void subtract_magnitude(const WideInt& other) noexcept;
    void trim() noexcept;
    friend int compare_magnitude(const WideInt& a, const WideInt& b) noexcept;

    std::array<std::uint64_t, capacity> limbs_;
    int size_ = 0;
    bool negative_ = false;
};

// The exponent of the lowest set bit of a finite non-zero double x: x is an
// odd integer times 2^lowest_bit_exponent(x).
int lowest_bit_exponent(double x) noexcept;

// a / b for b > 0, rounded to a double within 3 units in the last place
// (relative), with the sign of a; 0 only for a == 0. Results beyond the
// double range are +-inf, below it +-0 is never returned: the smallest
// magnitude returned for a != 0 is the smallest positive double.
double approximate_ratio(const WideInt& a, const WideInt& b) noexcept;

// floor(a / b) for b > 0 when it lies in [low, high] (|low|, |high| < 2^62),
// with the remainder a - quotient * b in [0, b). Otherwise `below` (the
// quotient is < low) or `above` (> high) is set and the other fields are
// unspecified.
struct FloorDivision {
    std::int64_t quotient = 0;
    WideInt remainder;
    bool below = false;
    bool above = false;
};
FloorDivision floor_divide(const WideInt& a, const WideInt& b, std::int64_t low, std::int64_t high);

}  // namespace pellorin::overlap
