#include "kernels/image/replicate.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/image/box_plan.hpp"

#if PELLORIN_AVX2_VARIANTS
#include <immintrin.h>
#endif

namespace pellorin::image::box {
namespace {

#if PELLORIN_AVX2_VARIANTS
// One output row at a time: a row whose image row is that of the row before
// is a copy of it; otherwise its image row is converted once to float and
// each vector of eight output values taken from it by index: by one
// unaligned load and a lane permutation when the eight indices lie within
// eight values (every whole-factor upscale), by a gather otherwise. Index
// tables are built once per call, in 32 bits (`replicates` checked w*c).
template <class E>
[[gnu::target("avx2")]] void replicate_rows(const E* image, std::uint64_t w, std::uint64_t c,
                                            const weights::AxisWeights& hw, const weights::AxisWeights& ww,
                                            float* result, float* row_f, std::int32_t* index, std::int32_t* relative) {
    const std::uint64_t wc = w * c;
    const std::uint64_t out_wc = ww.rows() * c;
    const std::uint64_t vectors = out_wc / 8;
    for (std::uint64_t q = 0; q < out_wc; ++q) {
        index[q] = static_cast<std::int32_t>(ww.first_input[q / c] * c + q % c);
    }
    // relative[8v .. 8v+7]: the indices less the smallest of them (first
    // lane, as first inputs never decrease), or -1 in lane 0 when they span
    // more than eight values or the load would pass the row's end.
    for (std::uint64_t v = 0; v < vectors; ++v) {
        const std::int32_t* at = index + 8 * v;
        const std::int32_t lo = *std::min_element(at, at + 8);
        const std::int32_t hi = *std::max_element(at, at + 8);
        const bool near = hi - lo < 8 && at[0] == lo && static_cast<std::uint64_t>(lo) + 8 <= wc;
        for (int l = 0; l < 8; ++l) {
            relative[8 * v + l] = near ? at[l] - lo : -1;
        }
    }
    for (std::uint64_t i = 0; i < hw.rows(); ++i) {
        float* const out = result + i * out_wc;
        if (i > 0 && hw.first_input[i] == hw.first_input[i - 1]) {
            std::memcpy(out, out - out_wc, out_wc * sizeof(float));
            continue;
        }
        const E* const src = image + hw.first_input[i] * wc;
        for (std::uint64_t p = 0; p < wc; ++p) {
            row_f[p] = static_cast<float>(src[p]);
        }
        for (std::uint64_t v = 0; v < vectors; ++v) {
            const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + 8 * v));
            __m256 x;
            if (relative[8 * v] >= 0) {
                const __m256i rel = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(relative + 8 * v));
                x = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row_f + index[8 * v]), rel);
            } else {
                x = _mm256_i32gather_ps(row_f, at, 4);
            }
            _mm256_storeu_ps(out + 8 * v, x);
        }
        for (std::uint64_t q = 8 * vectors; q < out_wc; ++q) {
            out[q] = row_f[index[q]];
        }
    }
}
#endif

}  // namespace

bool replicates(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
                const float* w_weights, std::uint64_t wc) {
    return wc <= INT32_MAX && uniform_entries(hw, h_weights) == 1 && uniform_entries(ww, w_weights) == 1;
}

template <class E>
void replicate_avx2(const E* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                    const weights::AxisWeights& ww, float* result) {
    static_assert(std::is_same_v<E, std::uint8_t> || std::is_same_v<E, std::uint16_t>);
#if PELLORIN_AVX2_VARIANTS
    const std::uint64_t wc = w * c;
    const std::uint64_t out_wc = ww.rows() * c;
    OwnedBuffer<float> row_f = OwnedBuffer<float>::uninitialized(wc, "separable resize: converted row");
    OwnedBuffer<std::int32_t> index = OwnedBuffer<std::int32_t>::uninitialized(out_wc, "separable resize: W index");
    OwnedBuffer<std::int32_t> relative = OwnedBuffer<std::int32_t>::uninitialized(out_wc, "separable resize: W index");
    replicate_rows(image, w, c, hw, ww, result, row_f.data(), index.data(), relative.data());
#else
    (void)image, (void)w, (void)c, (void)hw, (void)ww, (void)result;
    panic("replication: this build has no AVX2 variants");
#endif
}

template void replicate_avx2<std::uint8_t>(const std::uint8_t*, std::uint64_t, std::uint64_t,
                                           const weights::AxisWeights&, const weights::AxisWeights&, float*);
template void replicate_avx2<std::uint16_t>(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                            const weights::AxisWeights&, const weights::AxisWeights&, float*);

}  // namespace pellorin::image::box
