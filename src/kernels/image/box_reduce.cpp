#include "kernels/image/box_reduce.hpp"

#include <string>
#include <type_traits>

#include "kernels/common/isa.hpp"
#include "kernels/common/panic.hpp"

#if PELLORIN_AVX2_VARIANTS
#include <immintrin.h>
#endif

namespace pellorin::image::box {
namespace {

#if PELLORIN_AVX2_VARIANTS

[[noreturn, gnu::cold, gnu::noinline]] void no_reducer(const BoxPlan& p) {
    panic("box reduction: no vector reducer for nh = " + std::to_string(p.nh) + ", nw = " + std::to_string(p.nw) +
          ", " + std::to_string(p.windows) + " windows");
}

template <class E>
[[gnu::always_inline]] inline const std::uint8_t* bytes_of(const E* row) {
    return reinterpret_cast<const std::uint8_t*>(row);
}

// rows[k] = the start of input row first + k, for k < count.
template <class E>
[[gnu::always_inline]] inline void input_rows(const E* image, std::uint64_t wc, std::uint64_t first,
                                              std::uint64_t count, const E** rows) {
    for (std::uint64_t k = 0; k < count; ++k) {
        rows[k] = image + (first + k) * wc;
    }
}

// The scalar tail: output value q (column q / c, channel q % c) of an output
// row whose image rows start at rows[0 .. nh-1], from the integer sum of its
// nh x nw pixels.
template <class E>
float box_value(const E* const* rows, std::uint64_t c, const BoxPlan& p, std::uint64_t q) {
    const std::uint64_t j = q / c;
    const std::uint64_t ch = q % c;
    std::uint32_t sum = 0;
    for (std::uint64_t k = 0; k < p.nh; ++k) {
        const E* at = rows[k] + (p.x0 + p.nw * j) * c + ch;
        for (std::uint64_t m = 0; m < p.nw; ++m) {
            sum += at[m * c];
        }
    }
    return static_cast<float>(sum) * p.scale;
}

// Eight 32-bit sums, each below 2^24: the conversion and the power-of-two
// scale are exact.
[[gnu::target("avx2"), gnu::always_inline]] inline void store_sums(float* out, __m256i sums, __m256 scale) {
    _mm256_storeu_ps(out, _mm256_mul_ps(_mm256_cvtepi32_ps(sums), scale));
}

// Sixteen unsigned 16-bit sums: the low half's eight at `low`, then the high
// half's eight at `high`.
[[gnu::target("avx2"), gnu::always_inline]] inline void store_sums16(float* low, float* high, __m256i sums,
                                                                     __m256 scale) {
    store_sums(low, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(sums)), scale);
    store_sums(high, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(sums, 1)), scale);
}

// Sum of the nw elements in each 32-bit lane of `x` (its other bytes zero),
// as a 32-bit integer.
template <class E, std::uint64_t NW>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i lane_sums(__m256i x) {
    if constexpr (NW == 1) {
        return x;
    } else if constexpr (sizeof(E) == 1) {
        const __m256i pairs = _mm256_maddubs_epi16(x, _mm256_set1_epi8(1));  // <= 510 each
        if constexpr (NW == 2) {
            return pairs;  // the high pair of each lane is zero
        } else {
            return _mm256_madd_epi16(pairs, _mm256_set1_epi16(1));
        }
    } else {
        return _mm256_add_epi32(_mm256_and_si256(x, _mm256_set1_epi32(0xFFFF)), _mm256_srli_epi32(x, 16));
    }
}

// Reducer::InLane (Split false) and Reducer::InLaneSplit (Split true): per
// period and image row one 32-byte load, or two 16-byte loads half_bytes
// apart, and one shuffle with the plan's mask; the lane sums are added over
// the rows (NH of them, or nh when NH is 0), in 16-bit lanes for uint8 with
// nw = 2, in 32-bit lanes otherwise.
template <class E, std::uint64_t NW, std::uint64_t NH, bool Split>
class InLaneRows {
public:
    static constexpr std::uint64_t fixed_rows = NH;
    static constexpr bool sixteen = sizeof(E) == 1 && NW == 2;

    [[gnu::target("avx2"), gnu::always_inline]] explicit InLaneRows(const BoxPlan& p)
        : mask_(_mm256_load_si256(reinterpret_cast<const __m256i*>(p.table[0][0][0].mask))),
          scale_(_mm256_set1_ps(p.scale)),
          base_(p.base),
          periods_(p.periods),
          rows_(NH != 0 ? NH : p.nh),
          half_values_(p.half_values),
          half_bytes_(static_cast<std::uint64_t>(p.table[0][0][0].offset[1])),
          period_bytes_(p.period_bytes),
          period_values_(p.period_values) {}

    [[gnu::target("avx2"), gnu::always_inline]] void row(const E* const* rows, float* out) const {
        // Whole halves: the layout is fixed by E and NW (box_plan.cpp).
        const std::uint64_t half_values = Split ? half_values_ : 16 / (NW * sizeof(E));
        const std::uint64_t period_bytes = Split ? period_bytes_ : 32;
        const std::uint64_t period_values = Split ? period_values_ : 2 * half_values;
        for (std::uint64_t r = 0; r < periods_; ++r) {
            __m256i acc = _mm256_setzero_si256();
            for (std::uint64_t k = 0; k < rows_; ++k) {
                const std::uint8_t* at = bytes_of(rows[k]) + base_ + period_bytes * r;
                __m256i x;
                if constexpr (Split) {
                    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + half_bytes_));
                    x = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
                } else {
                    x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
                }
                x = _mm256_shuffle_epi8(x, mask_);
                if constexpr (sixteen) {
                    acc = _mm256_add_epi16(acc, _mm256_maddubs_epi16(x, _mm256_set1_epi8(1)));
                } else {
                    acc = _mm256_add_epi32(acc, lane_sums<E, NW>(x));
                }
            }
            // Lane order is output order within each half; the high half's
            // store overwrites the low one's unused values.
            float* const o = out + period_values * r;
            if constexpr (sixteen) {
                store_sums16(o, o + half_values, acc, scale_);
            } else {
                store_sums(o, acc, scale_);
            }
        }
    }

private:
    __m256i mask_;
    __m256 scale_;
    std::uint64_t base_, periods_, rows_, half_values_, half_bytes_, period_bytes_, period_values_;
};

// The eight output values of vector g of the period at byte `at` of the
// rows: per row the windows shuffled into lanes part by part and summed in
// the lane, then summed over the rows (NH of them, or nh when NH is 0).
template <class E, std::uint64_t NW, std::size_t K, std::uint64_t NH>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i group_sums(const E* const* rows, std::uint64_t nh,
                                                                      std::uint64_t at,
                                                                      const Window (*parts)[max_windows]) {
    constexpr std::uint64_t per_part = NW < 4 / sizeof(E) ? NW : 4 / sizeof(E);
    constexpr std::uint64_t n_parts = NW / per_part;
    const std::uint64_t count = NH != 0 ? NH : nh;
    __m256i acc = _mm256_setzero_si256();
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint8_t* const row = bytes_of(rows[k]) + at;
        for (std::uint64_t u = 0; u < n_parts; ++u) {
            const Window* win = parts[u];
            __m256i x = _mm256_setzero_si256();
            for (std::size_t v = 0; v < K; ++v) {
                const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + win[v].offset[0]));
                const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + win[v].offset[1]));
                const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
                const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(win[v].mask));
                x = v == 0 ? _mm256_shuffle_epi8(both, mask) : _mm256_or_si256(x, _mm256_shuffle_epi8(both, mask));
            }
            acc = k == 0 && u == 0 ? lane_sums<E, per_part>(x) : _mm256_add_epi32(acc, lane_sums<E, per_part>(x));
        }
    }
    return acc;
}

// Reducer::Windows: K windows per half and part.
template <class E, std::uint64_t NW, std::size_t K, std::uint64_t NH>
class WindowRows {
public:
    static constexpr std::uint64_t fixed_rows = NH;

    [[gnu::target("avx2"), gnu::always_inline]] explicit WindowRows(const BoxPlan& p)
        : plan_(p), scale_(_mm256_set1_ps(p.scale)) {}

    [[gnu::target("avx2"), gnu::always_inline]] void row(const E* const* rows, float* out) const {
        std::uint64_t at = plan_.base;
        for (std::uint64_t r = 0; r < plan_.periods; ++r, at += plan_.period_bytes) {
            for (std::size_t g = 0; g < plan_.groups; ++g, out += 8) {
                store_sums(out, group_sums<E, NW, K, NH>(rows, plan_.nh, at, plan_.table[g]), scale_);
            }
        }
    }

private:
    const BoxPlan& plan_;
    __m256 scale_;
};

// Every output row: its image rows, the reducer's periods, then the scalar
// tail from the first value the periods leave.
template <class Rows, class E>
[[gnu::target("avx2")]] void reduce_rows(const E* image, std::uint64_t wc, std::uint64_t c,
                                         const weights::AxisWeights& hw, std::uint64_t out_w, const BoxPlan& p,
                                         float* result) {
    const Rows reducer(p);
    const std::uint64_t out_wc = out_w * c;
    const std::uint64_t tail = p.periods * p.period_values;
    const std::uint64_t count = Rows::fixed_rows != 0 ? Rows::fixed_rows : p.nh;
    const E* rows[max_rows];
    for (std::uint64_t i = 0; i < hw.rows(); ++i) {
        input_rows(image, wc, hw.first_input[i], count, rows);
        float* const out = result + i * out_wc;
        reducer.row(rows, out);
        for (std::uint64_t q = tail; q < out_wc; ++q) {
            out[q] = box_value(rows, c, p, q);
        }
    }
}

// What reduce_rows needs, passed through the ladders below.
template <class E>
struct Job {
    const E* image;
    std::uint64_t wc;
    std::uint64_t c;
    const weights::AxisWeights& hw;
    std::uint64_t out_w;
    const BoxPlan& plan;
    float* result;

    template <class Rows>
    void run() const {
        reduce_rows<Rows>(image, wc, c, hw, out_w, plan, result);
    }
};

// Calls f(N) with N = nh as a constant for the row counts that the reducers
// unroll (1, 2, 4), N = 0 (nh read at run time) otherwise.
template <class F>
void with_rows(std::uint64_t nh, F&& f) {
    switch (nh) {
        case 1: f(std::integral_constant<std::uint64_t, 1>{}); break;
        case 2: f(std::integral_constant<std::uint64_t, 2>{}); break;
        case 4: f(std::integral_constant<std::uint64_t, 4>{}); break;
        default: f(std::integral_constant<std::uint64_t, 0>{}); break;
    }
}

template <class E, std::uint64_t NW, bool Split>
void in_lane(const Job<E>& job) {
    with_rows(job.plan.nh, [&](auto nh) { job.template run<InLaneRows<E, NW, decltype(nh)::value, Split>>(); });
}

template <class E, std::uint64_t NW>
void windows(const Job<E>& job) {
    switch (job.plan.windows) {
        case 1:
            with_rows(job.plan.nh, [&](auto nh) { job.template run<WindowRows<E, NW, 1, decltype(nh)::value>>(); });
            return;
        case 2:
            with_rows(job.plan.nh, [&](auto nh) { job.template run<WindowRows<E, NW, 2, decltype(nh)::value>>(); });
            return;
        case 3:
            with_rows(job.plan.nh, [&](auto nh) { job.template run<WindowRows<E, NW, 3, decltype(nh)::value>>(); });
            return;
        default: no_reducer(job.plan);
    }
}

// The one dispatcher: the plan's reducer, compiled for its element size,
// columns per output (nw), windows and rows. Layouts that plan_box never
// makes have no reducer.
template <class E>
void dispatch(const Job<E>& job) {
    const BoxPlan& p = job.plan;
    constexpr bool bytes = sizeof(E) == 1;
    switch (p.reducer) {
        case Reducer::InLane:
            if (p.nw == 2) {
                return in_lane<E, 2, false>(job);
            }
            if constexpr (bytes) {
                if (p.nw == 4) {
                    return in_lane<E, 4, false>(job);
                }
            }
            break;
        case Reducer::InLaneSplit:
            if constexpr (bytes) {
                if (p.nw == 2) {
                    return in_lane<E, 2, true>(job);
                }
            }
            break;
        case Reducer::Windows:
            switch (p.nw) {
                case 1: return windows<E, 1>(job);
                case 2: return windows<E, 2>(job);
                case 4: return windows<E, 4>(job);
                case 8:
                    if constexpr (bytes) {
                        return windows<E, 8>(job);
                    }
                    break;
                default: break;
            }
            break;
    }
    no_reducer(p);
}

#endif

}  // namespace

template <class E>
void reduce_box_avx2(const E* image, std::uint64_t wc, std::uint64_t c, const weights::AxisWeights& hw,
                     std::uint64_t out_w, const BoxPlan& plan, float* result) {
    static_assert(std::is_same_v<E, std::uint8_t> || std::is_same_v<E, std::uint16_t>);
    panic_unless(plan.nh <= max_rows, "box reduction: more image rows per output row than the reducers hold");
#if PELLORIN_AVX2_VARIANTS
    dispatch(Job<E>{image, wc, c, hw, out_w, plan, result});
#else
    (void)image, (void)wc, (void)c, (void)hw, (void)out_w, (void)result;
    panic("box reduction: this build has no AVX2 variants");
#endif
}

template void reduce_box_avx2<std::uint8_t>(const std::uint8_t*, std::uint64_t, std::uint64_t,
                                            const weights::AxisWeights&, std::uint64_t, const BoxPlan&, float*);
template void reduce_box_avx2<std::uint16_t>(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                             const weights::AxisWeights&, std::uint64_t, const BoxPlan&, float*);

}  // namespace pellorin::image::box
