// Replication: integer images whose every H row and every W row has one
// entry of normalised weight exactly 1 (whole-factor upscales, identity).
// Each step of the specified order is then exact: 1 * v = v, and
// +0.0 + v = v as v >= +0.0. So result (i, j, ch) = conv(pixel (first H
// input of i, first W input of j, ch)), copied rather than summed.
#pragma once

#include <cstdint>

#include "kernels/weights/axis_weights.hpp"

namespace pellorin::image::box {

// True when the rows (with their float32 normalised weights) have the form
// above and every index into an image row of wc values fits in 32 bits.
bool replicates(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
                const float* w_weights, std::uint64_t wc);

// result (i, j, ch) = conv(image (hw.first_input[i], ww.first_input[j], ch)),
// for rows that `replicates` accepted; `image` holds whole rows of w*c
// elements of E (uint8 or uint16). Only for Isa::Avx2, once accepted
// (isa.hpp); a build without AVX2 variants panics.
template <class E>
void replicate_avx2(const E* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                    const weights::AxisWeights& ww, float* result);

extern template void replicate_avx2<std::uint8_t>(const std::uint8_t*, std::uint64_t, std::uint64_t,
                                                  const weights::AxisWeights&, const weights::AxisWeights&, float*);
extern template void replicate_avx2<std::uint16_t>(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                                   const weights::AxisWeights&, const weights::AxisWeights&, float*);

}  // namespace pellorin::image::box
