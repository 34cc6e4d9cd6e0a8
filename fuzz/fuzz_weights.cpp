// Axis weights and normalised rows: rows are runs of valid input indices,
// offsets never decrease, normalised rows sum to 1 where their sum is > 0.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.hpp"
#include "kernels/weights/axis_weights.hpp"
#include "kernels/weights/normalized_rows.hpp"

using namespace pellorin;

template <class W>
void check_rows(const weights::AxisWeights& aw) {
    auto rows = weights::normalized_rows<W>(aw.row_weights, aw.row_offsets);
    FUZZ_ASSERT(rows.size() == aw.row_weights.size());
    for (std::size_t j = 0; j + 1 < aw.row_offsets.size(); ++j) {
        W sum = 0;
        bool finite = true;
        for (auto p = aw.row_offsets[j]; p < aw.row_offsets[j + 1]; ++p) {
            sum += rows[p];
            finite = finite && std::isfinite(rows[p]);
        }
        if (finite && sum > 0) {
            const double tol = sizeof(W) == 4 ? 1e-5 : 1e-12;
            const double n = static_cast<double>(aw.row_offsets[j + 1] - aw.row_offsets[j]);
            FUZZ_ASSERT(std::fabs(static_cast<double>(sum) - 1.0) <= tol * (n + 1));
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    const std::uint64_t in_n = in.range(1, 300);
    const std::uint64_t out_n = in.range(0, 300);
    double in_bw = std::fabs(in.take<double>());
    if (!std::isfinite(in_bw) || in_bw == 0.0) in_bw = 1.0;
    const double in_origin = in.take<double>();
    double out_bw = std::fabs(in.take<double>());
    if (std::isnan(out_bw)) out_bw = 0.0;
    const double out_origin = in.take<double>();

    auto aw = weights::axis_weights(in_n, out_n, in_bw, in_origin, out_bw, out_origin);
    FUZZ_ASSERT(aw.first_input.size() == out_n);
    FUZZ_ASSERT(aw.row_offsets.size() == out_n + 1);
    FUZZ_ASSERT(aw.row_offsets[0] == 0);
    FUZZ_ASSERT(aw.row_offsets[out_n] == aw.row_weights.size());
    for (std::uint64_t j = 0; j < out_n; ++j) {
        const auto lo = aw.row_offsets[j], hi = aw.row_offsets[j + 1];
        FUZZ_ASSERT(lo <= hi);
        if (hi == lo) {
            FUZZ_ASSERT(aw.first_input[j] == 0);
        } else {
            FUZZ_ASSERT(aw.first_input[j] + (hi - lo) - 1 <= in_n - 1);
        }
        for (auto p = lo; p < hi; ++p) {
            FUZZ_ASSERT(!(aw.row_weights[p] < 0.0));
        }
    }
    check_rows<float>(aw);
    check_rows<double>(aw);
    return 0;
}
