#include "kernels/weights/axis_weights.hpp"

#include <cmath>
#include <cstddef>

#include "kernels/common/buffer.hpp"
#include "kernels/common/index.hpp"

namespace pellorin::weights {
namespace {

// The invariants every consumer relies on, checked once where the weights are
// made: out_n + 1 offsets from 0, never decreasing, ending at the number of
// weights; every non-empty row a run of valid input bins.
void check_invariants(const AxisWeights& aw, std::uint64_t in_n) {
    const std::uint64_t out_n = aw.rows();
    panic_unless(
        aw.row_offsets.size() == out_n + 1 && aw.row_offsets[0] == 0 && aw.row_offsets[out_n] == aw.row_weights.size(),
        "axis weights: row offsets do not span the weights");
    for (std::uint64_t j = 0; j < out_n; ++j) {
        const std::uint64_t lo = aw.row_offsets[j];
        const std::uint64_t hi = aw.row_offsets[j + 1];
        const std::uint64_t first = aw.first_input[j];
        panic_unless(lo <= hi, "axis weights: row offsets decrease");
        panic_unless(hi == lo || (first < in_n && hi - lo <= in_n - first), "axis weights: row leaves the input range");
    }
}

}  // namespace

AxisWeights axis_weights(std::uint64_t in_n, std::uint64_t out_n, double in_bw, double in_origin, double out_bw,
                         double out_origin) {
    AxisWeights aw;
    aw.in_n = in_n;
    std::uint64_t offsets_n = 0;
    if (__builtin_add_overflow(out_n, std::uint64_t{1}, &offsets_n)) {
        fail_allocation("axis weights: row offsets", out_n, sizeof(std::uint64_t), true);
    }
    checked_bytes<std::uint64_t>(offsets_n, "axis weights: row offsets");
    aw.first_input.assign(static_cast<std::size_t>(out_n), 0);
    aw.row_offsets.reserve(static_cast<std::size_t>(offsets_n));
    aw.row_offsets.push_back(0);

    const double in_n_f = static_cast<double>(in_n);
    const std::uint64_t last_bin = in_n - 1;  // callers guarantee in_n >= 1
    for (std::uint64_t j = 0; j < out_n; ++j) {
        // Every product and sum rounded on its own, in the stated order.
        const double lo = out_origin + out_bw * static_cast<double>(j);
        const double a = (lo - in_origin) / in_bw;
        if (a >= in_n_f) {
            aw.row_offsets.push_back(aw.row_weights.size());
            continue;
        }
        const double hi = out_bw + lo;
        const double b = (hi - in_origin) / in_bw;
        if (b <= 0.0) {
            aw.row_offsets.push_back(aw.row_weights.size());
            continue;
        }
        const std::uint64_t first = saturating_index(std::fmax(std::floor(a), 0.0));
        double f = std::floor(b);
        if (f == b) {
            f -= 1.0;  // the input bin that begins exactly at hi is excluded
        }
        std::uint64_t last = saturating_index(std::fmax(f, 0.0));
        if (last > last_bin) {
            last = last_bin;
        }
        if (first > last) {
            aw.row_offsets.push_back(aw.row_weights.size());
            continue;
        }

        const std::size_t row_start = aw.row_weights.size();
        double s = 0.0;
        for (std::uint64_t k = first;; ++k) {
            const double in_lo = in_origin + in_bw * static_cast<double>(k);
            const double in_hi = in_bw + in_lo;
            const double w = std::fmax(std::fmin(hi, in_hi) - std::fmax(lo, in_lo), 0.0);
            aw.row_weights.push_back(w);
            s += w;  // left to right in ascending k
            if (k == last) {
                break;
            }
        }
        aw.first_input[static_cast<std::size_t>(j)] = first;
        if (s > 0.0) {
            // Scaled by the reciprocal, not divided by s: the last bits of
            // the weights depend on it.
            const double r = 1.0 / s;
            for (std::size_t p = row_start; p < aw.row_weights.size(); ++p) {
                aw.row_weights[p] *= r;
            }
        }
        aw.row_offsets.push_back(aw.row_weights.size());
    }
    check_invariants(aw, in_n);
    return aw;
}

void fill_dense(const AxisWeights& aw, std::uint64_t in_n, double* out) {
    // Row i starts at out + i * in_n; its entries land on columns
    // first_input[i] ... first_input[i] + length - 1, all below in_n.
    const std::uint64_t out_n = aw.rows();
    for (std::uint64_t i = 0; i < out_n; ++i) {
        const std::uint64_t lo = aw.row_offsets[i];
        const std::uint64_t hi = aw.row_offsets[i + 1];
        double* row = out + i * in_n + aw.first_input[i];
        for (std::uint64_t m = 0; m < hi - lo; ++m) {
            row[m] = aw.row_weights[lo + m];
        }
    }
}

}  // namespace pellorin::weights
