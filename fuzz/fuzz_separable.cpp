// The separable resize in the baseline instruction set equals, bit for bit,
// a plain loop in the stated order (H entries ascending, then W entries
// ascending; product then sum, each rounded in the work type), for all four
// element types and any window; and every instruction set the processor
// supports gives the baseline's bytes, NaN for NaN (see `same_value`).
//
// Small images take their values from the fuzzer's bytes while they last.
// Wide images (up to 2400 columns, so that the intermediate spans several
// strips and the W pass several chunks), and small ones past the bytes, take
// them from a generator seeded by the bytes, with zeros of both signs, tiny
// and negative values, and for floating-point types infinities and NaN mixed
// in. Signed zeros count: results are
// compared bit for bit, NaN with any NaN.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "fuzz_input.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/image/separable.hpp"
#include "kernels/weights/axis_weights.hpp"
#include "kernels/weights/normalized_rows.hpp"

using namespace pellorin;

namespace {

// A value of E from one 64-bit draw: for floating-point types a mix of
// special values and ordinary ones of either sign, for integers any value
// with zero and the maximum more often.
template <class E>
E special_value(std::uint64_t r) {
    const unsigned kind = static_cast<unsigned>(r % 16);
    const std::uint64_t bits = r >> 8;
    if constexpr (std::is_integral_v<E>) {
        if (kind == 0) return E(0);
        if (kind == 1) return std::numeric_limits<E>::max();
        return static_cast<E>(bits);
    } else {
        switch (kind) {
            case 0: return E(0.0);
            case 1: return -E(0.0);
            case 2: return std::numeric_limits<E>::infinity();
            case 3: return -std::numeric_limits<E>::infinity();
            case 4: return std::numeric_limits<E>::quiet_NaN();
            case 5: return std::numeric_limits<E>::denorm_min() * E((bits & 1) ? -1 : 1);
            case 6: return std::numeric_limits<E>::min() * E((bits & 1) ? -0.5 : 0.5);
            default: {
                const E v = static_cast<E>(static_cast<double>(bits % 2000001) / 1000.0 - 1000.0);
                return kind == 7 ? -v : v;
            }
        }
    }
}

template <class E>
std::vector<image::work_t<E>> reference(const std::vector<E>& img, std::uint64_t w, std::uint64_t c,
                                        const weights::AxisWeights& hw, const weights::AxisWeights& ww) {
    using W = image::work_t<E>;
    const std::uint64_t out_h = hw.rows(), out_w = ww.rows();
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
    std::vector<W> out(out_h * out_w * c);
    for (std::uint64_t i = 0; i < out_h; ++i)
        for (std::uint64_t j = 0; j < out_w; ++j)
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                W acc = 0;
                for (auto k = ww.row_offsets[j]; k < ww.row_offsets[j + 1]; ++k) {
                    const auto x = ww.first_input[j] + (k - ww.row_offsets[j]);
                    const W prod = rw[k] * mid[(i * w + x) * c + ch];
                    acc = acc + prod;
                }
                out[(i * out_w + j) * c + ch] = acc;
            }
    return out;
}

// The same bits, or both NaN: which NaN comes out where two NaNs meet
// (0 * inf or inf - inf against a NaN pixel) follows the operand order of the
// compiled code, which IEEE leaves open and compilers may commute.
template <class W>
bool same_value(W a, W b) {
    return std::memcmp(&a, &b, sizeof(W)) == 0 || (std::isnan(a) && std::isnan(b));
}

template <class E>
void check(FuzzInput& in, bool wide, std::uint64_t h, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
           const weights::AxisWeights& ww) {
    using W = image::work_t<E>;
    std::vector<E> img(h * w * c);
    std::uint64_t state = in.take<std::uint64_t>() | 1;
    for (auto& v : img) {
        if (!wide && in.size >= sizeof(E)) {
            v = in.take<E>();
        } else {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            v = special_value<E>(state >> 11);
        }
    }
    const auto want = reference(img, w, c, hw, ww);
    const auto base = image::separable_resize<E>(img, w, c, hw, ww, Isa::Baseline);
    FUZZ_ASSERT(base.size() == want.size());
    for (std::size_t q = 0; q < want.size(); ++q) {
        FUZZ_ASSERT(same_value(base[q], want[q]));
    }
    for (const Isa isa : supported_isas()) {
        const auto got = image::separable_resize<E>(img, w, c, hw, ww, isa);
        FUZZ_ASSERT(got.size() == base.size());
        for (std::size_t q = 0; q < base.size(); ++q) {
            FUZZ_ASSERT(same_value(got[q], base[q]));
        }
    }
}

// An integer in [lo, hi] from one byte (two when the range needs them), so
// that short inputs already reach varied sizes.
std::uint64_t small_range(FuzzInput& in, std::uint64_t lo, std::uint64_t hi) {
    const std::uint64_t raw = hi - lo < 256 ? in.take<std::uint8_t>() : in.take<std::uint16_t>();
    return lo + raw % (hi - lo + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    const bool wide = in.take<std::uint8_t>() % 8 == 7;
    const unsigned type = in.take<std::uint8_t>() % 4;
    const std::uint64_t h = small_range(in, 1, wide ? 32 : 24);
    const std::uint64_t w = small_range(in, 1, wide ? 2400 : 24);
    const std::uint64_t c = small_range(in, 1, 5);
    const std::uint64_t out_h = small_range(in, 1, wide ? 40 : 24);
    const std::uint64_t out_w = small_range(in, 1, wide ? 2400 : 24);
    // Past the end of the input: the whole image, from its corner.
    const double origin_h = in.finite(40.0), origin_w = in.finite(wide ? 2400.0 : 40.0);
    double extent_h = std::fabs(in.finite(60.0)), extent_w = std::fabs(in.finite(wide ? 3200.0 : 60.0));
    if (!(extent_h > 0)) extent_h = static_cast<double>(h);
    if (!(extent_w > 0)) extent_w = static_cast<double>(w);
    auto hw = weights::axis_weights(h, out_h, 1.0, 0.0, extent_h / static_cast<double>(out_h), origin_h);
    auto ww = weights::axis_weights(w, out_w, 1.0, 0.0, extent_w / static_cast<double>(out_w), origin_w);
    switch (type) {
        case 0: check<std::uint8_t>(in, wide, h, w, c, hw, ww); break;
        case 1: check<std::uint16_t>(in, wide, h, w, c, hw, ww); break;
        case 2: check<float>(in, wide, h, w, c, hw, ww); break;
        default: check<double>(in, wide, h, w, c, hw, ww); break;
    }
    return 0;
}
