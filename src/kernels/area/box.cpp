// Integer images whose every output pixel covers exactly kh x kw whole input
// pixels: the block sums S are exact integers, and the mean is their one
// correctly rounded division by d = kh * kw. An integer result then rounds
// that double half to even, which is the exact rounding of the mean: a mean
// that is a tie is a representable half, and any other lies at least
// 1 / (2 d) from a tie, far more than the division's rounding (S < 2^53).
//
// Every way of computing S gives the same integer; the writers below give
// exactly writers.hpp's conversion of S / d. So the AVX2 shortcuts (byte
// shuffles that put each output's kw inputs side by side for an exact
// multiply-add with ones; integer rounding for powers of two) give the bits
// of the plain loops.
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels/area/kernels.hpp"
#include "kernels/area/paths.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/parallel/partition.hpp"

namespace pellorin::area {

namespace {

struct BoxGeometry {
    std::uint64_t kh, kw, oy, ox, c, stride, out_w;
    std::uint64_t divisor;
    int shift;  // d = 2^shift, or -1
};

// Block sums of output row r into S (out_w * c values); `sums` holds the
// column sums of the kh input rows, out_w * kw * c accumulators. Sums run
// in any order: they are exact.
template <class E, class A>
[[gnu::always_inline]] inline void box_sums(const E* __restrict image, const BoxGeometry& g, std::uint64_t r,
                                            std::uint64_t x_from, A* __restrict sums, A* __restrict totals) {
    // Restrict is safe: sums and totals are this thread's scratch, the image
    // is only read.
    const std::uint64_t span = g.kw * g.c;
    const std::uint64_t n = (g.out_w - x_from) * span;
    const E* __restrict first = image + (g.oy + r * g.kh) * g.stride + (g.ox + x_from * g.kw) * g.c;
    for (std::uint64_t j = 0; j < n; ++j) {
        sums[j] = static_cast<A>(first[j]);
    }
    for (std::uint64_t i = 1; i < g.kh; ++i) {
        const E* __restrict row = first + i * g.stride;
        for (std::uint64_t j = 0; j < n; ++j) {
            sums[j] += static_cast<A>(row[j]);
        }
    }
    for (std::uint64_t x = x_from; x < g.out_w; ++x) {
        const A* __restrict block = sums + (x - x_from) * span;
        for (std::uint64_t ch = 0; ch < g.c; ++ch) {
            A total = block[ch];
            for (std::uint64_t t = 1; t < g.kw; ++t) {
                total += block[t * g.c + ch];
            }
            totals[x * g.c + ch] = total;
        }
    }
}

// S / d as a double, correctly rounded (d a power of two: exact).
template <class A>
[[gnu::always_inline]] inline void box_means(const A* __restrict totals, std::uint64_t n, double divisor,
                                             double* __restrict s) {
    for (std::uint64_t i = 0; i < n; ++i) {
        s[i] = static_cast<double>(totals[i]) / divisor;
    }
}

template <class E, class A>
[[gnu::flatten]] void box_sums_baseline(const E* image, const BoxGeometry& g, std::uint64_t r, A* sums, A* totals) {
    box_sums<E, A>(image, g, r, 0, sums, totals);
}
template <class A>
[[gnu::flatten]] void box_means_baseline(const A* totals, std::uint64_t n, double divisor, double* s) {
    box_means<A>(totals, n, divisor, s);
}

#if defined(__x86_64__)
template <class E, class A>
[[gnu::target("avx2"), gnu::flatten]] void box_sums_generic_avx2(const E* image, const BoxGeometry& g, std::uint64_t r,
                                                                 std::uint64_t x_from, A* sums, A* totals) {
    box_sums<E, A>(image, g, r, x_from, sums, totals);
}
template <class A>
[[gnu::target("avx2"), gnu::flatten]] void box_means_avx2(const A* totals, std::uint64_t n, double divisor, double* s) {
    box_means<A>(totals, n, divisor, s);
}

// Byte shuffles for uint8 images, kw in {2, 3, 4} and 1 to 4 channels: each
// 16-byte lane holds `groups` groups of kw pixels, rearranged so that the
// kw values of one output element sit in consecutive slots of `slot` bytes
// (2, or 4 with zeros), in output order. A multiply-add with ones sums the
// pairs into 16-bit values; with 4-byte slots a second one sums those pairs
// into 32-bit values.
struct ByteShuffle {
    alignas(16) std::int8_t mask[16];
    unsigned lane_bytes;  // input bytes a lane consumes
    unsigned sums;        // output elements a lane gives (its first ones)
    unsigned slot;        // 2 or 4
};

bool byte_shuffle(std::uint64_t kw, std::uint64_t c, ByteShuffle& out) {
    if (kw < 2 || kw > 4 || c < 1 || c > 4) {
        return false;
    }
    out.slot = kw == 2 ? 2 : 4;
    const unsigned group_bytes = static_cast<unsigned>(kw * c);
    const unsigned groups = 16 / static_cast<unsigned>(out.slot * c);
    out.lane_bytes = groups * group_bytes;
    out.sums = groups * static_cast<unsigned>(c);
    for (std::int8_t& m : out.mask) {
        m = static_cast<std::int8_t>(0x80);  // a zero byte
    }
    for (std::size_t g = 0; g < groups; ++g) {
        for (std::size_t ch = 0; ch < c; ++ch) {
            for (std::size_t t = 0; t < kw; ++t) {
                const std::size_t slot_byte = (g * c + ch) * out.slot + t;
                out.mask[slot_byte] = static_cast<std::int8_t>(g * group_bytes + t * c + ch);
            }
        }
    }
    return true;
}

// What the shuffled sums of one step become: 32-bit totals (any divisor,
// any result type), or, for a power-of-two divisor, the uint8 or float
// results themselves (the formulas of write_bytes_pow2 and
// write_floats_pow2, on the values still in registers).
enum class BoxOut { totals, bytes, floats };

// Rounds half to even S / 2^k, k = shift, in lanes of 16 or 32 bits.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i round_pow2_16(__m256i s, __m128i k, __m256i bias) {
    const __m256i odd = _mm256_and_si256(_mm256_srl_epi16(s, k), _mm256_set1_epi16(1));
    return _mm256_srl_epi16(_mm256_add_epi16(_mm256_add_epi16(s, bias), odd), k);
}
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i round_pow2_32(__m256i s, __m128i k, __m256i bias) {
    const __m256i odd = _mm256_and_si256(_mm256_srl_epi32(s, k), _mm256_set1_epi32(1));
    return _mm256_srl_epi32(_mm256_add_epi32(_mm256_add_epi32(s, bias), odd), k);
}

// Block sums of uint8 output row r with the shuffles, into `dst` (totals
// of the row, or the row's results); returns the first output pixel left
// for box_sums: the one whose loads would pass the row's input, or whose
// stores would pass the row's output.
template <BoxOut O, int KH, unsigned SLOT>
[[gnu::target("avx2")]] std::uint64_t box_sums_shuffled(const std::uint8_t* image, const BoxGeometry& g,
                                                        const ByteShuffle& sh, std::uint64_t r, void* dst) {
    // Local copies: the compiler need not reload them after each store.
    const std::uint64_t kh = KH > 0 ? static_cast<std::uint64_t>(KH) : g.kh;
    const std::uint64_t stride = g.stride;
    const std::uint64_t lane_bytes = sh.lane_bytes;
    const std::uint64_t sums = sh.sums;
    const __m256i mask = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(sh.mask)));
    const __m256i ones8 = _mm256_set1_epi8(1);
    const __m256i ones16 = _mm256_set1_epi16(1);
    const __m128i k = _mm_cvtsi32_si128(g.shift < 0 ? 0 : g.shift);
    const __m256i bias16 = _mm256_set1_epi16(static_cast<short>(g.shift > 0 ? (1 << (g.shift - 1)) - 1 : 0));
    const __m256i bias32 = _mm256_set1_epi32(g.shift > 0 ? (1 << (g.shift - 1)) - 1 : 0);
    const __m256 scale = _mm256_set1_ps(1.0f / static_cast<float>(g.divisor));
    const std::uint8_t* first = image + (g.oy + r * g.kh) * stride + g.ox * g.c;
    const std::uint64_t used = g.out_w * g.kw * g.c;  // input bytes of the row's segment
    const std::uint64_t outputs = g.out_w * g.c;
    // Values a lane's store writes: its `sums` and what follows, which the
    // next store (or the tail) overwrites.
    constexpr std::uint64_t span = O == BoxOut::totals ? 0 : (SLOT == 2 ? 8 : 4);
    const std::uint64_t pixels_per_step = 2 * sums / g.c;
    std::uint64_t in = 0;
    std::uint64_t out = 0;
    std::uint64_t x = 0;
    // Each step reads 16 bytes at `in` and at `in + lane_bytes`.
    while (in + lane_bytes + 16 <= used && out + sums + span <= outputs) {
        __m256i acc = _mm256_setzero_si256();
        for (std::uint64_t i = 0; i < kh; ++i) {
            const std::uint8_t* p = first + i * stride + in;
            // The stream of each row a few cache lines ahead.
            _mm_prefetch(reinterpret_cast<const char*>(p) + 512, _MM_HINT_T0);
            const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + lane_bytes),
                                                      reinterpret_cast<const __m128i*>(p));
            const __m256i pairs = _mm256_maddubs_epi16(_mm256_shuffle_epi8(bytes, mask), ones8);
            if constexpr (SLOT == 2) {
                acc = _mm256_add_epi16(acc, pairs);
            } else {
                acc = _mm256_add_epi32(acc, _mm256_madd_epi16(pairs, ones16));
            }
        }
        // The first `sums` values of each lane; stores overlap and run
        // forward, so each is completed by the next.
        if constexpr (O == BoxOut::totals) {
            auto* totals = static_cast<std::uint32_t*>(dst);
            if constexpr (SLOT == 2) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(totals + out),
                                    _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc)));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(totals + out + sums),
                                    _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1)));
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + out), _mm256_castsi256_si128(acc));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(totals + out + sums), _mm256_extracti128_si256(acc, 1));
            }
        } else if constexpr (O == BoxOut::bytes) {
            auto* row = static_cast<std::uint8_t*>(dst);
            if constexpr (SLOT == 2) {
                // Sums of at most 128 rows of pairs: S + bias + 1 < 2^16.
                const __m256i q = _mm256_packus_epi16(round_pow2_16(acc, k, bias16), _mm256_setzero_si256());
                _mm_storel_epi64(reinterpret_cast<__m128i*>(row + out), _mm256_castsi256_si128(q));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(row + out + sums), _mm256_extracti128_si256(q, 1));
            } else {
                const __m256i words = _mm256_packus_epi32(round_pow2_32(acc, k, bias32), _mm256_setzero_si256());
                const __m256i q = _mm256_packus_epi16(words, _mm256_setzero_si256());
                const int lo = _mm_cvtsi128_si32(_mm256_castsi256_si128(q));
                const int hi = _mm_cvtsi128_si32(_mm256_extracti128_si256(q, 1));
                std::memcpy(row + out, &lo, 4);
                std::memcpy(row + out + sums, &hi, 4);
            }
        } else {
            auto* row = static_cast<float*>(dst);
            if constexpr (SLOT == 2) {
                const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc)));
                const __m256 hi = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1)));
                _mm256_storeu_ps(row + out, _mm256_mul_ps(lo, scale));
                _mm256_storeu_ps(row + out + sums, _mm256_mul_ps(hi, scale));
            } else {
                const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(acc), scale);
                _mm_storeu_ps(row + out, _mm256_castps256_ps128(f));
                _mm_storeu_ps(row + out + sums, _mm256_extractf128_ps(f, 1));
            }
        }
        in += 2 * lane_bytes;
        out += 2 * sums;
        x += pixels_per_step;
    }
    return x;
}

// The kernel for the shuffle's slot size and, for two rows, the row count.
template <BoxOut O>
std::uint64_t box_sums_dispatch(const std::uint8_t* image, const BoxGeometry& g, const ByteShuffle& sh, std::uint64_t r,
                                void* dst) {
    if (sh.slot == 2) {
        return g.kh == 2 ? box_sums_shuffled<O, 2, 2>(image, g, sh, r, dst)
                         : box_sums_shuffled<O, 0, 2>(image, g, sh, r, dst);
    }
    return g.kh == 4 ? box_sums_shuffled<O, 4, 4>(image, g, sh, r, dst)
                     : box_sums_shuffled<O, 0, 4>(image, g, sh, r, dst);
}

// uint8 results of a power-of-two divisor 2^k: round half to even of S / 2^k
// in integers, (S + 2^(k-1) - 1 + ((S >> k) & 1)) >> k, eight at a time.
[[gnu::target("avx2")]] std::uint64_t write_bytes_pow2(const std::uint32_t* totals, std::uint64_t n, int shift,
                                                       std::uint8_t* out) {
    const __m128i k = _mm_cvtsi32_si128(shift);
    const __m256i bias = _mm256_set1_epi32((1 << (shift - 1)) - 1);
    const __m256i one = _mm256_set1_epi32(1);
    std::uint64_t i = 0;
    for (; n - i >= 16; i += 16) {
        __m256i q[2];
        for (std::size_t h = 0; h < 2; ++h) {
            const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(totals + i + 8 * h));
            const __m256i odd = _mm256_and_si256(_mm256_srl_epi32(s, k), one);
            q[h] = _mm256_srl_epi32(_mm256_add_epi32(_mm256_add_epi32(s, bias), odd), k);
        }
        // Values <= 255: packs never saturate; the permutes undo the
        // per-lane interleaving of the packs.
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(q[0], q[1]), 0xD8);
        const __m256i bytes = _mm256_packus_epi16(words, words);
        const __m256i ordered = _mm256_permute4x64_epi64(bytes, 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(ordered));
    }
    return i;
}

// float results of a power-of-two divisor: S < 2^24 converts exactly, and
// the product by 2^-k is exact: the same float as (float)((double)S / d).
[[gnu::target("avx2")]] std::uint64_t write_floats_pow2(const std::uint32_t* totals, std::uint64_t n, float scale,
                                                        float* out) {
    const __m256 f = _mm256_set1_ps(scale);
    std::uint64_t i = 0;
    for (; n - i >= 8; i += 8) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(totals + i));
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(s), f));
    }
    return i;
}
#endif

template <class E, class A>
void run_typed(const AreaJob& job, const BoxGeometry& g) {
    const std::uint64_t out_elements = g.out_w * g.c;
    const std::uint64_t row_bytes = out_elements * target_bytes(job.target);
    struct Scratch {
        OwnedBuffer<A> sums;
        OwnedBuffer<A> totals;
        OwnedBuffer<double> s;
    };
    std::vector<Scratch> scratch(job.threads == 0 ? 1 : job.threads);
    const E* image = static_cast<const E*>(job.image);
    auto* out = static_cast<char*>(job.out);
#if defined(__x86_64__)
    ByteShuffle shuffle{};
    const ByteShuffle* sh = nullptr;
    if constexpr (std::is_same_v<E, std::uint8_t> && std::is_same_v<A, std::uint32_t>) {
        // 16-bit lanes hold the sums of kh rows of pairs while kh * 510 fits.
        if (byte_shuffle(g.kw, g.c, shuffle) && (shuffle.slot == 4 || g.kh <= 128)) {
            sh = &shuffle;
        }
    }
    // Means of uint8 images fit a byte: the packs of write_bytes_pow2 never saturate.
    const bool bytes_pow2 =
        std::is_same_v<E, std::uint8_t> && std::is_same_v<A, std::uint32_t> && job.target == Target::U8 && g.shift > 0;
    const bool floats_pow2 = std::is_same_v<A, std::uint32_t> && job.target == Target::F32 && g.shift >= 0 &&
                             g.divisor * (std::is_same_v<E, std::uint8_t> ? 255 : 65535) < (1u << 24);
#endif
    const std::uint64_t grain = row_grain(job, g.kh * g.out_w * g.kw * g.c);
    parallel::for_each_chunk(job.rows.out_n, grain, job.threads, [&](std::uint64_t r0, std::uint64_t r1, unsigned who) {
        Scratch& mine = scratch[who];
        if (mine.sums.empty()) {
            // totals: 8 spare values for the overlapping vector stores.
            mine.sums = OwnedBuffer<A>::uninitialized(g.out_w * g.kw * g.c, "resize block sums");
            mine.totals = OwnedBuffer<A>::uninitialized(out_elements + 8, "resize block sums");
            mine.s = OwnedBuffer<double>::uninitialized(out_elements, "resize row buffer");
        }
        for (std::uint64_t r = r0; r < r1; ++r) {
            char* row = out + r * row_bytes;
            A* totals = mine.totals.data();
#if defined(__x86_64__)
            if (job.isa == Isa::Avx2) {
                std::uint64_t done = 0;  // output elements written
                std::uint64_t x = 0;
                if constexpr (std::is_same_v<E, std::uint8_t> && std::is_same_v<A, std::uint32_t>) {
                    if (sh != nullptr) {
                        if (bytes_pow2) {
                            x = box_sums_dispatch<BoxOut::bytes>(image, g, *sh, r, row);
                            done = x * g.c;
                        } else if (floats_pow2) {
                            x = box_sums_dispatch<BoxOut::floats>(image, g, *sh, r, row);
                            done = x * g.c;
                        } else {
                            x = box_sums_dispatch<BoxOut::totals>(image, g, *sh, r, totals);
                        }
                    }
                }
                if (x < g.out_w) {
                    box_sums_generic_avx2<E, A>(image, g, r, x, mine.sums.data(), totals);
                }
                if constexpr (std::is_same_v<A, std::uint32_t>) {
                    char* at = row + done * target_bytes(job.target);
                    if (bytes_pow2) {
                        done += write_bytes_pow2(totals + done, out_elements - done, g.shift,
                                                 reinterpret_cast<std::uint8_t*>(at));
                    } else if (floats_pow2) {
                        done += write_floats_pow2(totals + done, out_elements - done,
                                                  1.0f / static_cast<float>(g.divisor), reinterpret_cast<float*>(at));
                    }
                }
                if (done < out_elements) {
                    box_means_avx2<A>(totals + done, out_elements - done, static_cast<double>(g.divisor),
                                      mine.s.data());
                    write(job.isa, job.target, mine.s.data(), row + done * target_bytes(job.target),
                          out_elements - done);
                }
                continue;
            }
#endif
            box_sums_baseline<E, A>(image, g, r, mine.sums.data(), totals);
            box_means_baseline<A>(totals, out_elements, static_cast<double>(g.divisor), mine.s.data());
            write(job.isa, job.target, mine.s.data(), row, out_elements);
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
    g.divisor = g.kh * g.kw;
    g.shift = -1;
    for (int k = 0; k < 63; ++k) {
        if (g.divisor == std::uint64_t{1} << k) {
            g.shift = k;
        }
    }
    const bool narrow = g.divisor * largest_value(job.element) < (std::uint64_t{1} << 32);
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
