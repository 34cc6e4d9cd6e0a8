#include "kernels/area/area.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernels/area/kernels.hpp"
#include "kernels/area/paths.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/parallel/partition.hpp"

namespace pellorin::area {

namespace {

// Input elements per column tile: the pass along the rows for four rows,
// their lanes and the tile's outputs stay in the second-level cache.
constexpr std::uint64_t tile_elements = 2048;

struct Tile {
    std::uint64_t x_lo, x_hi;  // outputs
    std::uint64_t j_lo, j_hi;  // input elements they read
};

// Consecutive outputs whose input elements span at most tile_elements (or
// one output, however wide); uncovered outputs join the tile they fall in.
std::vector<Tile> column_tiles(const PlanEntry* cols, std::uint64_t out_w, std::uint64_t c) {
    std::vector<Tile> tiles;
    std::uint64_t x = 0;
    while (x < out_w) {
        Tile t{x, x, 0, 0};
        bool any = false;
        for (; x < out_w; ++x) {
            const PlanEntry& e = cols[x];
            if (e.count == 0) {
                continue;
            }
            const std::uint64_t lo = any ? std::min(t.j_lo, e.first * c) : e.first * c;
            const std::uint64_t hi = any ? std::max(t.j_hi, (e.first + e.count) * c) : (e.first + e.count) * c;
            if (any && hi - lo > tile_elements) {
                break;
            }
            t.j_lo = lo;
            t.j_hi = hi;
            any = true;
        }
        t.x_hi = x;
        tiles.push_back(t);
    }
    return tiles;
}

// Per-thread buffers, allocated by the thread that uses them on its first
// chunk: the pass along the rows (four rows on lanes), its accumulators,
// the lanes, and the pass along the columns (four rows on lanes). Rows
// have one spare element for the vectors of three-channel pixels.
struct SeparableScratch {
    OwnedBuffer<double> t;
    OwnedBuffer<double> acc;
    OwnedBuffer<double> high;
    OwnedBuffer<double> low;
    OwnedBuffer<std::int32_t> sums;
    OwnedBuffer<double> lanes;
    OwnedBuffer<double> values;
    OwnedBuffer<double> s;
    OwnedBuffer<unsigned char> converted;
    OwnedBuffer<double> values_row;

    void ensure(std::uint64_t row_elements, std::uint64_t lane_elements, std::uint64_t out_elements) {
        if (!acc.empty()) {
            return;
        }
        const char* what = "resize row buffer";
        t = OwnedBuffer<double>::uninitialized(4 * (row_elements + 1), what);
        acc = OwnedBuffer<double>::uninitialized(row_elements, what);
        high = OwnedBuffer<double>::uninitialized(row_elements, what);
        low = OwnedBuffer<double>::uninitialized(row_elements, what);
        sums = OwnedBuffer<std::int32_t>::uninitialized(row_elements, what);
        lanes = OwnedBuffer<double>::uninitialized(4 * lane_elements, what);
        values = OwnedBuffer<double>::uninitialized(4 * out_elements, what);
        s = OwnedBuffer<double>::uninitialized(4 * (out_elements + 1), what);
    }
    PassScratch pass() { return PassScratch{acc.data(), high.data(), low.data(), sums.data()}; }
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

// Channel counts below this run four rows on lanes; from it, one row at a
// time, its pass along the columns on the channels.
constexpr std::uint64_t row_mode_channels = 3;

struct Separable {
    const AreaJob& job;
    std::uint64_t out_w, c, stride, out_elements, row_bytes;
    OwnedBuffer<PlanEntry> cols;
    std::vector<Tile> tiles;
    std::uint64_t widest_tile = 0;     // input elements
    std::uint64_t widest_outputs = 0;  // output elements
    std::uint64_t input_end = 0;       // one past the last input element read
    bool single_cols = false;          // every output column overlaps at most one input column
    bool same_type = false;            // the result's type is the image's

    // A row that overlaps one input row, with every output column inside
    // one input column: a copy of values (converted once per input value).
    void run_gather(const PlanEntry& e, std::uint64_t r, SeparableScratch& w) const {
        const auto* image = static_cast<const char*>(job.image);
        const std::size_t out_bytes = target_bytes(job.target);
        char* row = static_cast<char*>(job.out) + r * row_bytes;
        const char* src = image + e.first * stride * element_bytes(job.element);
        if (!same_type) {
            if (w.converted.empty()) {
                w.converted = OwnedBuffer<unsigned char>::uninitialized(input_end * out_bytes, "resize row buffer");
                w.values_row = OwnedBuffer<double>::uninitialized(input_end, "resize row buffer");
            }
            const PassScratch pass = w.pass();
            vertical(job.isa, job.element, job.image, stride, e, 0, input_end, w.values_row.data(), pass);
            write(job.isa, job.target, w.values_row.data(), w.converted.data(), input_end);
            src = reinterpret_cast<const char*>(w.converted.data());
        }
        gather_pixels(src, cols.data(), 0, out_w, c * out_bytes, row);
    }

    bool floating() const { return job.element == Element::F32 || job.element == Element::F64; }

    void scale_by_cover(double* s, const PlanEntry& row, std::uint64_t x_lo, std::uint64_t x_hi) const {
        for (std::uint64_t x = x_lo; x < x_hi; ++x) {
            const double area = row.cover * cols[x].cover;
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                s[(x - x_lo) * c + ch] *= area;
            }
        }
    }

    // Up to four distinct rows side by side, on lanes.
    void run_block(const PlanEntry* const rows[4], const std::uint64_t index[4], unsigned used,
                   SeparableScratch& w) const {
        const PassScratch pass = w.pass();
        const bool direct = std::all_of(rows, rows + used, [](const PlanEntry* e) { return e->count == 1; });
        const std::size_t in_bytes = element_bytes(job.element);
        const auto* image = static_cast<const char*>(job.image);
        auto* out = static_cast<char*>(job.out);
        const std::size_t out_bytes = target_bytes(job.target);
        for (const Tile& tile : tiles) {
            if (tile.j_hi > tile.j_lo) {
                if (direct) {
                    const void* src[4];
                    for (unsigned b = 0; b < 4; ++b) {
                        src[b] = image + rows[b < used ? b : 0]->first * stride * in_bytes;
                    }
                    interleave(job.isa, job.element, src, tile.j_lo, tile.j_hi, w.lanes.data());
                } else {
                    const double* src[4] = {};
                    for (unsigned b = 0; b < used; ++b) {
                        // The row's pass into its own slice, from the tile's first element.
                        double* t = w.t.data() + b * widest_tile;
                        vertical(job.isa, job.element, job.image, stride, *rows[b], tile.j_lo, tile.j_hi, t, pass);
                        src[b] = t;
                    }
                    for (unsigned b = used; b < 4; ++b) {
                        src[b] = src[0];
                    }
                    interleave(job.isa, src, 0, tile.j_hi - tile.j_lo, w.lanes.data());
                }
            }
            const std::uint64_t count = (tile.x_hi - tile.x_lo) * c;
            horizontal_lanes(job.isa, w.lanes.data(), tile.j_lo, c, cols.data(), tile.x_lo, tile.x_hi, w.values.data(),
                             floating());
            double* s[4];
            // Doubles go straight to their rows: writing them is a copy.
            const bool in_place = job.target == Target::F64 && !job.times_cover;
            for (unsigned b = 0; b < 4; ++b) {
                s[b] = in_place && b < used
                           ? reinterpret_cast<double*>(out + index[b] * row_bytes + tile.x_lo * c * out_bytes)
                           : w.s.data() + b * widest_outputs;
            }
            deinterleave(job.isa, w.values.data(), count, s, used);
            if (in_place) {
                continue;
            }
            for (unsigned b = 0; b < used; ++b) {
                if (job.times_cover) {
                    scale_by_cover(s[b], *rows[b], tile.x_lo, tile.x_hi);
                }
                write(job.isa, job.target, s[b], out + index[b] * row_bytes + tile.x_lo * c * out_bytes, count);
            }
        }
    }

    // One row, its pass along the columns on the channels.
    void run_row(const PlanEntry& e, std::uint64_t r, SeparableScratch& w) const {
        const PassScratch pass = w.pass();
        double* s = w.s.data();
        const auto* image = static_cast<const char*>(job.image);
        if (e.count == 1 && c > 4) {
            horizontal(job.isa, job.element, image + e.first * stride * element_bytes(job.element), c, cols.data(), 0,
                       out_w, s, pass);
        } else {
            // From element 0, so that t is indexed as the input row; its
            // spare element is set for the vectors of three-channel pixels.
            double* t = w.t.data();
            vertical(job.isa, job.element, job.image, stride, e, 0, input_end, t, pass);
            t[input_end] = 0.0;
            if (c == 3 || c == 4) {
                horizontal_channels(job.isa, t, c, cols.data(), 0, out_w, s, floating());
            } else {
                horizontal(job.isa, t, c, cols.data(), 0, out_w, s, pass);
            }
        }
        if (job.times_cover) {
            scale_by_cover(s, e, 0, out_w);
        }
        write(job.isa, job.target, s, static_cast<char*>(job.out) + r * row_bytes, out_elements);
    }

    void run_rows(std::uint64_t r0, std::uint64_t r1, SeparableScratch& w) const {
        const bool on_lanes = c < row_mode_channels;
        if (on_lanes) {
            w.ensure(widest_tile, widest_tile, widest_outputs);
        } else {
            w.ensure(stride, 0, out_elements);
        }
        OwnedBuffer<PlanEntry> rows = OwnedBuffer<PlanEntry>::uninitialized(r1 - r0, "resize row plan");
        overlap::fill_plan(job.rows, r0, r1, rows.data());
        auto* out = static_cast<char*>(job.out);
        const PlanEntry* block[4];
        std::uint64_t index[4];
        unsigned used = 0;
        for (std::uint64_t r = r0; r < r1; ++r) {
            const PlanEntry& e = rows[r - r0];
            if (e.count == 0) {
                std::memset(out + r * row_bytes, 0, row_bytes);  // zero bits: 0 and +0.0 in every target type
                continue;
            }
            if (r > r0 && same_entry(e, rows[r - r0 - 1])) {
                continue;  // copied below, once the row before it is written
            }
            if (e.count == 1 && single_cols && !job.times_cover) {
                run_gather(e, r, w);
                continue;
            }
            if (!on_lanes) {
                run_row(e, r, w);
                continue;
            }
            block[used] = &e;
            index[used] = r;
            if (++used == 4) {
                run_block(block, index, used, w);
                used = 0;
            }
        }
        if (used > 0) {
            run_block(block, index, used, w);
        }
        // The same input rows with the same weights: the same bits.
        for (std::uint64_t r = r0 + 1; r < r1; ++r) {
            const PlanEntry& e = rows[r - r0];
            if (e.count != 0 && same_entry(e, rows[r - r0 - 1])) {
                std::memcpy(out + r * row_bytes, out + (r - 1) * row_bytes, row_bytes);
            }
        }
    }
};

}  // namespace

std::uint64_t row_grain(const AreaJob& job, std::uint64_t work_per_row) {
    const std::uint64_t minimum = work_per_row == 0 ? 64 : (std::uint64_t{1} << 16) / work_per_row + 1;
    return parallel::balanced_grain(job.rows.out_n, job.threads, minimum);
}

void run_separable(const AreaJob& job) {
    Separable plan{job, job.cols.out_n, job.c, checked_product(job.cols.in_n, job.c), 0, 0, {}, {}};
    plan.out_elements = checked_product(plan.out_w, plan.c);
    plan.row_bytes = checked_product(plan.out_elements, target_bytes(job.target));
    plan.cols = OwnedBuffer<PlanEntry>::uninitialized(plan.out_w, "resize column plan");
    overlap::fill_plan(job.cols, 0, plan.out_w, plan.cols.data());
    plan.tiles = column_tiles(plan.cols.data(), plan.out_w, plan.c);
    std::uint64_t input_span = 0;
    for (const Tile& t : plan.tiles) {
        plan.widest_tile = std::max(plan.widest_tile, t.j_hi - t.j_lo);
        plan.widest_outputs = std::max(plan.widest_outputs, (t.x_hi - t.x_lo) * plan.c);
        input_span += t.j_hi - t.j_lo;
    }
    plan.widest_tile = std::max<std::uint64_t>(plan.widest_tile, plan.c);
    for (const Tile& t : plan.tiles) {
        plan.input_end = std::max(plan.input_end, t.j_hi);
    }
    plan.single_cols =
        std::all_of(plan.cols.data(), plan.cols.data() + plan.out_w, [](const PlanEntry& e) { return e.count <= 1; });
    const Element e = job.element;
    const Target t = job.target;
    plan.same_type = (e == Element::U8 && t == Target::U8) || (e == Element::U16 && t == Target::U16) ||
                     (e == Element::F32 && t == Target::F32) || (e == Element::F64 && t == Target::F64);

    std::vector<SeparableScratch> scratch(job.threads == 0 ? 1 : job.threads);
    const std::uint64_t grain = row_grain(job, input_span + plan.out_elements);
    parallel::for_each_chunk(job.rows.out_n, grain, job.threads, [&](std::uint64_t r0, std::uint64_t r1, unsigned who) {
        plan.run_rows(r0, r1, scratch[who]);
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
