// The row kernels of the area passes, compiled once per instruction set
// (kernels/common/isa.hpp); every set gives the same bits. Pure: no
// interpreter object is touched, so they run with the lock released.
#pragma once

#include <cstdint>

#include "kernels/area/writers.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/overlap/axis_plan.hpp"

namespace pellorin::area {

using overlap::PlanEntry;

// Scratch rows of one thread: acc, high and low of at least the row's
// element count (and the channel count).
struct PassScratch {
    double* acc;
    double* high;
    double* low;
    std::int32_t* sums;
};

// t[j - lo], lo <= j < hi, of the pass along the rows for entry `e` over an image
// of `element` type whose row r starts at image + r * stride elements
// (passes.hpp gives the formula); values that are not finite are repaired.
void vertical(Isa isa, Element element, const void* image, std::uint64_t stride, const PlanEntry& e, std::uint64_t lo,
              std::uint64_t hi, double* t, const PassScratch& scratch);

// s[x * c + ch] for x_lo <= x < x_hi of the pass along the columns of one
// row `src` of pixels of c channels, in `element` type or in doubles.
void horizontal(Isa isa, Element element, const void* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                std::uint64_t x_hi, double* s, const PassScratch& scratch);
void horizontal(Isa isa, const double* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                std::uint64_t x_hi, double* s, const PassScratch& scratch);

// out[i] = s[i] converted to `target` (writers.hpp), 0 <= i < n.
void write(Isa isa, Target target, const double* s, void* out, std::uint64_t n);

// out pixel x (of `bytes` bytes) = in pixel cols[x].first for the outputs
// x_lo <= x < x_hi, all of which overlap exactly one input pixel, or none
// (zero bytes).
void gather_pixels(const void* in, const PlanEntry* cols, std::uint64_t x_lo, std::uint64_t x_hi, std::size_t bytes,
                   void* out);

// Four rows side by side (lanes.hpp). interleave: rows of `element` type
// (or doubles) into lanes for elements lo <= j < hi.
void interleave(Isa isa, Element element, const void* const rows[4], std::uint64_t lo, std::uint64_t hi, double* lanes);
void interleave(Isa isa, const double* const rows[4], std::uint64_t lo, std::uint64_t hi, double* lanes);
// The pass along the columns on lanes holding elements from `base`, for
// outputs x_lo <= x < x_hi, into out ((x - x_lo) * c + ch, four lanes each);
// values that are not finite are repaired when `repair` is set.
void horizontal_lanes(Isa isa, const double* lanes, std::uint64_t base, std::uint64_t c, const PlanEntry* cols,
                      std::uint64_t x_lo, std::uint64_t x_hi, double* out, bool repair);
// Lane b of values[0 .. n) into the double row rows[b], b < used.
void deinterleave(Isa isa, const double* values, std::uint64_t n, double* const rows[4], unsigned used);

// The pass along the columns for c = 3 or 4 channels, one vector per pixel:
// src and s one element longer than they are used; values that are not
// finite are repaired when `repair` is set (src may hold them).
void horizontal_channels(Isa isa, const double* src, std::uint64_t c, const PlanEntry* cols, std::uint64_t x_lo,
                         std::uint64_t x_hi, double* s, bool repair);

}  // namespace pellorin::area
