// Overlap weight rows renormalised in the working precision of an image
// resize (float for float32 work, double for float64 work).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "kernels/common/buffer.hpp"

namespace pellorin::weights {

// Copies `row_weights` (L values) into one new buffer of W, position for
// position, and renormalises every row j (positions row_offsets[j] up to
// row_offsets[j + 1]) by its own sum in W.
//
// Floating-point order, on which the last bits depend:
// - each weight is converted to W on its own (double -> float rounds to
//   nearest, ties to even; double -> double is a copy);
// - the row's sum is formed in W strictly left to right, one rounded
//   addition at a time, starting from +0.0 (no pairwise or reassociated sum);
// - when that sum is > 0 every value of the row is divided by it (a true
//   division, not a multiplication by its reciprocal); a row whose sum is
//   not > 0 (zero or NaN) keeps its converted values.
//
// The offsets are those of an AxisWeights, whose invariants were checked
// where it was made (at least one offset, never decreasing, the last one L).
// One allocation, sized up front; positions that no row covers stay +0.0.
template <class W>
OwnedBuffer<W> normalized_rows(std::span<const double> row_weights, std::span<const std::uint64_t> row_offsets) {
    static_assert(std::is_floating_point_v<W>, "rows are renormalised in a floating-point type");
    const std::uint64_t length = row_weights.size();
    OwnedBuffer<W> out = OwnedBuffer<W>::zeroed(length, "normalized rows");
    W* const dst = out.data();
    const double* const src = row_weights.data();
    const std::size_t rows = row_offsets.size() - 1;
    for (std::size_t j = 0; j < rows; ++j) {
        const std::uint64_t lo = row_offsets[j];
        const std::uint64_t hi = row_offsets[j + 1];
        W sum = W(0);
        for (std::uint64_t p = lo; p < hi; ++p) {
            const W v = static_cast<W>(src[p]);
            dst[p] = v;
            sum = sum + v;  // left to right, in W
        }
        if (sum > W(0)) {
            // Elements are independent: this loop may be vectorised.
            for (std::uint64_t p = lo; p < hi; ++p) {
                dst[p] = dst[p] / sum;
            }
        }
    }
    return out;
}

}  // namespace pellorin::weights
