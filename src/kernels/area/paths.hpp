// The three ways run_area computes a job, chosen from the job alone (never
// from the thread count or the instruction set): separable passes in
// doubles, exact integer block sums, and weighted passes for missing values.
#pragma once

#include <cstdint>

#include "kernels/area/area.hpp"
#include "kernels/overlap/axis_plan.hpp"

namespace pellorin::area {

// Rows per chunk of work: enough rows for about 64 K elements of work, and
// several chunks per thread when there are enough rows.
std::uint64_t row_grain(const AreaJob& job, std::uint64_t work_per_row);

void run_separable(const AreaJob& job);

// Integer images whose every output pixel covers whole input pixels:
// `rows` and `cols` are uniform.
void run_box(const AreaJob& job, const overlap::AxisShape& rows, const overlap::AxisShape& cols);
// Whether run_box can take the job: an integer element type and block sums
// that fit the 64-bit accumulators exactly.
bool box_applies(const AreaJob& job, const overlap::AxisShape& rows, const overlap::AxisShape& cols);

void run_masked(const AreaJob& job);

}  // namespace pellorin::area
