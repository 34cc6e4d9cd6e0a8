// Accumulation of quadrilaterals with values onto a uniform output grid by
// area overlap, in "sum" or "mean" mode.
//
// Pure: touches no interpreter object, so its caller runs it with the
// interpreter lock released. Data values never raise: NaN and infinities
// follow IEEE arithmetic. Results are reproducible to the last bit: quads
// contribute in input order, the cells of one quad in ascending ix (outer)
// then ascending iy (inner), and every element update keeps the operand
// order written in rebin.cpp.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"

namespace pellorin::rebin {

enum class RebinMode { Sum, Mean };

// One positive overlap of the quad being processed with cell (ix, iy).
struct CellOverlap {
    std::uint64_t ix;
    std::uint64_t iy;
    double area;  // always > 0
};

// `quads` holds N quads of 8 doubles each, the row-major layout of an
// (N, 4, 2) array: corner k of quad i has x at 8i + 2k and y at 8i + 2k + 1.
// `values` holds N values. Cell (ix, iy) is the closed rectangle
//   x_lo = origin_x + bin_x * ix, x_hi = bin_x + x_lo,
//   y_lo = origin_y + bin_y * iy, y_hi = bin_y + y_lo,
// and is element ix * my + iy of the returned mx * my buffer.
//
// Preconditions: mx >= 1 and my >= 1 (a grid with no cells is an internal
// failure, Panic), neither bin width <= 0. The entry asks for two centres
// per axis to infer the bin widths, so it passes mx, my >= 2. A values/quads
// count mismatch is an internal failure; an mx * my that overflows, or a
// buffer above 2^63 - 8 bytes, throws OutOfMemory. A refused allocation
// throws std::bad_alloc and nothing is leaked.
//
// `isa` selects the variant of the per-quad classification (bounding boxes,
// bin coordinates, rejection, indices, areas): the baseline one quad at a
// time, AVX2 four quads at a time. Both give the same bits; a set the
// processor lacks panics (isa.hpp).
OwnedBuffer<double> rebin_quads_kernel(std::span<const double> quads, std::span<const double> values, double origin_x,
                                       double origin_y, double bin_x, double bin_y, std::uint64_t mx, std::uint64_t my,
                                       RebinMode mode, bool skip_partial, Isa isa);

}  // namespace pellorin::rebin
