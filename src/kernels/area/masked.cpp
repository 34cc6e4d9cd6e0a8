// Images with missing values: a missing value contributes no area, so each
// output value is the mean over the values present, weighted by their
// overlap. Still separable, with weights that vary per value:
//   pass along the rows, per input column element j:
//     D_j = sum over present i of a_i, t_j = ref + (sum over present i of
//     (v_ij - ref) * a_i) / D_j, ref the first present value (no present
//     value: D_j = 0);
//   pass along the columns, per output element:
//     E = sum over taps of D_j * b_j, s = ref + (sum of (t_j - ref) * D_j *
//     b_j) / E over the taps with D_j > 0, ref the first of them; E = 0
//     marks the output as covered by nothing present.
// In real arithmetic this is sum v a b / sum a b over the present values.
// Sums run in the order of the input index, in blocks of block_terms folded
// into compensated pairs when there are more terms than one block, as in
// the separable passes; a constant stays exactly constant. One compilation
// (baseline) serves every instruction set.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/accumulate/compensated.hpp"
#include "kernels/area/kernels.hpp"
#include "kernels/area/paths.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/parallel/partition.hpp"

namespace pellorin::area {

namespace {

using accumulate::block_terms;

double tap_weight(const PlanEntry& e, std::uint64_t k) {
    if (k == 0) {
        return e.w_first;
    }
    return k + 1 == e.count ? e.w_last : e.w_mid;
}

// A weighted mean that came out infinite or NaN, recomputed: NaN if a
// present value is NaN or both infinities are present, else the infinity
// present; finite values (whose differences overflowed) are scaled down by
// a power of two, averaged the same way and scaled back.
template <class Value, class Weight>
[[gnu::cold, gnu::noinline]] double careful_weighted(std::uint64_t n, Value&& value, Weight&& weight) {
    bool nan = false;
    bool plus = false;
    bool minus = false;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (weight(k) > 0.0) {
            const double v = value(k);
            nan = nan || std::isnan(v);
            plus = plus || v == std::numeric_limits<double>::infinity();
            minus = minus || v == -std::numeric_limits<double>::infinity();
        }
    }
    if (nan || (plus && minus)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (plus || minus) {
        return plus ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    int scale = 2;
    for (std::uint64_t m = n; m != 0; m >>= 1) {
        ++scale;
    }
    const double down = std::ldexp(1.0, -scale);
    bool has = false;
    double ref = 0.0;
    double num = 0.0;
    double den = 0.0;
    for (std::uint64_t k = 0; k < n; ++k) {
        const double w = weight(k);
        if (!(w > 0.0)) {
            continue;
        }
        const double v = value(k) * down;
        if (!has) {
            has = true;
            ref = v;
        } else {
            num += (v - ref) * w;
        }
        den += w;
    }
    return std::ldexp(ref + num / den, scale);
}

// Running sums of one output element: plain sums of the current block and
// compensated totals of the finished ones.
struct Running {
    double num = 0.0;
    double den = 0.0;
    accumulate::Compensated num_total;
    accumulate::Compensated den_total;

    void fold() {
        num_total.add(num);
        den_total.add(den);
        num = 0.0;
        den = 0.0;
    }
};

struct Scratch {
    OwnedBuffer<double> t;
    OwnedBuffer<double> d;
    OwnedBuffer<double> ref;
    OwnedBuffer<std::uint8_t> has;
    std::vector<Running> running;
    OwnedBuffer<double> s;

    void ensure(std::uint64_t row_elements, std::uint64_t out_elements) {
        if (!t.empty()) {
            return;
        }
        t = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        d = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        ref = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        has = OwnedBuffer<std::uint8_t>::uninitialized(row_elements, "resize row buffer");
        running.resize(row_elements);
        s = OwnedBuffer<double>::uninitialized(out_elements, "resize row buffer");
    }
};

template <class E>
void vertical_masked(const E* image, const std::uint8_t* mask, std::uint64_t stride, const PlanEntry& e,
                     std::uint64_t lo, std::uint64_t hi, Scratch& w) {
    const bool blocked = e.count > block_terms;
    for (std::uint64_t j = lo; j < hi; ++j) {
        w.has[j] = 0;
        w.running[j] = Running{};
    }
    for (std::uint64_t i = 0; i < e.count; ++i) {
        const double a = tap_weight(e, i);
        const E* row = image + (e.first + i) * stride;
        const std::uint8_t* missing = mask + (e.first + i) * stride;
        for (std::uint64_t j = lo; j < hi; ++j) {
            if (missing[j] != 0) {
                continue;
            }
            const double v = static_cast<double>(row[j]);
            Running& run = w.running[j];
            if (w.has[j] == 0) {
                w.has[j] = 1;
                w.ref[j] = v;
            } else {
                run.num += (v - w.ref[j]) * a;
            }
            run.den += a;
        }
        if (blocked && ((i + 1) % block_terms == 0 || i + 1 == e.count)) {
            for (std::uint64_t j = lo; j < hi; ++j) {
                w.running[j].fold();
            }
        }
    }
    for (std::uint64_t j = lo; j < hi; ++j) {
        if (w.has[j] == 0) {
            w.t[j] = 0.0;
            w.d[j] = 0.0;
            continue;
        }
        const Running& run = w.running[j];
        const double num = blocked ? run.num_total.value() : run.num;
        const double den = blocked ? run.den_total.value() : run.den;
        double t = w.ref[j] + num / den;
        if (!std::isfinite(t)) {
            t = careful_weighted(
                e.count, [&](std::uint64_t i) { return static_cast<double>(image[(e.first + i) * stride + j]); },
                [&](std::uint64_t i) { return mask[(e.first + i) * stride + j] != 0 ? 0.0 : tap_weight(e, i); });
        }
        w.t[j] = t;
        w.d[j] = den;
    }
}

// One output element along the columns: its value into `value`, the summed
// weight E (0: nothing present) returned.
double horizontal_masked(const Scratch& w, std::uint64_t c, const PlanEntry& e, std::uint64_t ch, double& value) {
    const bool blocked = e.count > block_terms;
    Running run;
    bool has = false;
    double ref = 0.0;
    for (std::uint64_t k = 0; k < e.count; ++k) {
        const std::uint64_t j = (e.first + k) * c + ch;
        if (w.d[j] > 0.0) {
            const double weight = w.d[j] * tap_weight(e, k);
            if (!has) {
                has = true;
                ref = w.t[j];
            } else {
                run.num += (w.t[j] - ref) * weight;
            }
            run.den += weight;
        }
        if (blocked && ((k + 1) % block_terms == 0 || k + 1 == e.count)) {
            run.fold();
        }
    }
    if (!has) {
        value = 0.0;
        return 0.0;
    }
    const double num = blocked ? run.num_total.value() : run.num;
    const double den = blocked ? run.den_total.value() : run.den;
    value = ref + num / den;
    if (!std::isfinite(value)) {
        value = careful_weighted(
            e.count, [&](std::uint64_t k) { return w.t[(e.first + k) * c + ch]; },
            [&](std::uint64_t k) {
                const double dk = w.d[(e.first + k) * c + ch];
                return dk > 0.0 ? dk * tap_weight(e, k) : 0.0;
            });
    }
    return den;
}

template <class E>
void run_masked_typed(const AreaJob& job) {
    const std::uint64_t out_w = job.cols.out_n;
    const std::uint64_t c = job.c;
    const std::uint64_t stride = job.cols.in_n * c;
    const std::uint64_t out_elements = out_w * c;
    const std::uint64_t row_bytes = out_elements * target_bytes(job.target);

    OwnedBuffer<PlanEntry> cols = OwnedBuffer<PlanEntry>::uninitialized(out_w, "resize column plan");
    overlap::fill_plan(job.cols, 0, out_w, cols.data());
    const overlap::AxisShape col_shape = overlap::axis_shape(job.cols);
    std::uint64_t j_lo = 0;
    std::uint64_t j_hi = 0;
    if (col_shape.covered_begin < col_shape.covered_end) {
        j_lo = cols[col_shape.covered_begin].first * c;
        const PlanEntry& b = cols[col_shape.covered_end - 1];
        j_hi = (b.first + b.count) * c;
    }
    std::vector<Scratch> scratch(job.threads == 0 ? 1 : job.threads);
    const E* image = static_cast<const E*>(job.image);
    auto* out = static_cast<char*>(job.out);
    const std::uint64_t grain = row_grain(job, (j_hi - j_lo) + out_elements);

    parallel::for_each_chunk(job.rows.out_n, grain, job.threads, [&](std::uint64_t r0, std::uint64_t r1, unsigned who) {
        Scratch& mine = scratch[who];
        mine.ensure(stride > c ? stride : c, out_elements);
        OwnedBuffer<PlanEntry> rows = OwnedBuffer<PlanEntry>::uninitialized(r1 - r0, "resize row plan");
        overlap::fill_plan(job.rows, r0, r1, rows.data());
        for (std::uint64_t r = r0; r < r1; ++r) {
            const PlanEntry& e = rows[r - r0];
            std::uint8_t* out_mask = job.out_mask + r * out_elements;
            if (e.count == 0) {
                std::memset(out + r * row_bytes, 0, row_bytes);
                std::memset(out_mask, 1, out_elements);
                continue;
            }
            vertical_masked<E>(image, job.mask, stride, e, j_lo, j_hi, mine);
            double* s = mine.s.data();
            for (std::uint64_t x = 0; x < out_w; ++x) {
                const PlanEntry& ce = cols[x];
                for (std::uint64_t ch = 0; ch < c; ++ch) {
                    double value = 0.0;
                    const double weight = ce.count == 0 ? 0.0 : horizontal_masked(mine, c, ce, ch, value);
                    if (job.times_cover && weight > 0.0) {
                        // The present area in input pixels: the weights are
                        // overlaps divided by each axis's cover.
                        value *= weight * (e.cover * ce.cover);
                    }
                    s[x * c + ch] = value;
                    out_mask[x * c + ch] = weight > 0.0 ? 0 : 1;
                }
            }
            write(job.isa, job.target, s, out + r * row_bytes, out_elements);
        }
    });
}

}  // namespace

void run_masked(const AreaJob& job) {
    switch (job.element) {
        case Element::U8: run_masked_typed<std::uint8_t>(job); return;
        case Element::U16: run_masked_typed<std::uint16_t>(job); return;
        case Element::F32: run_masked_typed<float>(job); return;
        case Element::F64: run_masked_typed<double>(job); return;
    }
    panic("run_masked: unknown element type");
}

}  // namespace pellorin::area
