#include "kernels/image/box.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "kernels/common/buffer.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace pellorin::image::box {
namespace {

bool is_power_of_two(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// True when every row of `aw` has `n` entries whose weight is exactly 1/n.
bool uniform_rows(const weights::AxisWeights& aw, const float* weights, std::uint64_t& n) {
    const std::size_t rows = aw.first_input.size();
    if (rows == 0) {
        return false;
    }
    n = aw.row_offsets[1] - aw.row_offsets[0];
    if (!is_power_of_two(n) || n > 256) {
        return false;
    }
    const float share = 1.0f / static_cast<float>(n);  // exact: n is a power of two
    for (std::size_t j = 0; j < rows; ++j) {
        const std::uint64_t lo = aw.row_offsets[j];
        if (aw.row_offsets[j + 1] - lo != n) {
            return false;
        }
        for (std::uint64_t k = lo; k < lo + n; ++k) {
            if (std::bit_cast<std::uint32_t>(weights[k]) != std::bit_cast<std::uint32_t>(share)) {
                return false;
            }
        }
    }
    return true;
}

#if defined(__x86_64__) || defined(__i386__)
// Integer sum of the nh x nw pixels of output value q (column q / c, channel
// q % c) of an output row whose image rows start at `rows[0 .. nh-1]`.
template <class E>
float box_value(const E* const* rows, std::uint64_t c, const BoxShape& s, std::uint64_t q) {
    const std::uint64_t j = q / c;
    const std::uint64_t ch = q % c;
    std::uint32_t sum = 0;
    for (std::uint64_t k = 0; k < s.nh; ++k) {
        const E* p = rows[k] + (s.x0 + s.nw * j) * c + ch;
        for (std::uint64_t m = 0; m < s.nw; ++m) {
            sum += p[m * c];
        }
    }
    return static_cast<float>(sum) * s.scale;
}

// Layout of the vector path. Output values are taken eight at a time, one
// 32-bit lane each. A lane's nw elements are gathered, in parts of as many
// elements as fit in its four bytes (element m of a part at bytes
// m*sizeof(E) ..), summed inside the lane part by part, summed over the nh
// rows, converted and scaled. The gather is a byte shuffle of 16-byte windows
// of the image row; each half of a vector (four lanes) takes up to
// max_windows windows per part. The pattern repeats every `groups` vectors,
// which read `period_bytes` bytes further along the row.
constexpr std::size_t max_windows = 3;
constexpr std::size_t max_groups = 16;
constexpr std::size_t max_parts = 2;

// Elements of one lane part, and parts per lane.
constexpr std::uint64_t part_elements(std::uint64_t nw, std::size_t esize) {
    return std::min<std::uint64_t>(nw, 4 / esize);
}

struct Window {
    std::int64_t offset[2];  // bytes from the period's start, low and high half
    alignas(32) std::uint8_t mask[32];
};

struct Layout {
    std::size_t groups = 0;
    std::size_t windows = 0;  // per half and part, the same for every group
    std::size_t parts = 0;
    std::uint64_t period_bytes = 0;
    std::uint64_t period_values = 0;
    std::uint64_t reach = 0;  // bytes read from a period's start
    Window table[max_groups][max_parts][max_windows];
};

// Builds the layout; false when a half needs more than max_windows windows
// or a period more than max_groups vectors.
bool make_layout(std::uint64_t c, std::uint64_t nw, std::size_t esize, Layout& out) {
    if (c == 0 || nw == 0 || esize == 0 || esize > 4) {
        return false;
    }
    const std::uint64_t per_part = part_elements(nw, esize);
    const std::uint64_t parts = nw / per_part;
    if (parts > max_parts || parts * per_part != nw) {
        return false;
    }
    const std::uint64_t period_values = std::lcm<std::uint64_t>(8, c);
    const std::size_t groups = static_cast<std::size_t>(period_values / 8);
    if (groups > max_groups) {
        return false;
    }
    out = Layout{};
    for (auto& group : out.table) {
        for (auto& part : group) {
            for (Window& win : part) {
                std::fill(win.mask, win.mask + 32, std::uint8_t{0x80});  // shuffle writes zero
            }
        }
    }
    out.groups = groups;
    out.parts = static_cast<std::size_t>(parts);
    out.period_values = period_values;
    out.period_bytes = period_values * nw * esize;
    for (std::size_t g = 0; g < groups; ++g) {
        for (std::uint64_t u = 0; u < parts; ++u) {
            for (std::size_t half = 0; half < 2; ++half) {
                // src[t]: the row byte that lane byte t receives, or -1.
                std::int64_t src[16];
                std::fill(src, src + 16, -1);
                for (std::uint64_t l = 0; l < 4; ++l) {
                    const std::uint64_t q = 8 * g + 4 * half + l;
                    const std::uint64_t j = q / c;
                    const std::uint64_t ch = q % c;
                    for (std::uint64_t m = 0; m < per_part; ++m) {
                        for (std::size_t b = 0; b < esize; ++b) {
                            const std::uint64_t x = nw * j + u * per_part + m;
                            const auto byte = static_cast<std::int64_t>((x * c + ch) * esize + b);
                            src[4 * l + m * esize + b] = byte;
                        }
                    }
                }
                // Windows from the lowest byte up, each 16 bytes wide.
                std::size_t used = 0;
                bool placed[16] = {};
                while (true) {
                    std::int64_t start = INT64_MAX;
                    for (int t = 0; t < 16; ++t) {
                        if (src[t] >= 0 && !placed[t]) {
                            start = std::min(start, src[t]);
                        }
                    }
                    if (start == INT64_MAX) {
                        break;
                    }
                    if (used == max_windows) {
                        return false;
                    }
                    Window& win = out.table[g][u][used];
                    win.offset[half] = start;
                    for (int t = 0; t < 16; ++t) {
                        std::uint8_t m = 0x80;  // shuffle writes zero
                        if (src[t] >= start && src[t] < start + 16 && !placed[t]) {
                            m = static_cast<std::uint8_t>(src[t] - start);
                            placed[t] = true;
                        }
                        win.mask[16 * half + t] = m;
                    }
                    out.reach = std::max(out.reach, static_cast<std::uint64_t>(start + 16));
                    ++used;
                }
                out.windows = std::max(out.windows, used);
            }
        }
    }
    // Unused windows read the period's first 16 bytes and shuffle in zeros.
    out.reach = std::max<std::uint64_t>(out.reach, 16);
    return true;
}

// Sum of the nw elements in each 32-bit lane of `x` (the other bytes zero),
// as a 32-bit integer.
template <class E, std::uint64_t NW>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i lane_sums(__m256i x) {
    if constexpr (sizeof(E) == 1) {
        if constexpr (NW == 1) {
            return x;
        } else {
            const __m256i pairs = _mm256_maddubs_epi16(x, _mm256_set1_epi8(1));  // <= 510 each
            if constexpr (NW == 2) {
                return pairs;  // the high pair of each lane is zero
            } else {
                return _mm256_madd_epi16(pairs, _mm256_set1_epi16(1));
            }
        }
    } else {
        if constexpr (NW == 1) {
            return x;
        } else {
            return _mm256_add_epi32(_mm256_and_si256(x, _mm256_set1_epi32(0xFFFF)), _mm256_srli_epi32(x, 16));
        }
    }
}

// The eight output values of vector g of the period starting at byte `at` of
// the rows: per row the windows shuffled into lanes and summed in the lane,
// then summed over the rows (NH of them, or nh when NH is 0).
template <class E, std::uint64_t NW, std::size_t K, std::uint64_t NH>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i group_sums(const std::uint8_t* const* rows, std::uint64_t nh,
                                                                      std::uint64_t at,
                                                                      const Window (*parts)[max_windows]) {
    constexpr std::uint64_t per_part = part_elements(NW, sizeof(E));
    constexpr std::uint64_t n_parts = NW / per_part;
    const std::uint64_t count = NH != 0 ? NH : nh;
    __m256i acc = _mm256_setzero_si256();
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint8_t* const row = rows[k] + at;
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

template <class E, std::uint64_t NW, std::size_t K, std::uint64_t NH>
[[gnu::target("avx2")]] void box_rows_avx2(const E* image, std::uint64_t wc, std::uint64_t c,
                                           const weights::AxisWeights& hw, std::uint64_t out_w, const BoxShape& s,
                                           const Layout& lay, float* result) {
    const std::uint64_t out_h = hw.rows();
    const std::uint64_t out_wc = out_w * c;
    const std::uint64_t row_bytes = wc * sizeof(E);
    const std::uint64_t base = s.x0 * c * sizeof(E);
    const std::uint64_t avail = row_bytes - base;
    std::uint64_t periods = out_wc / lay.period_values;
    if (avail < lay.reach) {
        periods = 0;
    } else {
        periods = std::min(periods, (avail - lay.reach) / lay.period_bytes + 1);
    }
    const __m256 scale = _mm256_set1_ps(s.scale);
    constexpr std::size_t max_nh = 256;
    const E* rows[max_nh];
    const std::uint8_t* bytes[max_nh];
    for (std::uint64_t i = 0; i < out_h; ++i) {
        for (std::uint64_t k = 0; k < s.nh; ++k) {
            rows[k] = image + (hw.first_input[i] + k) * wc;
            bytes[k] = reinterpret_cast<const std::uint8_t*>(rows[k]);
        }
        float* out = result + i * out_wc;
        std::uint64_t at = base;
        for (std::uint64_t p = 0; p < periods; ++p, at += lay.period_bytes) {
            for (std::size_t g = 0; g < lay.groups; ++g, out += 8) {
                const __m256i sums = group_sums<E, NW, K, NH>(bytes, s.nh, at, lay.table[g]);
                // Sums below 2^24: the conversion and the power-of-two scale
                // are exact.
                _mm256_storeu_ps(out, _mm256_mul_ps(_mm256_cvtepi32_ps(sums), scale));
            }
        }
        out = result + i * out_wc;
        for (std::uint64_t q = periods * lay.period_values; q < out_wc; ++q) {
            out[q] = box_value(rows, c, s, q);
        }
    }
}

template <class E, std::uint64_t NW, std::size_t K>
void box_avx2_rows(const E* image, std::uint64_t wc, std::uint64_t c, const weights::AxisWeights& hw,
                   std::uint64_t out_w, const BoxShape& s, const Layout& lay, float* result) {
    switch (s.nh) {
        case 1: box_rows_avx2<E, NW, K, 1>(image, wc, c, hw, out_w, s, lay, result); break;
        case 2: box_rows_avx2<E, NW, K, 2>(image, wc, c, hw, out_w, s, lay, result); break;
        case 4: box_rows_avx2<E, NW, K, 4>(image, wc, c, hw, out_w, s, lay, result); break;
        default: box_rows_avx2<E, NW, K, 0>(image, wc, c, hw, out_w, s, lay, result); break;
    }
}

template <class E, std::uint64_t NW>
void box_avx2_windows(const E* image, std::uint64_t wc, std::uint64_t c, const weights::AxisWeights& hw,
                      std::uint64_t out_w, const BoxShape& s, const Layout& lay, float* result) {
    switch (lay.windows) {
        case 1: box_avx2_rows<E, NW, 1>(image, wc, c, hw, out_w, s, lay, result); break;
        case 2: box_avx2_rows<E, NW, 2>(image, wc, c, hw, out_w, s, lay, result); break;
        default: box_avx2_rows<E, NW, 3>(image, wc, c, hw, out_w, s, lay, result); break;
    }
}

// rows[k] = the start of input row first + k, for k < count.
template <class E>
[[gnu::always_inline]] inline void input_rows(const E* image, std::uint64_t wc, std::uint64_t first,
                                              std::uint64_t count, const E** rows) {
    for (std::uint64_t k = 0; k < count; ++k) {
        rows[k] = image + (first + k) * wc;
    }
}

// When the bytes of nw pixels divide 16 (c * nw * sizeof(E) | 16), every
// 16-byte half of a 32-byte run of the row holds whole output columns: one
// in-lane shuffle per row brings each value's nw elements side by side, and
// no window table is needed. Handles uint8 with nw = 2 (sums of a lane pair
// kept in 16 bits: at most nh * 510 <= 65535 for nh <= 128) and uint8 with
// nw = 4 or uint16 with nw = 2 (sums in 32 bits).
bool aligned_case(std::uint64_t c, std::uint64_t nw, std::uint64_t nh, std::size_t esize) {
    const std::uint64_t bytes = c * nw * esize;
    const bool kind = (esize == 1 && nw == 2 && nh <= 128) || (esize == 1 && nw == 4) || (esize == 2 && nw == 2);
    return kind && bytes <= 16 && 16 % bytes == 0;
}

template <class E, std::uint64_t NW, std::uint64_t NH>
[[gnu::target("avx2")]] void box_rows_aligned(const E* image, std::uint64_t wc, std::uint64_t c,
                                              const weights::AxisWeights& hw, std::uint64_t out_w, const BoxShape& s,
                                              float* result) {
    constexpr std::size_t es = sizeof(E);
    constexpr std::uint64_t run_values = 32 / (es * NW);  // output values per 32 bytes of row
    // Lane byte ((o*c + ch)*NW + m)*es + b takes row byte ((o*NW + m)*c + ch)*es + b.
    alignas(32) std::uint8_t mask_bytes[32];
    const std::uint64_t lane_columns = 16 / (c * NW * es);
    for (std::size_t half = 0; half < 2; ++half) {
        for (std::uint64_t o = 0; o < lane_columns; ++o) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                for (std::uint64_t m = 0; m < NW; ++m) {
                    for (std::size_t b = 0; b < es; ++b) {
                        mask_bytes[16 * half + ((o * c + ch) * NW + m) * es + b] =
                            static_cast<std::uint8_t>(((o * NW + m) * c + ch) * es + b);
                    }
                }
            }
        }
    }
    const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(mask_bytes));
    const __m256 scale = _mm256_set1_ps(s.scale);
    const std::uint64_t out_wc = out_w * c;
    const std::uint64_t base = s.x0 * c * es;
    const std::uint64_t avail = wc * es - base;
    const std::uint64_t runs = std::min(out_wc / run_values, avail / 32);
    const std::uint64_t count = NH != 0 ? NH : s.nh;
    constexpr std::size_t max_nh = 256;
    const E* rows[max_nh];
    for (std::uint64_t i = 0; i < hw.rows(); ++i) {
        input_rows(image, wc, hw.first_input[i], count, rows);
        float* const out = result + i * out_wc;
        for (std::uint64_t r = 0; r < runs; ++r) {
            __m256i acc = _mm256_setzero_si256();
            for (std::uint64_t k = 0; k < count; ++k) {
                const auto* at = reinterpret_cast<const std::uint8_t*>(rows[k]) + base + 32 * r;
                const __m256i x = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), mask);
                if constexpr (es == 1 && NW == 2) {
                    acc = _mm256_add_epi16(acc, _mm256_maddubs_epi16(x, _mm256_set1_epi8(1)));
                } else {
                    acc = _mm256_add_epi32(acc, lane_sums<E, NW>(x));
                }
            }
            // Sums below 2^24: the conversion and the power-of-two scale are
            // exact. Lane order is output order within each half.
            float* const o = out + run_values * r;
            if constexpr (es == 1 && NW == 2) {
                const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc));
                const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1));
                _mm256_storeu_ps(o, _mm256_mul_ps(_mm256_cvtepi32_ps(lo), scale));
                _mm256_storeu_ps(o + 8, _mm256_mul_ps(_mm256_cvtepi32_ps(hi), scale));
            } else {
                _mm256_storeu_ps(o, _mm256_mul_ps(_mm256_cvtepi32_ps(acc), scale));
            }
        }
        for (std::uint64_t q = runs * run_values; q < out_wc; ++q) {
            out[q] = box_value(rows, c, s, q);
        }
    }
}

template <class E, std::uint64_t NW>
void box_aligned(const E* image, std::uint64_t wc, std::uint64_t c, const weights::AxisWeights& hw, std::uint64_t out_w,
                 const BoxShape& s, float* result) {
    switch (s.nh) {
        case 1: box_rows_aligned<E, NW, 1>(image, wc, c, hw, out_w, s, result); break;
        case 2: box_rows_aligned<E, NW, 2>(image, wc, c, hw, out_w, s, result); break;
        case 4: box_rows_aligned<E, NW, 4>(image, wc, c, hw, out_w, s, result); break;
        default: box_rows_aligned<E, NW, 0>(image, wc, c, hw, out_w, s, result); break;
    }
}

// uint8 halving across any other channel count up to 8 (RGB above all):
// each 16-byte half of a vector loads the largest run of whole output columns
// that fits (12 bytes, two RGB columns, for c = 3), one in-lane shuffle puts
// each value's two elements side by side, and the pair sums (16 bits, at
// most nh * 510 <= 65535 for nh <= 128) fill the first values of the half.
// The two halves are stored back to back, each store's unused values
// overwritten by the next store; the last run of a row that would store past
// the row is left to the scalar tail.
bool pairs_case(std::uint64_t c, std::uint64_t nw, std::uint64_t nh, std::size_t esize) {
    return esize == 1 && nw == 2 && nh <= 128 && c <= 8;
}

template <std::uint64_t NH>
[[gnu::target("avx2")]] void box_rows_pairs(const std::uint8_t* image, std::uint64_t wc, std::uint64_t c,
                                            const weights::AxisWeights& hw, std::uint64_t out_w, const BoxShape& s,
                                            float* result) {
    const std::uint64_t columns = std::max<std::uint64_t>(8 / c, 1);  // per half (16 bytes / (2 * c)); c <= 8
    const std::uint64_t half_values = columns * c;                    // values per half
    const std::uint64_t half_bytes = 2 * half_values;
    alignas(32) std::uint8_t mask_bytes[32];
    std::fill(mask_bytes, mask_bytes + 32, std::uint8_t{0x80});
    for (std::size_t half = 0; half < 2; ++half) {
        for (std::uint64_t o = 0; o < columns; ++o) {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                for (std::uint64_t m = 0; m < 2; ++m) {
                    mask_bytes[16 * half + 2 * (o * c + ch) + m] = static_cast<std::uint8_t>((2 * o + m) * c + ch);
                }
            }
        }
    }
    const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(mask_bytes));
    const __m256 scale = _mm256_set1_ps(s.scale);
    const std::uint64_t out_wc = out_w * c;
    const std::uint64_t base = s.x0 * c;
    const std::uint64_t avail = wc - base;
    // Run r reads bytes 2r*half_bytes .. + half_bytes + 16 and stores values
    // 2r*half_values .. + half_values + 8.
    std::uint64_t runs = 0;
    if (avail >= half_bytes + 16 && out_wc >= half_values + 8) {
        runs =
            std::min((avail - half_bytes - 16) / (2 * half_bytes), (out_wc - half_values - 8) / (2 * half_values)) + 1;
    }
    const std::uint64_t count = NH != 0 ? NH : s.nh;
    constexpr std::size_t max_nh = 256;
    const std::uint8_t* rows[max_nh];
    for (std::uint64_t i = 0; i < hw.rows(); ++i) {
        input_rows(image, wc, hw.first_input[i], count, rows);
        float* const out = result + i * out_wc;
        for (std::uint64_t r = 0; r < runs; ++r) {
            __m256i acc = _mm256_setzero_si256();
            for (std::uint64_t k = 0; k < count; ++k) {
                const std::uint8_t* at = rows[k] + base + 2 * half_bytes * r;
                const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + half_bytes));
                const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
                acc = _mm256_add_epi16(acc, _mm256_maddubs_epi16(_mm256_shuffle_epi8(both, mask), _mm256_set1_epi8(1)));
            }
            // Sums below 2^24: the conversion and the power-of-two scale are
            // exact.
            float* const o = out + 2 * half_values * r;
            const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc));
            const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1));
            _mm256_storeu_ps(o, _mm256_mul_ps(_mm256_cvtepi32_ps(lo), scale));
            _mm256_storeu_ps(o + half_values, _mm256_mul_ps(_mm256_cvtepi32_ps(hi), scale));
        }
        for (std::uint64_t q = 2 * half_values * runs; q < out_wc; ++q) {
            out[q] = box_value(rows, c, s, q);
        }
    }
}

template <class E>
void box_avx2(const E* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw, std::uint64_t out_w,
              const BoxShape& s, float* result) {
    const std::uint64_t wc = w * c;
    if (aligned_case(c, s.nw, s.nh, sizeof(E))) {
        if (s.nw == 2) {
            box_aligned<E, 2>(image, wc, c, hw, out_w, s, result);
        } else if constexpr (sizeof(E) == 1) {
            box_aligned<E, 4>(image, wc, c, hw, out_w, s, result);
        }
        return;
    }
    if constexpr (sizeof(E) == 1) {
        if (pairs_case(c, s.nw, s.nh, sizeof(E))) {
            switch (s.nh) {
                case 1: box_rows_pairs<1>(image, wc, c, hw, out_w, s, result); break;
                case 2: box_rows_pairs<2>(image, wc, c, hw, out_w, s, result); break;
                case 4: box_rows_pairs<4>(image, wc, c, hw, out_w, s, result); break;
                default: box_rows_pairs<0>(image, wc, c, hw, out_w, s, result); break;
            }
            return;
        }
    }
    Layout lay;
    if (!make_layout(c, s.nw, sizeof(E), lay)) [[unlikely]] {
        return;  // box_supported said otherwise; not reached
    }
    switch (s.nw) {
        case 1: box_avx2_windows<E, 1>(image, wc, c, hw, out_w, s, lay, result); break;
        case 2: box_avx2_windows<E, 2>(image, wc, c, hw, out_w, s, lay, result); break;
        case 4: box_avx2_windows<E, 4>(image, wc, c, hw, out_w, s, lay, result); break;
        default: box_avx2_windows<E, 8>(image, wc, c, hw, out_w, s, lay, result); break;
    }
}

// Replication, one output row at a time: a row whose image row is that of the
// row before is a copy of it; otherwise its image row is converted once to
// float and each vector of eight output values taken from it by index: by one
// unaligned load and a lane permutation when the eight indices lie within
// eight values (every whole-factor upscale), by a gather otherwise. Index
// tables are built once per call, in 32 bits (the caller checks w*c).
template <class E>
[[gnu::target("avx2")]] void replicate_avx2(const E* image, std::uint64_t w, std::uint64_t c,
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

bool box_shape(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
               const float* w_weights, std::uint64_t max, BoxShape& shape) {
    std::uint64_t nh = 0;
    std::uint64_t nw = 0;
    if (!uniform_rows(hw, h_weights, nh) || !uniform_rows(ww, w_weights, nw)) {
        return false;
    }
    const std::uint64_t x0 = ww.first_input[0];
    for (std::size_t j = 0; j < ww.first_input.size(); ++j) {
        if (ww.first_input[j] != x0 + nw * j) {
            return false;
        }
    }
    if (nh * nw * max >= (std::uint64_t{1} << 24)) {
        return false;
    }
    shape = BoxShape{nh, nw, x0, 1.0f / static_cast<float>(nh * nw)};
    return true;
}

bool box_supported(const BoxShape& shape, std::uint64_t c, std::size_t element_bytes) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    Layout lay;
    return avx2 && shape.nh <= 256 && make_layout(c, shape.nw, element_bytes, lay) && lay.windows <= max_windows;
#else
    (void)shape;
    (void)c;
    (void)element_bytes;
    return false;
#endif
}

template <class E>
void run_box(const E* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw, std::uint64_t out_w,
             const BoxShape& shape, float* result) {
#if defined(__x86_64__) || defined(__i386__)
    box_avx2(image, w, c, hw, out_w, shape, result);
#else
    (void)image, (void)w, (void)c, (void)hw, (void)out_w, (void)shape, (void)result;
#endif
}

template void run_box<std::uint8_t>(const std::uint8_t*, std::uint64_t, std::uint64_t, const weights::AxisWeights&,
                                    std::uint64_t, const BoxShape&, float*);
template void run_box<std::uint16_t>(const std::uint16_t*, std::uint64_t, std::uint64_t, const weights::AxisWeights&,
                                     std::uint64_t, const BoxShape&, float*);

bool replicate_shape(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
                     const float* w_weights) {
    std::uint64_t nh = 0;
    std::uint64_t nw = 0;
    return uniform_rows(hw, h_weights, nh) && nh == 1 && uniform_rows(ww, w_weights, nw) && nw == 1;
}

bool replicate_supported() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

namespace {

template <class E>
void replicate(const E* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
               const weights::AxisWeights& ww, float* result) {
#if defined(__x86_64__) || defined(__i386__)
    const std::uint64_t wc = w * c;
    const std::uint64_t out_wc = ww.rows() * c;
    OwnedBuffer<float> row_f = OwnedBuffer<float>::uninitialized(wc, "separable resize: converted row");
    OwnedBuffer<std::int32_t> index = OwnedBuffer<std::int32_t>::uninitialized(out_wc, "separable resize: W index");
    OwnedBuffer<std::int32_t> relative = OwnedBuffer<std::int32_t>::uninitialized(out_wc, "separable resize: W index");
    replicate_avx2(image, w, c, hw, ww, result, row_f.data(), index.data(), relative.data());
#else
    (void)image, (void)w, (void)c, (void)hw, (void)ww, (void)result;
#endif
}

}  // namespace

void run_replicate(const std::uint8_t* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                   const weights::AxisWeights& ww, float* result) {
    replicate(image, w, c, hw, ww, result);
}

void run_replicate(const std::uint16_t* image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                   const weights::AxisWeights& ww, float* result) {
    replicate(image, w, c, hw, ww, result);
}

}  // namespace pellorin::image::box
