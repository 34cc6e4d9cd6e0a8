#include "kernels/overlap/wide_int.hpp"

#include <bit>
#include <cfloat>
#include <cmath>
#include <utility>

#include "kernels/common/panic.hpp"

namespace pellorin::overlap {

namespace {

__extension__ typedef unsigned __int128 u128;

[[noreturn, gnu::cold, gnu::noinline]] void capacity_exceeded() {
    panic("exact edge arithmetic: an integer exceeded its capacity");
}

}  // namespace

WideInt WideInt::from_u64(std::uint64_t value) noexcept {
    WideInt out;
    if (value != 0) {
        out.limbs_[0] = value;
        out.size_ = 1;
    }
    return out;
}

WideInt WideInt::from_i64(std::int64_t value) noexcept {
    // The magnitude of INT64_MIN is 2^63, which fits the unsigned limb.
    const std::uint64_t magnitude =
        value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    WideInt out = from_u64(magnitude);
    out.negative_ = value < 0;
    return out;
}

int lowest_bit_exponent(double x) noexcept {
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(x), &exponent);  // x = fraction * 2^exponent, fraction in [0.5, 1)
    // fraction * 2^53 is an integer for every double, subnormals included.
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    return exponent - 53 + std::countr_zero(mantissa);
}

WideInt WideInt::from_scaled_double(double x, int shift) {
    WideInt out;
    if (x == 0.0) {
        return out;
    }
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(x), &exponent);
    std::uint64_t mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int zeros = std::countr_zero(mantissa);
    mantissa >>= zeros;
    const int bits = exponent - 53 + zeros + shift;  // |x| * 2^shift = mantissa * 2^bits
    if (bits < 0) {
        panic("from_scaled_double: the scaled value is not an integer");
    }
    const int limb = bits / 64;
    const int offset = bits % 64;
    if (limb + 2 > capacity) {
        capacity_exceeded();
    }
    for (int i = 0; i < limb; ++i) {
        out.limbs_[i] = 0;
    }
    out.limbs_[limb] = mantissa << offset;
    out.limbs_[limb + 1] = offset == 0 ? 0 : mantissa >> (64 - offset);
    out.size_ = limb + 2;
    out.trim();
    out.negative_ = x < 0.0;
    return out;
}

void WideInt::trim() noexcept {
    while (size_ > 0 && limbs_[size_ - 1] == 0) {
        --size_;
    }
    if (size_ == 0) {
        negative_ = false;
    }
}

int compare_magnitude(const WideInt& a, const WideInt& b) noexcept {
    if (a.size_ != b.size_) {
        return a.size_ < b.size_ ? -1 : 1;
    }
    for (int i = a.size_ - 1; i >= 0; --i) {
        if (a.limbs_[i] != b.limbs_[i]) {
            return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        }
    }
    return 0;
}

int compare(const WideInt& a, const WideInt& b) noexcept {
    const int sa = a.sign();
    const int sb = b.sign();
    if (sa != sb) {
        return sa < sb ? -1 : 1;
    }
    const int magnitude = compare_magnitude(a, b);
    return sa < 0 ? -magnitude : magnitude;
}

void WideInt::add_magnitude(const WideInt& other) {
    const int n = size_ > other.size_ ? size_ : other.size_;
    std::uint64_t carry = 0;
    for (int i = 0; i < n; ++i) {
        const u128 sum = static_cast<u128>(limb(i)) + other.limb(i) + carry;
        limbs_[i] = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
    }
    size_ = n;
    if (carry != 0) {
        if (n == capacity) {
            capacity_exceeded();
        }
        limbs_[n] = carry;
        size_ = n + 1;
    }
}

void WideInt::subtract_magnitude(const WideInt& other) noexcept {
    std::uint64_t borrow = 0;
    for (int i = 0; i < size_; ++i) {
        const std::uint64_t b = other.limb(i);
        const std::uint64_t d = limbs_[i] - b - borrow;
        borrow = (limbs_[i] < b || (limbs_[i] == b && borrow != 0)) ? 1 : 0;
        limbs_[i] = d;
    }
    trim();
}

WideInt& WideInt::operator+=(const WideInt& other) {
    if (other.size_ == 0) {
        return *this;
    }
    if (size_ == 0) {
        *this = other;
        return *this;
    }
    if (negative_ == other.negative_) {
        add_magnitude(other);
        return *this;
    }
    if (compare_magnitude(*this, other) >= 0) {
        subtract_magnitude(other);  // keeps this sign, or none at zero
        return *this;
    }
    WideInt larger = other;
    larger.subtract_magnitude(*this);
    *this = larger;
    return *this;
}

WideInt& WideInt::operator-=(const WideInt& other) { return *this += other.negated(); }

WideInt WideInt::negated() const noexcept {
    WideInt out = *this;
    if (out.size_ != 0) {
        out.negative_ = !out.negative_;
    }
    return out;
}

WideInt WideInt::times(std::uint64_t factor) const {
    WideInt out;
    if (factor == 0 || size_ == 0) {
        return out;
    }
    std::uint64_t carry = 0;
    for (int i = 0; i < size_; ++i) {
        const u128 product = static_cast<u128>(limbs_[i]) * factor + carry;
        out.limbs_[i] = static_cast<std::uint64_t>(product);
        carry = static_cast<std::uint64_t>(product >> 64);
    }
    out.size_ = size_;
    if (carry != 0) {
        if (size_ == capacity) {
            capacity_exceeded();
        }
        out.limbs_[size_] = carry;
        out.size_ = size_ + 1;
    }
    out.negative_ = negative_;
    return out;
}

WideInt WideInt::times_signed(std::int64_t factor) const {
    const std::uint64_t magnitude =
        factor < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(factor) : static_cast<std::uint64_t>(factor);
    WideInt out = times(magnitude);
    return factor < 0 ? out.negated() : out;
}

std::uint64_t WideInt::leading_bits(int& exponent) const noexcept {
    exponent = 0;
    if (size_ == 0) {
        return 0;
    }
    const std::uint64_t high = limbs_[size_ - 1];
    if (size_ == 1) {
        return high;
    }
    const int zeros = std::countl_zero(high);
    const std::uint64_t low = limbs_[size_ - 2];
    const std::uint64_t top = zeros == 0 ? high : (high << zeros) | (low >> (64 - zeros));
    exponent = 64 * (size_ - 1) - zeros;
    return top;
}

double approximate_ratio(const WideInt& a, const WideInt& b) noexcept {
    if (a.is_zero()) {
        return 0.0;
    }
    int ea = 0;
    int eb = 0;
    // Each leading part is within 2^-63 (relative) of its value, each
    // conversion and the division round once: 3 units in the last place.
    const double ta = static_cast<double>(a.leading_bits(ea));
    const double tb = static_cast<double>(b.leading_bits(eb));
    double ratio = std::ldexp(ta / tb, ea - eb);
    if (ratio == 0.0) {
        ratio = DBL_TRUE_MIN;
    }
    return a.sign() < 0 ? -ratio : ratio;
}

FloorDivision floor_divide(const WideInt& a, const WideInt& b, std::int64_t low, std::int64_t high) {
    FloorDivision out;
    if (a < b.times_signed(low)) {
        out.below = true;
        return out;
    }
    if (a >= b.times_signed(high) + b) {
        out.above = true;
        return out;
    }
    // Now low <= floor(a / b) <= high. Start from the rounded quotient and
    // correct by the rounded quotient of the remainder: the first estimate
    // is off by at most |q| * 2^-50 + 1 < 2^13, the second by at most 1.
    auto clamp = [&](double q) -> std::int64_t {
        if (!(q > static_cast<double>(low))) {
            return low;
        }
        if (!(q < static_cast<double>(high))) {
            return high;
        }
        return static_cast<std::int64_t>(q);
    };
    std::int64_t q = clamp(std::floor(approximate_ratio(a, b)));
    WideInt r = a - b.times_signed(q);
    for (int round = 0; round < 64; ++round) {
        if (r.sign() >= 0 && r < b) {
            out.quotient = q;
            out.remainder = r;
            return out;
        }
        std::int64_t step = static_cast<std::int64_t>(std::floor(approximate_ratio(r, b)));
        if (step == 0) {
            step = r.sign() < 0 ? -1 : 1;
        }
        q += step;
        r -= b.times_signed(step);
    }
    panic("floor_divide: the quotient did not converge");
}

}  // namespace pellorin::overlap
