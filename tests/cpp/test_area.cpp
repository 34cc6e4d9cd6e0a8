// The area passes give the same bytes for every instruction set the
// processor supports and for any thread count, on a table of jobs that
// reaches every path (separable, whole-factor integer sums, missing values,
// totals) and every channel count with code of its own; constants stay
// exactly constant; the thread partition visits every item once and hands
// back the first failure. Links only against the kernel library.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "kernels/area/area.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/parallel/partition.hpp"

#include "tally.hpp"

using pellorin::Isa;
using pellorin::area::AreaJob;
using pellorin::area::Element;
using pellorin::area::Target;

namespace {

struct Case {
    std::uint64_t h, w, c, out_h, out_w;
    double top, left, height, width;
    Element element;
    Target target;
    bool masked;
    bool total;
};

const Case cases[] = {
    {37, 53, 3, 17, 29, 0, 0, 37, 53, Element::U8, Target::U8, false, false},
    {37, 53, 1, 17, 29, -2.5, 3.25, 40, 45.5, Element::F32, Target::F32, false, false},
    {36, 52, 4, 12, 26, 0, 0, 36, 52, Element::U8, Target::F32, false, false},   // whole factors 3 x 2
    {40, 44, 2, 10, 11, 0, 0, 40, 44, Element::U16, Target::U16, false, false},  // whole factors 4 x 4
    {9, 11, 5, 40, 47, 0, 0, 9, 11, Element::F64, Target::F64, false, false},    // enlargement, c = 5
    {9, 11, 3, 40, 47, 0.5, 0.25, 8, 10, Element::U16, Target::I16, false, false},
    {300, 7, 2, 2, 3, 0, 0, 300, 7, Element::F64, Target::F64, false, false},  // long columns (blocks)
    {3, 400, 1, 1, 2, 0, 0, 3, 400, Element::F32, Target::F64, false, false},  // long rows (blocks)
    {31, 29, 3, 13, 11, -1, 2, 33, 20, Element::F64, Target::I32, true, false},
    {31, 29, 1, 13, 11, 0, 0, 31, 29, Element::U8, Target::F64, true, true},
    {23, 61, 6, 23, 20, 0, 0, 23, 61, Element::F64, Target::F64, false, true},
};

template <class T>
std::vector<unsigned char> random_bytes(std::uint64_t n, std::mt19937_64& rng, bool special) {
    std::vector<T> values(n);
    for (auto& v : values) {
        if constexpr (std::is_floating_point_v<T>) {
            v = static_cast<T>(std::uniform_real_distribution<double>(-1e3, 1e3)(rng));
            if (special && rng() % 97 == 0) {
                v = rng() % 2 ? static_cast<T>(NAN) : static_cast<T>(INFINITY);
            }
        } else {
            v = static_cast<T>(rng());
        }
    }
    std::vector<unsigned char> bytes(n * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::size_t bytes_of(Target t) { return pellorin::area::target_bytes(t); }

struct Inputs {
    std::vector<unsigned char> image;
    std::vector<std::uint8_t> mask;
};

Inputs make_inputs(const Case& k, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::uint64_t n = k.h * k.w * k.c;
    Inputs in;
    switch (k.element) {
        case Element::U8: in.image = random_bytes<std::uint8_t>(n, rng, false); break;
        case Element::U16: in.image = random_bytes<std::uint16_t>(n, rng, false); break;
        case Element::F32: in.image = random_bytes<float>(n, rng, true); break;
        case Element::F64: in.image = random_bytes<double>(n, rng, true); break;
    }
    if (k.masked) {
        in.mask.resize(n);
        for (auto& m : in.mask) {
            m = rng() % 3 == 0 ? 1 : 0;
        }
    }
    return in;
}

struct Outputs {
    std::vector<unsigned char> values;
    std::vector<std::uint8_t> mask;
};

Outputs run(const Case& k, const Inputs& in, Isa isa, unsigned threads, unsigned char fill = 0xAB) {
    Outputs out;
    out.values.assign(k.out_h * k.out_w * k.c * bytes_of(k.target), fill);
    out.mask.assign(k.out_h * k.out_w * k.c, fill);
    AreaJob job;
    job.image = in.image.data();
    job.element = k.element;
    job.c = k.c;
    job.rows = pellorin::overlap::window_grid(k.top, k.height, k.h, k.out_h);
    job.cols = pellorin::overlap::window_grid(k.left, k.width, k.w, k.out_w);
    job.out = out.values.data();
    job.target = k.target;
    if (k.masked) {
        job.mask = in.mask.data();
        job.out_mask = out.mask.data();
    }
    job.times_cover = k.total;
    job.threads = threads;
    job.isa = isa;
    pellorin::area::run_area(job);
    return out;
}

void every_isa_and_thread_count_gives_the_same_bytes() {
    for (const Case& k : cases) {
        const Inputs in = make_inputs(k, k.h * 1000 + k.w);
        const Outputs base = run(k, in, Isa::Baseline, 1);
        // Every byte written: another fill gives the same bytes.
        const Outputs refilled = run(k, in, Isa::Baseline, 1, 0x54);
        CHECK(refilled.values == base.values && (!k.masked || refilled.mask == base.mask));
        for (const Isa isa : pellorin::supported_isas()) {
            for (const unsigned threads : {1U, 2U, 7U}) {
                const Outputs got = run(k, in, isa, threads);
                if (!CHECK(got.values == base.values && (!k.masked || got.mask == base.mask))) {
                    std::printf("  case %llux%llu c=%llu isa=%s threads=%u\n", static_cast<unsigned long long>(k.h),
                                static_cast<unsigned long long>(k.w), static_cast<unsigned long long>(k.c),
                                pellorin::isa_name(isa), threads);
                }
            }
        }
    }
}

void constants_stay_constant() {
    const double constant = 0.1;
    const std::uint64_t h = 203;
    const std::uint64_t w = 157;
    std::vector<double> image(h * w * 2, constant);
    for (const Isa isa : pellorin::supported_isas()) {
        for (const double scale : {1.0, 0.371, 2.9}) {
            std::vector<double> out(std::size_t{29} * 31 * 2, -1.0);
            AreaJob job;
            job.image = image.data();
            job.element = Element::F64;
            job.c = 2;
            job.rows = pellorin::overlap::window_grid(0.25, h * scale, h, 29);
            job.cols = pellorin::overlap::window_grid(0.0, w * scale, w, 31);
            job.out = out.data();
            job.target = Target::F64;
            job.isa = isa;
            pellorin::area::run_area(job);
            bool ok = true;
            for (const double v : out) {
                ok = ok && (v == constant || v == 0.0);
            }
            CHECK(ok && out[0] == constant);
        }
    }
}

void partition_visits_every_item_once() {
    for (const unsigned threads : {1U, 2U, 7U}) {
        std::vector<std::atomic<int>> seen(1001);
        std::atomic<bool> numbered{true};
        pellorin::parallel::for_each_chunk(1001, 13, threads, [&](std::uint64_t b, std::uint64_t e, unsigned who) {
            for (std::uint64_t i = b; i < e; ++i) {
                seen[i] += 1;
            }
            if (who >= threads) {
                numbered = false;
            }
        });
        bool once = true;
        for (auto& s : seen) {
            once = once && s.load() == 1;
        }
        CHECK(once && numbered.load());
    }
    bool caught = false;
    try {
        pellorin::parallel::for_each_chunk(100, 1, 4, [](std::uint64_t b, std::uint64_t, unsigned) {
            if (b == 37) {
                throw std::runtime_error("item 37");
            }
        });
    } catch (const std::runtime_error& e) {
        caught = std::strcmp(e.what(), "item 37") == 0;
    }
    CHECK(caught);
    CHECK(pellorin::parallel::balanced_grain(1000, 2, 10) == 125);
    CHECK(pellorin::parallel::balanced_grain(10, 8, 3) == 3);
}

}  // namespace

int main() {
    every_isa_and_thread_count_gives_the_same_bytes();
    constants_stay_constant();
    partition_visits_every_item_once();
    return tally::report();
}
