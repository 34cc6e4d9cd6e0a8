// Which input pixels each output pixel of one axis overlaps, and by how
// much: decided exactly from the doubles that define the edges, the lengths
// rounded only once they are known to be positive.
//
// Input pixel i covers [i, i + 1) for 0 <= i < in_n. Output pixel k covers
// [e_k, e_{k+1}) with e_k = (alpha + k * beta) / gamma in real arithmetic.
// It overlaps input pixel i when the length of [e_k, e_{k+1}) ∩ [i, i + 1)
// is > 0, so an output pixel that only touches the input, or lies beyond it
// by any positive amount, overlaps nothing.
#pragma once

#include <cstdint>

#include "kernels/overlap/wide_int.hpp"

namespace pellorin::overlap {

// Facts about a whole axis, found from the grid without building entries.
struct AxisShape {
    // Outputs covered_begin <= k < covered_end overlap the input; all others
    // overlap nothing (the covered outputs are consecutive, edges increase).
    std::uint64_t covered_begin = 0;
    std::uint64_t covered_end = 0;
    // Every output pixel k covers exactly the whole input pixels offset +
    // k * factor ... offset + (k + 1) * factor - 1, all inside the input.
    bool uniform = false;
    std::uint64_t factor = 0;
    std::uint64_t offset = 0;
};
struct EdgeGrid {
    WideInt alpha;
    WideInt beta;   // > 0
    WideInt gamma;  // > 0
    std::uint64_t in_n = 0;
    std::uint64_t out_n = 0;
    // Found when the grid is made (window_grid, bin_grid):
    AxisShape shape;
    // alpha, beta and gamma below 2^62 in magnitude, and an output pixel
    // narrower than 2^61 input pixels: the edges are walked in 64- and
    // 128-bit integers, giving the same entries as the wide walk.
    bool small = false;
    std::int64_t small_alpha = 0;
    std::uint64_t small_beta = 0;
    std::uint64_t small_gamma = 0;
};

// The largest pixel counts an axis may have: indices and their sums stay
// within signed 64 bits.
inline constexpr std::uint64_t max_axis_pixels = std::uint64_t{1} << 61;

// A window of `extent` input pixels from `origin`, cut into out_n output
// pixels: e_k = origin + k * extent / out_n. origin finite, extent finite and
// > 0, 1 <= in_n, out_n <= max_axis_pixels.
EdgeGrid window_grid(double origin, double extent, std::uint64_t in_n, std::uint64_t out_n);

// Input bins [in_origin + i * in_bw, in_origin + (i + 1) * in_bw) and output
// bins [out_origin + j * out_bw, ...), measured in input bins: e_j =
// (out_origin + j * out_bw - in_origin) / in_bw. Origins finite, widths
// finite and > 0, counts as for window_grid.
EdgeGrid bin_grid(double in_origin, double in_bw, double out_origin, double out_bw, std::uint64_t in_n,
                  std::uint64_t out_n);

// What one output pixel takes from the input along one axis.
struct PlanEntry {
    std::uint64_t first = 0;  // first input pixel overlapped
    std::uint64_t count = 0;  // input pixels overlapped (consecutive); 0: none
    // Overlap lengths divided by `cover`, each within 6 units in the last
    // place and never below 2^-1022 (so that an infinite value times its
    // weight stays infinite): the first pixel, each whole pixel between the
    // first and the last, the last pixel. With count 1 all three are 1.
    double w_first = 0.0;
    double w_mid = 0.0;
    double w_last = 0.0;
    // The total overlap in input pixels, within 4 units in the last place
    // (never below the smallest positive double when count > 0).
    double cover = 0.0;
};

// Entries of the outputs k_begin <= k < k_end into out[0 .. k_end - k_begin).
void fill_plan(const EdgeGrid& grid, std::uint64_t k_begin, std::uint64_t k_end, PlanEntry* out);

// The grid's AxisShape (computed when the grid was made).
inline const AxisShape& axis_shape(const EdgeGrid& grid) { return grid.shape; }

}  // namespace pellorin::overlap
