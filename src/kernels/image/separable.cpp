#include "kernels/image/separable.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "kernels/common/panic.hpp"
#include "kernels/image/lanes.hpp"
#include "kernels/image/shortcuts.hpp"
#include "kernels/weights/normalized_rows.hpp"

namespace pellorin::image {
namespace {

using weights::AxisWeights;

[[noreturn, gnu::cold, gnu::noinline]] void size_overflow(const char* what) {
    panic(std::string("separable resize: ") + what + " overflows 64 bits");
}

std::uint64_t mul_or_panic(std::uint64_t a, std::uint64_t b, const char* what) {
    std::uint64_t out = 0;
    if (!checked_mul(a, b, out)) [[unlikely]] {
        size_overflow(what);
    }
    return out;
}

// Elements per tile of the H pass: an intermediate tile of this many values
// stays in the first-level cache while every entry of its row is added in.
constexpr std::size_t h_tile = 2048;

// dst[p] = (((acc0 + w0*s0[p]) + w1*s1[p]) + w2*s2[p]) + w3*s3[p] for N = 4
// (fewer terms for N < 4), where acc0 is dst[p], or +0.0 when Fresh (the
// first sweep over a row, which is then written without being read; the
// first product is still added to +0.0, as in a sum that starts there, which
// turns a product of -0.0 into +0.0).
// Terms in the given order, each product rounded to W before its sum.
// Elements are independent, so the loop vectorises without changing a bit.
// Restrict is safe: dst lies in the intermediate buffer owned by the call, the
// sources in the caller's image; the sources are only read.
template <int N, bool Fresh, class E, class W>
[[gnu::always_inline]] inline void add_rows(W* __restrict dst, std::size_t n, const W* __restrict wt,
                                            const E* __restrict s0, const E* __restrict s1, const E* __restrict s2,
                                            const E* __restrict s3) {
    const W w0 = wt[0];
    const W w1 = N > 1 ? wt[1] : W(0);
    const W w2 = N > 2 ? wt[2] : W(0);
    const W w3 = N > 3 ? wt[3] : W(0);
    for (std::size_t p = 0; p < n; ++p) {
        W acc = Fresh ? W(0) : dst[p];
        acc = acc + w0 * static_cast<W>(s0[p]);
        if constexpr (N > 1) acc = acc + w1 * static_cast<W>(s1[p]);
        if constexpr (N > 2) acc = acc + w2 * static_cast<W>(s2[p]);
        if constexpr (N > 3) acc = acc + w3 * static_cast<W>(s3[p]);
        dst[p] = acc;
    }
}

// dst[p] = the sum from +0.0 of wt[m] * conv(src[m*stride + p]) over
// m = 0 .. count - 1 (count >= 1) in ascending m, four terms per sweep.
template <class E, class W>
[[gnu::always_inline]] inline void add_entries(W* dst, std::size_t n, const W* wt, const E* src, std::uint64_t stride,
                                               std::uint64_t count) {
    bool fresh = true;
    while (count > 0) {
        const E* const s1 = count > 1 ? src + stride : src;
        const E* const s2 = count > 2 ? src + 2 * stride : src;
        const E* const s3 = count > 3 ? src + 3 * stride : src;
        const std::uint64_t step = std::min<std::uint64_t>(count, 4);
        if (fresh) {
            switch (step) {
                case 4: add_rows<4, true>(dst, n, wt, src, s1, s2, s3); break;
                case 3: add_rows<3, true>(dst, n, wt, src, s1, s2, s3); break;
                case 2: add_rows<2, true>(dst, n, wt, src, s1, s2, s3); break;
                default: add_rows<1, true>(dst, n, wt, src, s1, s2, s3); break;
            }
        } else {
            switch (step) {
                case 4: add_rows<4, false>(dst, n, wt, src, s1, s2, s3); break;
                case 3: add_rows<3, false>(dst, n, wt, src, s1, s2, s3); break;
                case 2: add_rows<2, false>(dst, n, wt, src, s1, s2, s3); break;
                default: add_rows<1, false>(dst, n, wt, src, s1, s2, s3); break;
            }
        }
        fresh = false;
        wt += step;
        src += step * stride;
        count -= step;
    }
}

// H pass of output row i into dst_row (w*c values): dst_row receives
// wH[k] * conv(image row r_k) for the entries k of H row i in ascending k.
// The row is processed in tiles that stay in the first-level cache; within a
// tile the entries are applied in ascending k, so every element still
// receives its terms in ascending k, starting from +0.0. The first sweep
// over a tile never reads dst_row, so the row may hold anything before. A
// row without entries is written as +0.0.
template <class E, class W>
[[gnu::always_inline]] inline void h_pass_row(const E* image, std::uint64_t wc, const AxisWeights& hw, const W* weights,
                                              std::uint64_t i, W* dst_row) {
    const std::uint64_t lo = hw.row_offsets[i];
    const std::uint64_t hi = hw.row_offsets[i + 1];
    if (lo == hi) {
        std::fill(dst_row, dst_row + wc, W(0));
        return;
    }
    const E* const first_row = image + hw.first_input[i] * wc;
    for (std::uint64_t p0 = 0; p0 < wc; p0 += h_tile) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(h_tile, wc - p0));
        add_entries(dst_row + p0, n, weights + lo, first_row + p0, wc, hi - lo);
    }
}

// Lanes of the W pass: a block of w_lanes output rows is computed side by
// side, one row per lane, from a transposed copy of their intermediate rows
// (lanes.hpp). Every row uses the same W row weights, so each lane receives
// exactly the terms, in exactly the order, of the one-row computation.
using lanes::from_lanes;
using lanes::to_lanes;
using lanes::w_lanes;

// Values (x*c + ch positions) per transposed tile and per output tile, so that
// a tile of w_lanes rows stays in the first-level cache.
constexpr std::uint64_t w_tile = 512;

// One output row of the W pass, element by element: used for the rows that
// do not fill a block. result (i, j, ch) = sum over the entries k of W row j,
// in ascending k, of wW[k] * intermediate (i, x_k, ch), starting from +0.0.
template <class W>
[[gnu::always_inline]] inline void w_pass_row(const W* src_row, W* dst_row, std::uint64_t c, const AxisWeights& ww,
                                              const W* weights) {
    const std::size_t out_w = ww.first_input.size();
    for (std::size_t j = 0; j < out_w; ++j) {
        const std::uint64_t lo = ww.row_offsets[j];
        const std::uint64_t hi = ww.row_offsets[j + 1];
        const W* const src = src_row + ww.first_input[j] * c;
        W* const dst = dst_row + j * c;
        for (std::uint64_t ch = 0; ch < c; ++ch) {
            W acc = W(0);
            for (std::uint64_t k = lo; k < hi; ++k) {
                acc = acc + weights[k] * src[(k - lo) * c + ch];
            }
            dst[ch] = acc;
        }
    }
}

// The lanes of one position (8 floats or 4 doubles, 32 bytes) as a value of
// the compiler's generic vector type: its + and * act lane by lane, each
// rounded exactly as the scalar operation, and with contraction off they
// stay separate.
template <class W>
struct WorkVector;
// `unaligned` is the same vector at the alignment of one element, which may
// alias the element type: loads and stores through it are single unaligned
// vector moves (a memcpy of 32 bytes may be split into halves, which then
// cannot be forwarded from the whole-vector store before it).
template <>
struct WorkVector<float> {
    typedef float type __attribute__((vector_size(32)));
    typedef float unaligned __attribute__((vector_size(32), aligned(4), may_alias));
};
template <>
struct WorkVector<double> {
    typedef double type __attribute__((vector_size(32)));
    typedef double unaligned __attribute__((vector_size(32), aligned(8), may_alias));
};
template <class W>
using work_vector_t = typename WorkVector<W>::type;

// Vectors pass by reference only: a 32-byte vector by value would depend on
// the instruction set in the calling convention.
template <class W>
[[gnu::always_inline]] inline void load_vector(work_vector_t<W>& v, const W* p) {
    v = *reinterpret_cast<const typename WorkVector<W>::unaligned*>(p);
}

template <class W>
[[gnu::always_inline]] inline void store_vector(W* p, const work_vector_t<W>& v) {
    *reinterpret_cast<typename WorkVector<W>::unaligned*>(p) = v;
}

// A run of output columns j0 .. j1 - 1 whose entries read the intermediate
// positions q0 .. q0 + nq - 1 (x*c + ch), few enough for one tile of lanes.
struct WChunk {
    std::uint64_t j0;
    std::uint64_t j1;
    std::uint64_t q0;
    std::uint64_t nq;
};

// Splits the output columns into chunks, once per call: a chunk grows while
// its input span stays within w_tile positions and its outputs within w_tile
// values; it holds one column at least, however wide. Returns the count.
std::size_t plan_chunks(const AxisWeights& ww, std::uint64_t c, WChunk* chunks) {
    const std::size_t out_w = ww.first_input.size();
    std::size_t count = 0;
    std::size_t j0 = 0;
    while (j0 < out_w) {
        std::uint64_t xa = UINT64_MAX;
        std::uint64_t xb = 0;
        std::size_t j1 = j0;
        while (j1 < out_w) {
            const std::uint64_t len = ww.row_offsets[j1 + 1] - ww.row_offsets[j1];
            std::uint64_t na = xa;
            std::uint64_t nb = xb;
            if (len > 0) {
                na = std::min(xa, ww.first_input[j1]);
                nb = std::max(xb, ww.first_input[j1] + len);
            }
            const bool fits = (nb > na ? (nb - na) * c : 0) <= w_tile && (j1 + 1 - j0) * c <= w_tile;
            if (!fits && j1 > j0) {
                break;
            }
            xa = na;
            xb = nb;
            ++j1;
        }
        chunks[count++] = xb > xa ? WChunk{j0, j1, xa * c, (xb - xa) * c} : WChunk{j0, j1, 0, 0};
        j0 = j1;
    }
    return count;
}

// Accumulates the lanes of one chunk: for each (j, ch) of the chunk, lane b
// of t_out at ((j - j0)*c + ch)*L is the sum over the entries k of W row j,
// in ascending k, of wW[k] * lane b of t_in at position x_k*c + ch - q0,
// starting from +0.0, each product rounded before its sum. Lanes are
// independent rows. C is the channel count when fixed at compile time (the
// channels of a column then accumulate side by side), 0 when read from c.
template <std::size_t C, class W>
[[gnu::always_inline]] inline void accumulate_chunk(const WChunk& chunk, std::uint64_t c_run, const AxisWeights& ww,
                                                    const W* weights, const W* t_in, W* t_out) {
    using V = work_vector_t<W>;
    constexpr std::size_t L = w_lanes<W>;
    static_assert(sizeof(V) == L * sizeof(W));
    const std::uint64_t c = C != 0 ? C : c_run;
    for (std::uint64_t j = chunk.j0; j < chunk.j1; ++j) {
        const std::uint64_t lo = ww.row_offsets[j];
        const std::uint64_t hi = ww.row_offsets[j + 1];
        W* const o = t_out + (j - chunk.j0) * c * L;
        // Position of input column first_input[j] in the tile; a column
        // without entries reads nothing and gives +0.0.
        const W* t = t_in + (hi > lo ? ww.first_input[j] * c - chunk.q0 : 0) * L;
        if constexpr (C != 0) {
            V acc[C];
            for (std::size_t ch = 0; ch < C; ++ch) {
                acc[ch] = V{};
            }
            for (std::uint64_t k = lo; k < hi; ++k, t += C * L) {
                const W wt = weights[k];
                for (std::size_t ch = 0; ch < C; ++ch) {
                    V v;
                    load_vector(v, t + ch * L);
                    acc[ch] = acc[ch] + wt * v;
                }
            }
            for (std::size_t ch = 0; ch < C; ++ch) {
                store_vector(o + ch * L, acc[ch]);
            }
        } else {
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                V acc = V{};
                const W* tc = t + ch * L;
                for (std::uint64_t k = lo; k < hi; ++k, tc += c * L) {
                    V v;
                    load_vector(v, tc);
                    acc = acc + weights[k] * v;
                }
                store_vector(o + ch * L, acc);
            }
        }
    }
}

// W pass over a block of L = w_lanes intermediate rows src[0 .. L-1] into the
// result rows dst[0 .. L-1], chunk by chunk: the L rows over the chunk's
// input positions are moved into lanes so that the L values of one (x, ch)
// are contiguous, every (j, ch) of the chunk is accumulated in L independent
// lanes (the loop over lanes vectorises), and the lanes are moved back into
// the L result rows. Every value of the L result rows is written.
template <std::size_t C, Isa I, class W>
[[gnu::always_inline]] inline void w_pass_block(const W* const* src, W* const* dst, std::uint64_t c,
                                                const WChunk* chunks, std::size_t n_chunks, const AxisWeights& ww,
                                                const W* weights, W* t_in, W* t_out) {
    constexpr std::size_t L = w_lanes<W>;
    for (std::size_t m = 0; m < n_chunks; ++m) {
        const WChunk& chunk = chunks[m];
        if (chunk.nq > 0) {
            const W* from[L];
            for (std::size_t b = 0; b < L; ++b) {
                from[b] = src[b] + chunk.q0;
            }
            to_lanes<I>(from, chunk.nq, t_in);
        }
        accumulate_chunk<C>(chunk, c, ww, weights, t_in, t_out);
        W* to[L];
        for (std::size_t b = 0; b < L; ++b) {
            to[b] = dst[b] + chunk.j0 * c;
        }
        from_lanes<I>(t_out, (chunk.j1 - chunk.j0) * c, to);
    }
}

// Everything one call of the passes reads and writes; the buffers are
// allocated by the caller, once per call.
template <class E, class W>
struct Passes {
    const E* image;
    std::uint64_t wc;
    std::uint64_t c;
    const AxisWeights* hw;
    const AxisWeights* ww;
    const W* h_weights;    // normalized H rows
    const W* w_weights;    // normalized W rows
    const WChunk* chunks;  // the W pass's chunks
    std::size_t n_chunks;
    W* strip;                     // strip_rows intermediate rows of w*c values
    std::uint64_t strip_rows;     // a multiple of w_lanes<W>, or out_h when smaller
    W* t_in;                      // lanes in: (position q, lane b) at q*L + b
    W* t_out;                     // lanes out: (position r, lane b) at r*L + b
    W* result;                    // out_h * out_w * c values
    const std::uint8_t* repeats;  // repeats[i] != 0: H row i repeats row i - 1 (never for row 0)
};

// True when H row i has the same entries as row i - 1: the same first input
// row, the same count and bit for bit the same weights. The intermediate
// rows, and so the result rows, are then equal bit for bit.
template <class W>
bool repeats_previous(const AxisWeights& hw, const W* weights, std::uint64_t i) {
    const std::uint64_t lo = hw.row_offsets[i];
    const std::uint64_t hi = hw.row_offsets[i + 1];
    const std::uint64_t prev = hw.row_offsets[i - 1];
    return hw.first_input[i] == hw.first_input[i - 1] && hi - lo == lo - prev &&
           std::memcmp(weights + prev, weights + lo, (hi - lo) * sizeof(W)) == 0;
}

// The passes, strip by strip. A strip takes up to strip_rows output rows
// that differ from their predecessor (the first row of a strip always
// counts as differing), together with the repeats that follow them. H pass
// of those rows into the strip; W pass of the strip into their result rows,
// in blocks of w_lanes rows and the rest one by one; then each repeat is
// copied from the row before it, which holds the same bits it would
// compute. Each intermediate value is complete (all its H terms added)
// before the W pass reads it, and every value receives the same terms in the
// same order as with an intermediate of all out_h rows.
template <std::size_t C, Isa I, class E, class W>
[[gnu::always_inline]] inline void run_passes(const Passes<E, W>& a) {
    constexpr std::size_t L = w_lanes<W>;
    const AxisWeights& hw = *a.hw;
    const std::uint64_t out_h = hw.rows();
    const std::uint64_t out_wc = a.ww->rows() * a.c;
    std::uint64_t i0 = 0;
    while (i0 < out_h) {
        // H pass: rows i0 .. i1 - 1, the distinct ones into strip rows.
        std::uint64_t used = 0;
        std::uint64_t i1 = i0;
        while (i1 < out_h && (used < a.strip_rows || a.repeats[i1] != 0)) {
            if (i1 == i0 || a.repeats[i1] == 0) {
                h_pass_row(a.image, a.wc, hw, a.h_weights, i1, a.strip + used * a.wc);
                ++used;
            }
            ++i1;
        }
        // W pass of the strip rows, in the order they were filled.
        const W* src[L];
        W* dst[L];
        std::size_t lanes = 0;
        std::uint64_t slot = 0;
        for (std::uint64_t i = i0; i < i1; ++i) {
            if (i != i0 && a.repeats[i] != 0) {
                continue;
            }
            src[lanes] = a.strip + slot * a.wc;
            dst[lanes] = a.result + i * out_wc;
            ++slot;
            if (++lanes == L) {
                w_pass_block<C, I>(src, dst, a.c, a.chunks, a.n_chunks, *a.ww, a.w_weights, a.t_in, a.t_out);
                lanes = 0;
            }
        }
        for (std::size_t b = 0; b < lanes; ++b) {
            w_pass_row(src[b], dst[b], a.c, *a.ww, a.w_weights);
        }
        // Repeats, in ascending order, each from the complete row before it.
        for (std::uint64_t i = i0 + 1; i < i1; ++i) {
            if (a.repeats[i] != 0) {
                std::memcpy(a.result + i * out_wc, a.result + (i - 1) * out_wc, out_wc * sizeof(W));
            }
        }
        i0 = i1;
    }
}

template <Isa I, class E, class W>
[[gnu::always_inline]] inline void run_passes_for_channels(const Passes<E, W>& a) {
    switch (a.c) {
        case 1: run_passes<1, I>(a); break;
        case 2: run_passes<2, I>(a); break;
        case 3: run_passes<3, I>(a); break;
        case 4: run_passes<4, I>(a); break;
        default: run_passes<0, I>(a); break;
    }
}

// The passes compiled once per instruction set. All give the same bits: the
// arithmetic is the same sequence of rounded single operations (contraction
// stays off, and AVX2 brings no fused multiply-add), only the number of
// independent elements per instruction differs.
template <class E, class W>
[[gnu::flatten]] void run_passes_baseline(const Passes<E, W>& a) {
    run_passes_for_channels<Isa::Baseline>(a);
}

#if PELLORIN_AVX2_VARIANTS
template <class E, class W>
[[gnu::target("avx2"), gnu::flatten]] void run_passes_avx2(const Passes<E, W>& a) {
    run_passes_for_channels<Isa::Avx2>(a);
}
#endif

// `isa` was accepted by require_isa.
template <class E, class W>
void dispatch_passes(const Passes<E, W>& a, Isa isa) {
    switch (isa) {
        case Isa::Avx2:
#if PELLORIN_AVX2_VARIANTS
            run_passes_avx2(a);
            return;
#else
            break;
#endif
        case Isa::Baseline: run_passes_baseline(a); return;
    }
    panic(std::string("separable resize: no passes for instruction set ") + isa_name(isa));
}

// Bytes of intermediate rows per strip: the strip stays in the second-level
// cache between its H pass and its W pass.
constexpr std::uint64_t strip_bytes = std::uint64_t{256} * 1024;

}  // namespace

template <class E>
OwnedBuffer<work_t<E>> separable_resize(std::span<const E> image, std::uint64_t w, std::uint64_t c,
                                        const AxisWeights& h_weights, const AxisWeights& w_weights, Isa isa) {
    require_isa(isa, "separable resize");
    using W = work_t<E>;
    constexpr std::size_t L = w_lanes<W>;
    const std::uint64_t out_h = h_weights.rows();
    const std::uint64_t out_w = w_weights.rows();
    const std::uint64_t wc = mul_or_panic(w, c, "w*c");
    const std::uint64_t result_n = mul_or_panic(mul_or_panic(out_h, out_w, "out_h*out_w"), c, "out_h*out_w*c");
    // The rows' own invariants were checked where the weights were made; what
    // remains is that they were made for this image (in_n = w columns, and no
    // more rows than the buffer holds). The passes index without checks.
    panic_unless(w_weights.in_n == w, "separable resize: W weights made for another width");
    panic_unless(wc == 0 || h_weights.in_n <= image.size() / wc, "separable resize: H weights reach past the image");

    const OwnedBuffer<W> h_row_weights = weights::normalized_rows<W>(h_weights.row_weights, h_weights.row_offsets);
    const OwnedBuffer<W> w_row_weights = weights::normalized_rows<W>(w_weights.row_weights, w_weights.row_offsets);

    // Integer images whose rows make every step exact take a shortcut with
    // the same bits, where `isa` has one (shortcuts.hpp).
    if constexpr (std::is_integral_v<E>) {
        OwnedBuffer<W> result;
        if (resize_by_shortcut(image, w, c, h_weights, h_row_weights.data(), w_weights, w_row_weights.data(), result_n,
                               isa, result)) {
            return result;
        }
    }

    // The intermediate rows are produced and consumed a strip at a time, in
    // one strip buffer allocated once per call; every value still receives
    // the same terms in the same order as with all out_h rows held at once.
    // Nothing in the strip is read before it is written (see h_pass_row), so
    // it is not zero-filled.
    std::uint64_t strip_rows = wc == 0 ? L : std::max<std::uint64_t>(1, strip_bytes / sizeof(W) / wc);
    strip_rows = std::max<std::uint64_t>(L, strip_rows / L * L);
    strip_rows = std::min(strip_rows, out_h);
    OwnedBuffer<W> strip =
        OwnedBuffer<W>::uninitialized(mul_or_panic(strip_rows, wc, "strip"), "separable resize: strip");

    OwnedBuffer<WChunk> chunks = OwnedBuffer<WChunk>::uninitialized(out_w, "separable resize: W chunks");
    const std::size_t n_chunks = plan_chunks(w_weights, c, chunks.data());
    // Lane tiles: a chunk holds one column at least, so a tile holds one
    // column's span (and c positions at least).
    std::uint64_t max_len = 0;
    for (std::size_t j = 0; j < out_w; ++j) {
        max_len = std::max(max_len, w_weights.row_offsets[j + 1] - w_weights.row_offsets[j]);
    }
    const std::uint64_t in_q = std::max(w_tile, mul_or_panic(std::max<std::uint64_t>(max_len, 1), c, "W row span"));
    const std::uint64_t out_q = std::max(w_tile, c);
    OwnedBuffer<W> t_in = OwnedBuffer<W>::uninitialized(mul_or_panic(in_q, L, "W tile"), "separable resize: W tile");
    OwnedBuffer<W> t_out = OwnedBuffer<W>::uninitialized(mul_or_panic(out_q, L, "W tile"), "separable resize: W tile");

    // Which H rows repeat the row before, decided once per row.
    OwnedBuffer<std::uint8_t> repeats =
        OwnedBuffer<std::uint8_t>::uninitialized(out_h, "separable resize: repeated rows");
    for (std::uint64_t i = 0; i < out_h; ++i) {
        repeats[i] = i > 0 && repeats_previous(h_weights, h_row_weights.data(), i) ? 1 : 0;
    }

    // The W pass writes every value of the result, so it need not be
    // zero-filled either.
    OwnedBuffer<W> result = OwnedBuffer<W>::uninitialized(result_n, "separable resize: result");

    const Passes<E, W> passes{image.data(),
                              wc,
                              c,
                              &h_weights,
                              &w_weights,
                              h_row_weights.data(),
                              w_row_weights.data(),
                              chunks.data(),
                              n_chunks,
                              strip.data(),
                              strip_rows,
                              t_in.data(),
                              t_out.data(),
                              result.data(),
                              repeats.data()};
    dispatch_passes(passes, isa);
    return result;
}

template OwnedBuffer<float> separable_resize<std::uint8_t>(std::span<const std::uint8_t>, std::uint64_t, std::uint64_t,
                                                           const AxisWeights&, const AxisWeights&, Isa);
template OwnedBuffer<float> separable_resize<std::uint16_t>(std::span<const std::uint16_t>, std::uint64_t,
                                                            std::uint64_t, const AxisWeights&, const AxisWeights&, Isa);
template OwnedBuffer<float> separable_resize<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                    const AxisWeights&, const AxisWeights&, Isa);
template OwnedBuffer<double> separable_resize<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                      const AxisWeights&, const AxisWeights&, Isa);

}  // namespace pellorin::image
