// Separable area-weighted resize of a row-major (h, w, c) image: an H pass
// over rows, then a W pass over columns, in the work dtype of the image's
// element type. Pure: touches no interpreter object and may run with the
// interpreter lock released.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/weights/axis_weights.hpp"

namespace pellorin::image {

// The work dtype of an element type: the type of the weights, of every
// accumulator and working buffer, and of the result.
template <class E>
struct work_type;
template <>
struct work_type<std::uint8_t> {
    using type = float;
};
template <>
struct work_type<std::uint16_t> {
    using type = float;
};
template <>
struct work_type<float> {
    using type = float;
};
template <>
struct work_type<double> {
    using type = double;
};
template <class E>
using work_t = typename work_type<E>::type;

// Resizes `image` (h * w * c elements, pixel (r, x) channel ch at
// (r * w + x) * c + ch) to out_h * out_w * c values of work_t<E>, row-major,
// where out_h = h_weights.rows() and out_w = w_weights.rows(). `h_weights`
// must have been built for in_n = h and `w_weights` for in_n = w.
//
// Output (i, j, ch) is, in the work dtype with every product and every sum
// rounded on its own,
//   sum over W entries k of wW[k] * (sum over H entries k' of wH[k'] * conv(pixel)),
// with both sums starting from +0.0 and taking their terms in ascending entry
// order, the inner sums rounded before the W pass uses them; wH and wW are
// the rows renormalised in the work dtype (normalized_rows) and conv is the
// exact conversion of an element to the work dtype. Rows without entries give
// +0.0.
//
// The intermediate rows are computed and consumed a strip of rows at a time,
// and an output row whose H entries equal those of the row before (same
// first input row, count and weights) is copied from it; neither changes a
// bit. `isa` selects the compilation of the passes (isa.hpp); every set
// gives the same bits, and a set the processor lacks panics. With Isa::Avx2,
// integer images whose rows all have power-of-two counts of equal weights
// over consecutive columns, or one entry of weight 1, take exact integer
// shortcuts (shortcuts.hpp) that give the same bits. The result is written
// in full, not zero-filled first.
//
// Every size is computed with overflow checks and every index is checked
// against the buffer it reads; a violation is an internal failure (Panic),
// which inputs built as above never reach. Running out of memory throws
// std::bad_alloc. All buffers are owned by RAII, so nothing leaks on either.
template <class E>
OwnedBuffer<work_t<E>> separable_resize(std::span<const E> image, std::uint64_t w, std::uint64_t c,
                                        const weights::AxisWeights& h_weights, const weights::AxisWeights& w_weights,
                                        Isa isa);

extern template OwnedBuffer<float> separable_resize<std::uint8_t>(std::span<const std::uint8_t>, std::uint64_t,
                                                                  std::uint64_t, const weights::AxisWeights&,
                                                                  const weights::AxisWeights&, Isa);
extern template OwnedBuffer<float> separable_resize<std::uint16_t>(std::span<const std::uint16_t>, std::uint64_t,
                                                                   std::uint64_t, const weights::AxisWeights&,
                                                                   const weights::AxisWeights&, Isa);
extern template OwnedBuffer<float> separable_resize<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                           const weights::AxisWeights&, const weights::AxisWeights&,
                                                           Isa);
extern template OwnedBuffer<double> separable_resize<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                             const weights::AxisWeights&, const weights::AxisWeights&,
                                                             Isa);

}  // namespace pellorin::image
