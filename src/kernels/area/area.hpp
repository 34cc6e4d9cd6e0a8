// Exact area means of an image (or of any array seen as rows of pixels of
// c channels) over output pixels whose edges are given exactly, per axis,
// by an EdgeGrid: the separable passes of passes.hpp, exact integer block
// sums where every output pixel covers whole input pixels of an integer
// image, and a weighted variant for images with missing values. The result
// is written straight into the caller's array in its element type.
//
// For output pixel (r, x) and channel ch the value approximates
//   m = sum v[i, j, ch] * a_r(i) * b_x(j) / (sum a_r(i) * sum b_x(j))
// over the input pixels with overlap a_r(i) * b_x(j) > 0 (overlap_plan.hpp
// decides that exactly), and is +0 (0 for integers) where there is none.
// Errors, per pass at most 2 * (block_terms + 3) units in the last place of
// a double times the largest |v| involved, well inside 1e-13 of it for both
// passes together; a constant stays exactly constant.
//
// Output rows are computed independently, each by one thread with the same
// code, so the bits do not depend on `threads` or on the instruction set.
#pragma once

#include <cstdint>

#include "kernels/area/writers.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/overlap/axis_plan.hpp"

namespace pellorin::area {

struct AreaJob {
    // Row-major (h, w, c) values of `element` type, h = rows.in_n and w =
    // cols.in_n.
    const void* image = nullptr;
    Element element = Element::F64;
    std::uint64_t c = 1;
    overlap::EdgeGrid rows;
    overlap::EdgeGrid cols;
    // Row-major (rows.out_n, cols.out_n, c) of `target` type, never
    // overlapping the image.
    void* out = nullptr;
    Target target = Target::F64;
    // Optional, row-major (h, w, c): a non-zero byte marks a missing value,
    // which contributes no area. out_mask (row-major like out, required with
    // a mask, optional without) receives 1 where no value that is not
    // missing overlaps, else 0; those results are 0.
    const std::uint8_t* mask = nullptr;
    std::uint8_t* out_mask = nullptr;
    // Each value times the area it covers (in input pixels, of values that
    // are not missing) instead of the mean: totals ("sum").
    bool times_cover = false;
    unsigned threads = 1;
    Isa isa = Isa::Baseline;
};

// Runs the job. Internal failures throw Panic, exhausted memory throws
// std::bad_alloc (OutOfMemory naming the buffer); the result is then
// unspecified.
void run_area(const AreaJob& job);

}  // namespace pellorin::area
