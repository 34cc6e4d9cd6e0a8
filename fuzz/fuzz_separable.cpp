// The separable passes equal, bit for bit, a plain loop in the stated order
// (H entries ascending, then W entries ascending; product then sum, each
// rounded in the work type), for all four element types and any window.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.hpp"
#include "image/separable.hpp"
#include "weights/axis_weights.hpp"
#include "weights/normalized_rows.hpp"

using namespace pellorin;

template <class E>
void check(FuzzInput& in, std::uint64_t h, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
           const weights::AxisWeights& ww) {
    using W = image::work_t<E>;
    std::vector<E> img(h * w * c);
    for (auto& v : img) {
        v = in.take<E>();
    }
    auto got = image::separable_resize<E>(img, w, c, hw, ww);
    const std::uint64_t out_h = hw.rows(), out_w = ww.rows();
    FUZZ_ASSERT(got.size() == out_h * out_w * c);
    auto rh = weights::normalized_rows<W>(hw.row_weights, hw.row_offsets);
    auto rw = weights::normalized_rows<W>(ww.row_weights, ww.row_offsets);
    std::vector<W> mid(out_h * w * c, W(0));
    for (std::uint64_t i = 0; i < out_h; ++i)
        for (auto k = hw.row_offsets[i]; k < hw.row_offsets[i + 1]; ++k) {
            const auto r = hw.first_input[i] + (k - hw.row_offsets[i]);
            for (std::uint64_t p = 0; p < w * c; ++p) {
                const W prod = rh[k] * static_cast<W>(img[r * w * c + p]);
                mid[i * w * c + p] = mid[i * w * c + p] + prod;
            }
        }
    for (std::uint64_t i = 0; i < out_h; ++i)
        for (std::uint64_t j = 0; j < out_w; ++j)
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                W acc = 0;
                for (auto k = ww.row_offsets[j]; k < ww.row_offsets[j + 1]; ++k) {
                    const auto x = ww.first_input[j] + (k - ww.row_offsets[j]);
                    const W prod = rw[k] * mid[(i * w + x) * c + ch];
                    acc = acc + prod;
                }
                const W g = got[(i * out_w + j) * c + ch];
                FUZZ_ASSERT(std::memcmp(&g, &acc, sizeof(W)) == 0 || (std::isnan(g) && std::isnan(acc)));
            }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    const std::uint64_t h = in.range(1, 24), w = in.range(1, 24), c = in.range(1, 4);
    const std::uint64_t out_h = in.range(1, 24), out_w = in.range(1, 24);
    const double origin_h = in.finite(40.0), origin_w = in.finite(40.0);
    double extent_h = std::fabs(in.finite(60.0)), extent_w = std::fabs(in.finite(60.0));
    if (!(extent_h > 0)) extent_h = 1.0;
    if (!(extent_w > 0)) extent_w = 1.0;
    auto hw = weights::axis_weights(h, out_h, 1.0, 0.0, extent_h / static_cast<double>(out_h), origin_h);
    auto ww = weights::axis_weights(w, out_w, 1.0, 0.0, extent_w / static_cast<double>(out_w), origin_w);
    switch (in.take<std::uint8_t>() % 4) {
        case 0: check<std::uint8_t>(in, h, w, c, hw, ww); break;
        case 1: check<std::uint16_t>(in, h, w, c, hw, ww); break;
        case 2: check<float>(in, h, w, c, hw, ww); break;
        default: check<double>(in, h, w, c, hw, ww); break;
    }
    return 0;
}
