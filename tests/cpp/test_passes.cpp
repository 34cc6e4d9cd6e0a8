// The separable resize in every instruction set the processor supports (the
// passes of each, and the integer shortcuts of AVX2) gives the bytes of the
// baseline, and the baseline the bytes of the plain two-pass loops in the
// specified floating-point order, on a table of shapes that reaches every
// tail and special case: c = 1 .. 8, odd widths, reductions by whole factors
// (every reducer of the box plan among them), up and down scales, crops past
// the edges, all four element types. Links only against the kernel library.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "kernels/common/isa.hpp"
#include "kernels/image/box_plan.hpp"
#include "kernels/image/separable.hpp"
#include "kernels/weights/axis_weights.hpp"
#include "kernels/weights/normalized_rows.hpp"

#include "tally.hpp"

using pellorin::Isa;
using pellorin::image::separable_resize;
using pellorin::image::work_t;
using pellorin::image::box::plan_box;
using pellorin::image::box::Reducer;
using pellorin::weights::axis_weights;
using pellorin::weights::AxisWeights;
using pellorin::weights::normalized_rows;

namespace {

// The specified order, literally: zero-filled intermediate and result, then
// acc = acc + w*conv(v) per entry in ascending k, H pass before W pass.
template <class E>
std::vector<work_t<E>> reference(const std::vector<E>& image, std::uint64_t w, std::uint64_t c, const AxisWeights& hw,
                                 const AxisWeights& ww) {
    using W = work_t<E>;
    const auto hr = normalized_rows<W>(hw.row_weights, hw.row_offsets);
    const auto wr = normalized_rows<W>(ww.row_weights, ww.row_offsets);
    const std::uint64_t out_h = hw.rows();
    const std::uint64_t out_w = ww.rows();
    std::vector<W> inter(out_h * w * c, W(0));
    for (std::uint64_t i = 0; i < out_h; ++i) {
        for (std::uint64_t k = hw.row_offsets[i]; k < hw.row_offsets[i + 1]; ++k) {
            const std::uint64_t r = hw.first_input[i] + (k - hw.row_offsets[i]);
            for (std::uint64_t p = 0; p < w * c; ++p) {
                W& acc = inter[i * w * c + p];
                acc = acc + hr[k] * static_cast<W>(image[r * w * c + p]);
            }
        }
    }
    std::vector<W> out(out_h * out_w * c, W(0));
    for (std::uint64_t i = 0; i < out_h; ++i) {
        for (std::uint64_t j = 0; j < out_w; ++j) {
            for (std::uint64_t k = ww.row_offsets[j]; k < ww.row_offsets[j + 1]; ++k) {
                const std::uint64_t x = ww.first_input[j] + (k - ww.row_offsets[j]);
                for (std::uint64_t ch = 0; ch < c; ++ch) {
                    W& acc = out[(i * out_w + j) * c + ch];
                    acc = acc + wr[k] * inter[(i * w + x) * c + ch];
                }
            }
        }
    }
    return out;
}

// Random pixels over the whole range of the type; for floating point also
// negative values, -0.0, NaN and infinities, which every path must carry.
template <class E>
std::vector<E> make_image(std::size_t n, std::mt19937_64& rng) {
    std::vector<E> v(n);
    if constexpr (std::is_integral_v<E>) {
        std::uniform_int_distribution<unsigned> d(0, std::numeric_limits<E>::max());
        for (E& x : v) {
            x = static_cast<E>(d(rng));
        }
        // Runs of the largest value reach the largest sums.
        for (std::size_t i = 0; i < n / 3; ++i) {
            v[i] = std::numeric_limits<E>::max();
        }
    } else {
        std::normal_distribution<E> d(E(0), E(100));
        for (E& x : v) {
            x = d(rng);
        }
        const E specials[] = {E(-0.0), std::numeric_limits<E>::quiet_NaN(), std::numeric_limits<E>::infinity()};
        for (std::size_t s = 0; s < 3 && n > 40; ++s) {
            v[rng() % n] = specials[s];
        }
    }
    return v;
}

// One shape: input h x w x c; the crop window (origin, extent) per axis.
struct Shape {
    std::uint64_t h, w, c, out_h, out_w;
    double origin_h, origin_w, extent_h, extent_w;
};

template <class E>
void check_shape(const Shape& s, std::mt19937_64& rng, const char* type_name) {
    using W = work_t<E>;
    const std::vector<E> image = make_image<E>(s.h * s.w * s.c, rng);
    const AxisWeights hw = axis_weights(s.h, s.out_h, 1.0, 0.0, s.extent_h / static_cast<double>(s.out_h), s.origin_h);
    const AxisWeights ww = axis_weights(s.w, s.out_w, 1.0, 0.0, s.extent_w / static_cast<double>(s.out_w), s.origin_w);
    const std::span<const E> pixels(image);
    const auto base = separable_resize<E>(pixels, s.w, s.c, hw, ww, Isa::Baseline);
    const std::vector<W> ref = reference(image, s.w, s.c, hw, ww);
    const std::size_t bytes = ref.size() * sizeof(W);
    bool ok = base.size() == ref.size() && std::memcmp(base.data(), ref.data(), bytes) == 0;
    for (const Isa isa : pellorin::supported_isas()) {
        const auto got = separable_resize<E>(pixels, s.w, s.c, hw, ww, isa);
        const bool same = got.size() == ref.size() && std::memcmp(got.data(), base.data(), bytes) == 0;
        if (!same) {
            std::printf("  %s differs from the baseline\n", pellorin::isa_name(isa));
        }
        ok = ok && same;
    }
    if (tally::check(ok, "every instruction set agrees with the literal order", __LINE__)) {
        return;
    }
    std::printf("  %s %llux%llux%llu -> %llux%llu origin (%g, %g) extent (%g, %g)\n", type_name,
                static_cast<unsigned long long>(s.h), static_cast<unsigned long long>(s.w),
                static_cast<unsigned long long>(s.c), static_cast<unsigned long long>(s.out_h),
                static_cast<unsigned long long>(s.out_w), s.origin_h, s.origin_w, s.extent_h, s.extent_w);
}

// The table: every channel count with whole-factor reductions (1, 2, 3, 4, 8
// per axis, the two axes independent), odd widths whose rows end in every
// tail, the common fractional reductions and upscales, and crops that reach
// past every edge or lie wholly outside.
std::vector<Shape> shapes() {
    std::vector<Shape> out;
    for (std::uint64_t c = 1; c <= 5; ++c) {
        for (std::uint64_t fh : {1, 2, 3, 4, 8}) {
            for (std::uint64_t fw : {1, 2, 3, 4, 8}) {
                for (std::uint64_t ow : {1, 3, 7, 8, 9, 17, 33, 70}) {
                    const std::uint64_t oh = 5;
                    out.push_back({oh * fh, ow * fw, c, oh, ow, 0.0, 0.0, double(oh * fh), double(ow * fw)});
                }
            }
        }
        // A whole-factor grid on an image with rows and columns left over.
        out.push_back({41, 67, c, 20, 33, 0.0, 0.0, 40.0, 66.0});
        out.push_back({41, 67, c, 20, 33, 1.0, 1.0, 40.0, 66.0});
        // Fractional reductions (3 -> 2 as in 1080 -> 720) and upscales.
        out.push_back({27, 49, c, 18, 32, 0.0, 0.0, 27.0, 48.0});
        out.push_back({30, 45, c, 7, 11, 0.0, 0.0, 30.0, 45.0});
        out.push_back({9, 13, c, 27, 39, 0.0, 0.0, 9.0, 13.0});
        out.push_back({7, 11, c, 16, 25, 0.0, 0.0, 7.0, 11.0});
        out.push_back({16, 21, c, 16, 42, 0.0, 0.0, 16.0, 21.0});
        // Crops past the edges, and wholly outside.
        out.push_back({20, 31, c, 9, 13, -3.5, -2.25, 30.0, 40.0});
        out.push_back({20, 31, c, 10, 16, -4.0, -2.0, 20.0, 32.0});
        out.push_back({20, 31, c, 6, 5, 25.0, 40.0, 3.0, 3.0});
        out.push_back({20, 31, c, 11, 19, 12.3, 20.7, 15.0, 17.0});
    }
    // Halvings with more channels than the table above.
    for (std::uint64_t c : {6, 7, 8}) {
        for (std::uint64_t ow : {1, 2, 5, 9, 31}) {
            out.push_back({6, ow * 2, c, 3, ow, 0.0, 0.0, 6.0, double(ow * 2)});
        }
    }
    // More image rows per output row than 16-bit lane sums hold (nh = 256:
    // 32-bit sums), and the most a reduction may have.
    for (std::uint64_t c : {1, 3}) {
        out.push_back({512, 38, c, 2, 19, 0.0, 0.0, 512.0, 38.0});
    }
    // Rows long enough for several tiles and strips.
    out.push_back({64, 2501, 3, 32, 1250, 0.0, 0.0, 64.0, 2500.0});
    out.push_back({48, 1800, 4, 16, 600, 0.0, 0.0, 48.0, 1800.0});
    out.push_back({24, 3001, 3, 18, 2000, 0.0, 0.0, 24.0, 3000.0});
    out.push_back({20, 640, 3, 60, 1920, 0.0, 0.0, 20.0, 640.0});
    return out;
}

// The reducer that the box plan picks for whole-factor reductions, or none:
// the table above reaches every reducer (and each of these shapes is in it),
// so the byte comparisons cover them all.
struct PlanCase {
    std::size_t element_bytes;
    std::uint64_t c, fh, fw;
    std::optional<Reducer> want;
};

void check_plans() {
    const PlanCase cases[] = {
        {1, 4, 2, 2, Reducer::InLane},      {1, 1, 4, 4, Reducer::InLane},      {2, 2, 2, 2, Reducer::InLane},
        {1, 3, 2, 2, Reducer::InLaneSplit}, {1, 5, 8, 2, Reducer::InLaneSplit}, {1, 3, 256, 2, Reducer::Windows},
        {2, 3, 2, 2, Reducer::Windows},     {1, 3, 8, 8, Reducer::Windows},     {1, 2, 1, 1, Reducer::Windows},
        {1, 1, 3, 3, std::nullopt},         {2, 1, 16, 32, std::nullopt},       {1, 3, 2, 3, std::nullopt},
    };
    for (const PlanCase& pc : cases) {
        const std::uint64_t out_h = 2, out_w = 9;
        const std::uint64_t h = out_h * pc.fh, w = out_w * pc.fw;
        const AxisWeights hw = axis_weights(h, out_h, 1.0, 0.0, static_cast<double>(pc.fh), 0.0);
        const AxisWeights ww = axis_weights(w, out_w, 1.0, 0.0, static_cast<double>(pc.fw), 0.0);
        const auto hr = normalized_rows<float>(hw.row_weights, hw.row_offsets);
        const auto wr = normalized_rows<float>(ww.row_weights, ww.row_offsets);
        const std::uint64_t max = pc.element_bytes == 1 ? 255 : 65535;
        const auto plan = plan_box(hw, hr.data(), ww, wr.data(), pc.c, pc.element_bytes, max);
        const bool ok = plan.has_value() == pc.want.has_value() && (!plan || plan->reducer == *pc.want);
        if (!tally::check(ok, "box plan picks the expected reducer", __LINE__)) {
            std::printf("  %zu-byte elements, c = %llu, %llu x %llu\n", pc.element_bytes,
                        static_cast<unsigned long long>(pc.c), static_cast<unsigned long long>(pc.fh),
                        static_cast<unsigned long long>(pc.fw));
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240611);
    for (const Shape& s : shapes()) {
        check_shape<std::uint8_t>(s, rng, "uint8");
        check_shape<std::uint16_t>(s, rng, "uint16");
        check_shape<float>(s, rng, "float32");
        check_shape<double>(s, rng, "float64");
    }
    check_plans();
    return tally::report();
}
