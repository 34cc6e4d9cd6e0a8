// The vector reducers of a box reduction (box_plan.hpp), AVX2 code: integer
// sums of the nh x nw pixels of every output value, converted and scaled
// exactly.
#pragma once

#include <cstdint>

#include "kernels/image/box_plan.hpp"
#include "kernels/weights/axis_weights.hpp"

namespace pellorin::image::box {

// result (i, j, ch) = float(S) * plan.scale, S the integer sum of the
// nh x nw pixels of output (i, j) in channel ch: the plan's periods of each
// output row by its reducer, the values after them by one scalar tail.
// `image` holds whole rows of wc = w*c elements of E (uint8 or uint16);
// `plan` was built by plan_box for these rows, c and E; `result` has room
// for hw.rows() rows of ww.rows() * c values. Only for Isa::Avx2, once
// accepted (isa.hpp); a build without AVX2 variants panics, as does a plan
// that no reducer computes.
template <class E>
void reduce_box_avx2(const E* image, std::uint64_t wc, std::uint64_t c, const weights::AxisWeights& hw,
                     std::uint64_t out_w, const BoxPlan& plan, float* result);

extern template void reduce_box_avx2<std::uint8_t>(const std::uint8_t*, std::uint64_t, std::uint64_t,
                                                   const weights::AxisWeights&, std::uint64_t, const BoxPlan&, float*);
extern template void reduce_box_avx2<std::uint16_t>(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                                    const weights::AxisWeights&, std::uint64_t, const BoxPlan&, float*);

}  // namespace pellorin::image::box
