// Sums that stay accurate over a million terms: terms are added in blocks
// of `block_terms` in plain double arithmetic, and each block's sum is added
// into a (high, low) pair without losing any rounding error (Knuth's
// TwoSum), so the error of a sum of n terms is that of a block, not of n
// terms. Everything is plain double arithmetic in a fixed order.
#pragma once

#include <cstdint>

namespace pellorin::accumulate {

// Terms per block: a block's rounding error is at most (block_terms - 1)
// units in the last place of the sum of the magnitudes of its terms.
inline constexpr std::uint64_t block_terms = 32;

// s = fl(a + b) and e = (a + b) - s exactly, for any a and b whose sum does
// not overflow (Knuth's TwoSum, six operations, no ordering needed).
[[gnu::always_inline]] inline void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// A compensated accumulator: value() == high + low, with low holding the
// rounding errors of every add().
struct Compensated {
    double high = 0.0;
    double low = 0.0;

    [[gnu::always_inline]] void add(double x) {
        double e = 0.0;
        two_sum(high, x, high, e);
        low += e;
    }
    [[gnu::always_inline]] double value() const { return high + low; }
};

// Sum of term(i) for i in [0, n) in the fixed order of this file: plain
// ascending order when n <= block_terms, else blocks of block_terms terms
// summed plainly from +0.0 and folded, in order, into a Compensated.
template <class Term>
[[gnu::always_inline]] inline double blocked_sum(std::uint64_t n, Term&& term) {
    if (n <= block_terms) {
        double sum = 0.0;
        for (std::uint64_t i = 0; i < n; ++i) {
            sum += term(i);
        }
        return sum;
    }
    Compensated total;
    for (std::uint64_t b = 0; b < n; b += block_terms) {
        const std::uint64_t end = n - b < block_terms ? n : b + block_terms;
        double sum = 0.0;
        for (std::uint64_t i = b; i < end; ++i) {
            sum += term(i);
        }
        total.add(sum);
    }
    return total.value();
}

}  // namespace pellorin::accumulate
