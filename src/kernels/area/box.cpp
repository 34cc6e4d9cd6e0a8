// Integer images whose every output pixel covers exactly kh x kw whole input
// pixels: the block sums are exact integers, and the mean is their one
// correctly rounded division by kh * kw. An integer result then rounds that
// double half to even, which is the exact rounding of the mean: a mean that
// is a tie is a representable half, and any other lies at least 1 / (2 d)
// from a tie, far more than the division's rounding (the sums are below
// 2^53).
#include <cstring>
#include <vector>

#include "kernels/area/kernels.hpp"
#include "kernels/area/paths.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/parallel/partition.hpp"

namespace pellorin::area {

namespace {

struct BoxGeometry {
    std::uint64_t kh, kw, oy, ox, c, stride, out_w;
    double divisor;
};

// Block means of output row r into s (out_w * c doubles); `sums` holds the
// column sums of the kh input rows, out_w * kw * c accumulators.
template <class E, class A>
[[gnu::always_inline]] inline void box_row(const E* __restrict image, const BoxGeometry& g, std::uint64_t r,
                                           A* __restrict sums, double* __restrict s) {
    // Restrict is safe: sums and s are this thread's scratch, the image is
    // only read.
    const std::uint64_t n = g.out_w * g.kw * g.c;
    const E* __restrict first = image + (g.oy + r * g.kh) * g.stride + g.ox * g.c;
    for (std::uint64_t j = 0; j < n; ++j) {
        sums[j] = static_cast<A>(first[j]);
    }
    for (std::uint64_t i = 1; i < g.kh; ++i) {
        const E* __restrict row = first + i * g.stride;
        for (std::uint64_t j = 0; j < n; ++j) {
            sums[j] += static_cast<A>(row[j]);
        }
    }
    const std::uint64_t span = g.kw * g.c;
    for (std::uint64_t x = 0; x < g.out_w; ++x) {
        const A* __restrict block = sums + x * span;
        for (std::uint64_t ch = 0; ch < g.c; ++ch) {
            A total = block[ch];
            for (std::uint64_t t = 1; t < g.kw; ++t) {
                total += block[t * g.c + ch];
            }
            s[x * g.c + ch] = static_cast<double>(total) / g.divisor;
        }
    }
}

template <class E, class A>
[[gnu::flatten]] void box_row_baseline(const E* image, const BoxGeometry& g, std::uint64_t r, A* sums, double* s) {
    box_row<E, A>(image, g, r, sums, s);
}

#if defined(__x86_64__)
template <class E, class A>
[[gnu::target("avx2"), gnu::flatten]] void box_row_avx2(const E* image, const BoxGeometry& g, std::uint64_t r, A* sums,
                                                        double* s) {
    box_row<E, A>(image, g, r, sums, s);
}
#endif

template <class E, class A>
void run_typed(const AreaJob& job, const BoxGeometry& g) {
    const std::uint64_t out_elements = g.out_w * g.c;
    const std::uint64_t row_bytes = out_elements * target_bytes(job.target);
    struct Scratch {
        OwnedBuffer<A> sums;
        OwnedBuffer<double> s;
    };
    std::vector<Scratch> scratch(job.threads == 0 ? 1 : job.threads);
    const E* image = static_cast<const E*>(job.image);
    auto* out = static_cast<char*>(job.out);
    const std::uint64_t grain = row_grain(job, g.kh * g.out_w * g.kw * g.c);
    parallel::for_each_chunk(job.rows.out_n, grain, job.threads, [&](std::uint64_t r0, std::uint64_t r1, unsigned who) {
        Scratch& mine = scratch[who];
        if (mine.sums.empty()) {
            mine.sums = OwnedBuffer<A>::uninitialized(g.out_w * g.kw * g.c, "resize block sums");
            mine.s = OwnedBuffer<double>::uninitialized(out_elements, "resize row buffer");
        }
        for (std::uint64_t r = r0; r < r1; ++r) {
#if defined(__x86_64__)
            if (job.isa == Isa::Avx2) {
                box_row_avx2<E, A>(image, g, r, mine.sums.data(), mine.s.data());
            } else {
                box_row_baseline<E, A>(image, g, r, mine.sums.data(), mine.s.data());
            }
#else
            box_row_baseline<E, A>(image, g, r, mine.sums.data(), mine.s.data());
#endif
            write(job.isa, job.target, mine.s.data(), out + r * row_bytes, out_elements);
        }
    });
}

std::uint64_t largest_value(Element e) { return e == Element::U8 ? 255 : 65535; }

}  // namespace

bool box_applies(const AreaJob& job, const overlap::AxisShape& rows, const overlap::AxisShape& cols) {
    if (job.times_cover || !(job.element == Element::U8 || job.element == Element::U16) || !rows.uniform ||
        !cols.uniform) {
        return false;
    }
    // Sums below 2^53: exact in the accumulator and in a double.
    std::uint64_t d = 0;
    std::uint64_t top = 0;
    return checked_mul(rows.factor, cols.factor, d) && checked_mul(d, largest_value(job.element), top) &&
           top < (std::uint64_t{1} << 53);
}

void run_box(const AreaJob& job, const overlap::AxisShape& rows, const overlap::AxisShape& cols) {
    BoxGeometry g{};
    g.kh = rows.factor;
    g.kw = cols.factor;
    g.oy = rows.offset;
    g.ox = cols.offset;
    g.c = job.c;
    g.stride = job.cols.in_n * job.c;
    g.out_w = job.cols.out_n;
    g.divisor = static_cast<double>(g.kh * g.kw);
    const bool narrow = g.kh * g.kw * largest_value(job.element) < (std::uint64_t{1} << 32);
    if (job.element == Element::U8) {
        if (narrow) {
            run_typed<std::uint8_t, std::uint32_t>(job, g);
        } else {
            run_typed<std::uint8_t, std::uint64_t>(job, g);
        }
    } else if (job.element == Element::U16) {
        if (narrow) {
            run_typed<std::uint16_t, std::uint32_t>(job, g);
        } else {
            run_typed<std::uint16_t, std::uint64_t>(job, g);
        }
    } else {
        panic("run_box: not an integer image");
    }
}

}  // namespace pellorin::area
