#include "kernels/area/area.hpp"

#include <cstring>
#include <vector>

#include "kernels/area/kernels.hpp"
#include "kernels/area/paths.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/parallel/partition.hpp"

namespace pellorin::area {

namespace {

// Per-thread rows: the pass along the rows (t), the accumulators of both
// passes, the pass along the columns (s). Allocated by the thread that uses
// them, on its first chunk.
struct SeparableScratch {
    OwnedBuffer<double> t;
    OwnedBuffer<double> acc;
    OwnedBuffer<double> high;
    OwnedBuffer<double> low;
    OwnedBuffer<double> s;

    void ensure(std::uint64_t row_elements, std::uint64_t out_elements) {
        if (!t.empty()) {
            return;
        }
        t = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        acc = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        high = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        low = OwnedBuffer<double>::uninitialized(row_elements, "resize row buffer");
        s = OwnedBuffer<double>::uninitialized(out_elements, "resize row buffer");
    }
};

bool same_entry(const PlanEntry& a, const PlanEntry& b) {
    return a.first == b.first && a.count == b.count && a.w_first == b.w_first && a.w_mid == b.w_mid &&
           a.w_last == b.w_last && a.cover == b.cover;
}

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out = 0;
    if (!checked_mul(a, b, out)) {
        panic("run_area: a size overflows 64 bits");
    }
    return out;
}

}  // namespace

std::uint64_t row_grain(const AreaJob& job, std::uint64_t work_per_row) {
    const std::uint64_t minimum = work_per_row == 0 ? 64 : (std::uint64_t{1} << 16) / work_per_row + 1;
    return parallel::balanced_grain(job.rows.out_n, job.threads, minimum);
}

void run_separable(const AreaJob& job) {
    const std::uint64_t out_w = job.cols.out_n;
    const std::uint64_t c = job.c;
    const std::uint64_t w = job.cols.in_n;
    const std::uint64_t stride = checked_product(w, c);
    const std::uint64_t out_elements = checked_product(out_w, c);
    const std::uint64_t row_bytes = checked_product(out_elements, target_bytes(job.target));
    const std::size_t in_bytes = element_bytes(job.element);

    OwnedBuffer<PlanEntry> cols = OwnedBuffer<PlanEntry>::uninitialized(out_w, "resize column plan");
    overlap::fill_plan(job.cols, 0, out_w, cols.data());
    // The input columns any output column reads.
    const overlap::AxisShape col_shape = overlap::axis_shape(job.cols);
    std::uint64_t j_lo = 0;
    std::uint64_t j_hi = 0;
    if (col_shape.covered_begin < col_shape.covered_end) {
        const PlanEntry& a = cols[col_shape.covered_begin];
        const PlanEntry& b = cols[col_shape.covered_end - 1];
        j_lo = a.first * c;
        j_hi = (b.first + b.count) * c;
    }

    std::vector<SeparableScratch> scratch(job.threads == 0 ? 1 : job.threads);
    const auto* image = static_cast<const char*>(job.image);
    auto* out = static_cast<char*>(job.out);
    const std::uint64_t grain = row_grain(job, (j_hi - j_lo) + out_elements);

    parallel::for_each_chunk(job.rows.out_n, grain, job.threads, [&](std::uint64_t r0, std::uint64_t r1, unsigned who) {
        SeparableScratch& mine = scratch[who];
        mine.ensure(stride > c ? stride : c, out_elements);
        const PassScratch pass{mine.acc.data(), mine.high.data(), mine.low.data()};
        OwnedBuffer<PlanEntry> rows = OwnedBuffer<PlanEntry>::uninitialized(r1 - r0, "resize row plan");
        overlap::fill_plan(job.rows, r0, r1, rows.data());
        for (std::uint64_t r = r0; r < r1; ++r) {
            const PlanEntry& e = rows[r - r0];
            char* out_row = out + r * row_bytes;
            if (e.count == 0) {
                std::memset(out_row, 0, row_bytes);  // zero bits: 0 and +0.0 in every target type
                continue;
            }
            if (r > r0 && same_entry(e, rows[r - r0 - 1])) {
                // The same input rows with the same weights: the same bits.
                std::memcpy(out_row, out_row - row_bytes, row_bytes);
                continue;
            }
            double* s = mine.s.data();
            if (e.count == 1) {
                const char* src = image + e.first * stride * in_bytes;
                horizontal(job.isa, job.element, src, c, cols.data(), 0, out_w, s, pass);
            } else {
                vertical(job.isa, job.element, job.image, stride, e, j_lo, j_hi, mine.t.data(), pass);
                horizontal(job.isa, mine.t.data(), c, cols.data(), 0, out_w, s, pass);
            }
            if (job.times_cover) {
                for (std::uint64_t x = 0; x < out_w; ++x) {
                    const double area = e.cover * cols[x].cover;
                    for (std::uint64_t ch = 0; ch < c; ++ch) {
                        s[x * c + ch] *= area;
                    }
                }
            }
            write(job.isa, job.target, s, out_row, out_elements);
        }
    });
}

namespace {

// Without a mask, nothing covers exactly the outputs outside the covered
// rows or columns.
void write_coverage(const AreaJob& job, const overlap::AxisShape& rows, const overlap::AxisShape& cols) {
    const std::uint64_t out_w = job.cols.out_n;
    const std::uint64_t row = out_w * job.c;
    for (std::uint64_t r = 0; r < job.rows.out_n; ++r) {
        std::uint8_t* m = job.out_mask + r * row;
        if (r < rows.covered_begin || r >= rows.covered_end) {
            std::memset(m, 1, row);
            continue;
        }
        std::memset(m, 1, cols.covered_begin * job.c);
        std::memset(m + cols.covered_begin * job.c, 0, (cols.covered_end - cols.covered_begin) * job.c);
        std::memset(m + cols.covered_end * job.c, 1, (out_w - cols.covered_end) * job.c);
    }
}

}  // namespace

void run_area(const AreaJob& job) {
    if (job.rows.out_n == 0 || job.cols.out_n == 0 || job.c == 0) {
        return;
    }
    if (job.mask != nullptr) {
        if (job.out_mask == nullptr) {
            panic("run_area: a mask needs out_mask");
        }
        run_masked(job);
        return;
    }
    const overlap::AxisShape rows = overlap::axis_shape(job.rows);
    const overlap::AxisShape cols = overlap::axis_shape(job.cols);
    if (job.out_mask != nullptr) {
        write_coverage(job, rows, cols);
    }
    if (box_applies(job, rows, cols)) {
        run_box(job, rows, cols);
        return;
    }
    run_separable(job);
}

}  // namespace pellorin::area
