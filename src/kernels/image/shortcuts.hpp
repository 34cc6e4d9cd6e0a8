// The exact integer shortcuts of the separable resize: for integer images
// whose rows make every step of the passes exact, the result computed by
// integer sums (box_plan.hpp, box_reduce.hpp) or by copying pixels
// (replicate.hpp), with the same bits as the passes in a fraction of the
// work. They exist as AVX2 code only.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/weights/axis_weights.hpp"

namespace pellorin::image {

// When `isa` has the shortcuts and one applies to `image` (w*c values per
// row, E uint8 or uint16) and the rows `hw`, `ww` with their float32
// normalised weights, allocates `result` (out_n values), computes it and
// returns true; otherwise returns false and leaves `result` alone. The
// caller checked the weights against the image and `out_n` against 64 bits.
template <class E>
bool resize_by_shortcut(std::span<const E> image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                        const float* h_weights, const weights::AxisWeights& ww, const float* w_weights,
                        std::uint64_t out_n, Isa isa, OwnedBuffer<float>& result);

extern template bool resize_by_shortcut<std::uint8_t>(std::span<const std::uint8_t>, std::uint64_t, std::uint64_t,
                                                      const weights::AxisWeights&, const float*,
                                                      const weights::AxisWeights&, const float*, std::uint64_t, Isa,
                                                      OwnedBuffer<float>&);
extern template bool resize_by_shortcut<std::uint16_t>(std::span<const std::uint16_t>, std::uint64_t, std::uint64_t,
                                                       const weights::AxisWeights&, const float*,
                                                       const weights::AxisWeights&, const float*, std::uint64_t, Isa,
                                                       OwnedBuffer<float>&);

}  // namespace pellorin::image
