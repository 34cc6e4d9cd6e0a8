// Whole-factor box reductions of integer images by powers of two, computed as
// exact integer sums: the same bits as the two passes, proved below, in a
// fraction of the work.
//
// When every H row has nh entries of normalised weight exactly 1/nh and every
// W row has nw entries of weight exactly 1/nw over consecutive columns
// x0 + nw*j .. x0 + nw*j + nw - 1, with nh and nw powers of two and
// nh * nw * (largest element) < 2^24, every step of the specified order is
// exact in float32:
// - an H product (1/nh) * v is v scaled by a power of two; an H partial sum
//   is an integer of at most nh * max < 2^24 units of 1/nh; so the
//   intermediate value is S_h / nh exactly, S_h the integer sum of the column;
// - a W product (1/nw) * (S_h / nh) is S_h in units of 1/(nh*nw); a W partial
//   sum is an integer of at most nh * nw * max < 2^24 such units;
// - the sums start from +0.0 and every term is >= +0.0, so the start changes
//   nothing.
// The result is therefore exactly S / (nh * nw), S the integer sum of the
// nh x nw pixels: float(S) (exact, S < 2^24) times 1/(nh*nw) (exact).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/weights/axis_weights.hpp"

namespace pellorin::image::box {

// A reduction the integer path computes: nh image rows per output row from
// first_input of the H rows, and nw columns per output column from column x0.
struct BoxShape {
    std::uint64_t nh = 0;
    std::uint64_t nw = 0;
    std::uint64_t x0 = 0;
    float scale = 0.0f;  // 1 / (nh * nw), a power of two
};

// True, filling `shape`, when the rows (with their float32 normalised
// weights) have the form above for elements whose largest value is `max`.
bool box_shape(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
               const float* w_weights, std::uint64_t max, BoxShape& shape);

// True when this build and processor have the integer path for elements of
// `element_bytes` bytes, c channels and the shape; `run_box` may then be
// called.
bool box_supported(const BoxShape& shape, std::uint64_t c, std::size_t element_bytes);

// result (i, j, ch) = float(S) * scale, S the sum of the nh x nw pixels of
// output (i, j) in channel ch. `image` holds whole rows of w*c elements.
template <class E>
void run_box(const E* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw, std::uint64_t out_w,
             const BoxShape& shape, float* result);

// Replication: every H row and every W row has one entry of normalised weight
// exactly 1 (whole-factor upscales, identity). Each step of the specified
// order is then exact for integer elements: 1 * v = v, and +0.0 + v = v as
// v >= +0.0. So result (i, j, ch) = conv(pixel (first H input of i, first W
// input of j, ch)).
bool replicate_shape(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
                     const float* w_weights);

// True when this build and processor have the replication path.
bool replicate_supported();

// result (i, j, ch) = conv(image (hw.first_input[i], ww.first_input[j], ch)).
void run_replicate(const std::uint8_t* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                   const weights::AxisWeights& ww, float* result);
void run_replicate(const std::uint16_t* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                   const weights::AxisWeights& ww, float* result);

}  // namespace pellorin::image::box
