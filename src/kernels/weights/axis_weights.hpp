// Overlap weights between two uniform binnings of one axis, in compact row form.
#pragma once

#include <cstdint>
#include <vector>

namespace pellorin::weights {

// Row j covers positions row_offsets[j] .. row_offsets[j + 1] - 1 of
// `row_weights`; entry m of row j is the weight of input bin
// first_input[j] + m.
// Invariants: row_offsets[0] == 0 and never decreases; every row is a run of
// consecutive, valid input bins (first_input[j] + length - 1 <= in_n - 1);
// an empty row has first_input[j] == 0.
struct AxisWeights {
    std::uint64_t in_n = 0;                  // the input bins the rows index
    std::vector<std::uint64_t> first_input;  // out_n entries
    std::vector<std::uint64_t> row_offsets;  // out_n + 1 entries
    std::vector<double> row_weights;         // row_offsets.back() entries

    std::uint64_t rows() const noexcept { return first_input.size(); }
};

// Input bin k covers [in_origin + in_bw*k, that + in_bw); output bin j covers
// [out_origin + out_bw*j, that + out_bw). Each row holds the overlap lengths of
// the input bins that overlap output bin j (touching bins excluded), scaled by
// the reciprocal of their sum when that sum is > 0.
// Pure; never reports an error for any argument values. Throws OutOfMemory
// when a buffer would exceed 2^63 - 8 bytes and std::bad_alloc when memory
// runs out.
// The invariants above are checked once here, before the weights are
// returned (a broken one is a Panic); consumers rely on them unchecked.
AxisWeights axis_weights(std::uint64_t in_n, std::uint64_t out_n, double in_bw, double in_origin, double out_bw,
                         double out_origin);

// Scatters the rows into a zero-filled row-major (rows(), in_n) matrix at
// `out`; `in_n` is the count the weights were made for. Columns outside each
// row's run are not written.
void fill_dense(const AxisWeights& aw, std::uint64_t in_n, double* out);

}  // namespace pellorin::weights
