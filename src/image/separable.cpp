#include "separable.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

#include "../common/panic.hpp"
#include "../weights/normalized_rows.hpp"

namespace pellorin::image {
namespace {

using weights::AxisWeights;

[[noreturn, gnu::cold, gnu::noinline]] void bad_row(const char* axis, std::uint64_t row, std::uint64_t first,
                                                    std::uint64_t length, std::uint64_t in_n) {
    panic(std::string("separable resize: ") + axis + " row " + std::to_string(row) + " (first input " +
          std::to_string(first) + ", " + std::to_string(length) + " entries) reaches past input count " +
          std::to_string(in_n));
}

[[noreturn, gnu::cold, gnu::noinline]] void bad_offsets(const char* axis, std::uint64_t row) {
    panic(std::string("separable resize: ") + axis + " row offsets are inconsistent at row " + std::to_string(row));
}

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

// Checks, once before the passes, every index that the rows of `aw` lead to:
// out_n + 1 offsets, each row within row_weights, and each row's run of input
// bins first .. first + length - 1 within 0 .. in_n - 1. The passes below rely
// on this and index without further checks.
void check_rows(const AxisWeights& aw, std::uint64_t in_n, const char* axis) {
    const std::size_t rows = aw.first_input.size();
    if (aw.row_offsets.size() != rows + 1) [[unlikely]] {
        bad_offsets(axis, rows);
    }
    const std::uint64_t total = aw.row_weights.size();
    for (std::size_t j = 0; j < rows; ++j) {
        const std::uint64_t lo = aw.row_offsets[j];
        const std::uint64_t hi = aw.row_offsets[j + 1];
        if (lo > hi || hi > total) [[unlikely]] {
            bad_offsets(axis, j);
        }
        const std::uint64_t first = aw.first_input[j];
        if (hi > lo && (first >= in_n || hi - lo > in_n - first)) [[unlikely]] {
            bad_row(axis, j, first, hi - lo, in_n);
        }
    }
}

// Elements per tile of the H pass: an intermediate tile of this many values
// stays in the first-level cache while every entry of its row is added in.
constexpr std::size_t h_tile = 2048;

// dst[p] = (((acc0 + w0*s0[p]) + w1*s1[p]) + w2*s2[p]) + w3*s3[p] for N = 4
// (fewer terms for N < 4), where acc0 is dst[p], or +0.0 when Fresh (the
// first sweep over a zero-filled row, which then is written without being
// read). Terms in the given order, each product rounded to W before its sum.
// Elements are independent, so the loop vectorises without changing a bit.
// Restrict is safe: dst lies in the intermediate buffer owned by the call, the
// sources in the caller's image; the sources are only read.
template <int N, bool Fresh, class E, class W>
[[gnu::always_inline]] inline void add_rows(W* __restrict dst, std::size_t n, const W* __restrict wt,
                                            const E* __restrict s0, const E* __restrict s1,
                                            const E* __restrict s2, const E* __restrict s3) {
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

// Adds the terms of entries k .. k + count - 1 (count >= 1), four per sweep.
template <class E, class W>
void add_entries(W* dst, std::size_t n, const W* wt, const E* src, std::uint64_t stride, std::uint64_t count) {
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

// H pass: intermediate row i (w*c values, zero on entry) accumulates
// wH[k] * conv(image row r_k) for the entries k of H row i in ascending k.
// The row is processed in tiles that stay in the first-level cache; within a
// tile the entries are applied in ascending k, so every element still
// receives its terms in ascending k, starting from +0.0. A row without
// entries keeps its zeros.
template <class E, class W>
void h_pass(const E* image, std::uint64_t wc, const AxisWeights& hw, const W* weights, W* inter) {
    const std::size_t rows = hw.first_input.size();
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint64_t lo = hw.row_offsets[i];
        const std::uint64_t hi = hw.row_offsets[i + 1];
        if (lo == hi) {
            continue;
        }
        const E* const first_row = image + hw.first_input[i] * wc;
        W* const dst_row = inter + i * wc;
        for (std::uint64_t p0 = 0; p0 < wc; p0 += h_tile) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(h_tile, wc - p0));
            add_entries(dst_row + p0, n, weights + lo, first_row + p0, wc, hi - lo);
        }
    }
}

// Lanes of the W pass: this many consecutive output rows are computed side by
// side, one per lane, from a transposed copy of their intermediate rows.
// Every row of the block uses the same W row weights, so each lane receives
// exactly the terms, in exactly the order, of the one-row computation.
template <class W>
constexpr std::size_t w_lanes = 32 / sizeof(W);

// Values (x*c + ch positions) per transposed tile and per output tile, so that
// a tile of w_lanes rows stays in the first-level cache.
constexpr std::uint64_t w_tile = 512;

// One output row of the W pass, element by element: used for the rows that
// do not fill a block. result (i, j, ch) = sum over the entries k of W row j,
// in ascending k, of wW[k] * intermediate (i, x_k, ch), starting from +0.0.
template <class W>
void w_pass_row(const W* src_row, W* dst_row, std::uint64_t c, const AxisWeights& ww, const W* weights) {
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

// Scratch of the blocked W pass, allocated once per call.
template <class W>
struct WScratch {
    OwnedBuffer<W> tile_in;   // transposed intermediate: (position q, lane b) at q*L + b
    OwnedBuffer<W> tile_out;  // transposed results: (position r, lane b) at r*L + b
};

// W pass over a block of L = w_lanes rows i0 .. i0 + L - 1. The output
// columns are taken in chunks whose input columns fit a tile; for a chunk the
// L intermediate rows over its input columns are transposed so that the L
// values of one (x, ch) are contiguous, every (j, ch) of the chunk is
// accumulated in L independent lanes (the loop over lanes vectorises), and
// the lanes are transposed back into the L result rows.
template <class W>
void w_pass_block(const W* inter, W* result, std::uint64_t i0, std::uint64_t wc, std::uint64_t out_wc,
                  std::uint64_t c, const AxisWeights& ww, const W* weights, WScratch<W>& scratch) {
    constexpr std::size_t L = w_lanes<W>;
    const std::size_t out_w = ww.first_input.size();
    const W* src[L];
    W* dst[L];
    for (std::size_t b = 0; b < L; ++b) {
        src[b] = inter + (i0 + b) * wc;
        dst[b] = result + (i0 + b) * out_wc;
    }
    W* const t_in = scratch.tile_in.data();
    W* const t_out = scratch.tile_out.data();
    std::size_t j0 = 0;
    while (j0 < out_w) {
        // Chunk j0 .. j1 - 1: input columns xa .. xb - 1 of its non-empty rows.
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
        // Transpose in: lane b of position q is intermediate (i0 + b, xa*c + q).
        if (xb > xa) {
            const std::uint64_t q0 = xa * c;
            const std::uint64_t nq = (xb - xa) * c;
            for (std::uint64_t q = 0; q < nq; ++q) {
                for (std::size_t b = 0; b < L; ++b) {
                    t_in[q * L + b] = src[b][q0 + q];
                }
            }
        }
        // Accumulate: lanes are independent; each receives the terms of its
        // own row in ascending k, each product rounded before its sum.
        for (std::size_t j = j0; j < j1; ++j) {
            const std::uint64_t lo = ww.row_offsets[j];
            const std::uint64_t hi = ww.row_offsets[j + 1];
            // Position of input column first_input[j] in the tile (0 for a
            // row without entries, which reads nothing).
            const std::uint64_t qx = hi > lo ? (ww.first_input[j] - xa) * c : 0;
            for (std::uint64_t ch = 0; ch < c; ++ch) {
                W acc[L];
                for (std::size_t b = 0; b < L; ++b) {
                    acc[b] = W(0);
                }
                const W* t = t_in + (qx + ch) * L;
                for (std::uint64_t k = lo; k < hi; ++k, t += c * L) {
                    const W wt = weights[k];
                    for (std::size_t b = 0; b < L; ++b) {
                        acc[b] = acc[b] + wt * t[b];
                    }
                }
                W* const o = t_out + ((j - j0) * c + ch) * L;
                for (std::size_t b = 0; b < L; ++b) {
                    o[b] = acc[b];
                }
            }
        }
        // Transpose out: result (i0 + b, j0*c + r) is lane b of position r.
        const std::uint64_t r0 = j0 * c;
        const std::uint64_t nr = (j1 - j0) * c;
        for (std::uint64_t r = 0; r < nr; ++r) {
            for (std::size_t b = 0; b < L; ++b) {
                dst[b][r0 + r] = t_out[r * L + b];
            }
        }
        j0 = j1;
    }
}

// W pass: result (i, j, ch) = sum over the entries k of W row j, in ascending
// k, of wW[k] * intermediate (i, x_k, ch), starting from +0.0. Rows are taken
// in blocks of w_lanes; the rows left over go one by one.
template <class W>
void w_pass(const W* inter, std::uint64_t out_h, std::uint64_t wc, std::uint64_t c, const AxisWeights& ww,
            const W* weights, W* result) {
    constexpr std::size_t L = w_lanes<W>;
    const std::uint64_t out_wc = ww.first_input.size() * c;
    std::uint64_t i = 0;
    if (out_h >= L) {
        std::uint64_t max_len = 0;
        for (std::size_t j = 0; j < ww.first_input.size(); ++j) {
            max_len = std::max(max_len, ww.row_offsets[j + 1] - ww.row_offsets[j]);
        }
        // A chunk holds one row at least, so a tile holds one row's span
        // (and c positions at least).
        const std::uint64_t in_q = std::max(w_tile, mul_or_panic(std::max<std::uint64_t>(max_len, 1), c, "W row span"));
        const std::uint64_t out_q = std::max(w_tile, c);
        WScratch<W> scratch{
            OwnedBuffer<W>::uninitialized(mul_or_panic(in_q, L, "W tile"), "separable resize: W tile"),
            OwnedBuffer<W>::uninitialized(mul_or_panic(out_q, L, "W tile"), "separable resize: W tile")};
        for (; out_h - i >= L; i += L) {
            w_pass_block(inter, result, i, wc, out_wc, c, ww, weights, scratch);
        }
    }
    for (; i < out_h; ++i) {
        w_pass_row(inter + i * wc, result + i * out_wc, c, ww, weights);
    }
}

}  // namespace

template <class E>
OwnedBuffer<work_t<E>> separable_resize(std::span<const E> image, std::uint64_t w, std::uint64_t c,
                                        const AxisWeights& h_weights, const AxisWeights& w_weights) {
    using W = work_t<E>;
    const std::uint64_t out_h = h_weights.rows();
    const std::uint64_t out_w = w_weights.rows();
    const std::uint64_t wc = mul_or_panic(w, c, "w*c");
    const std::uint64_t inter_n = mul_or_panic(out_h, wc, "out_h*w*c");
    const std::uint64_t result_n = mul_or_panic(mul_or_panic(out_h, out_w, "out_h*out_w"), c, "out_h*out_w*c");
    // Both working sizes are checked before anything is allocated.
    checked_bytes<W>(inter_n, "separable resize: intermediate");
    checked_bytes<W>(result_n, "separable resize: result");
    // Whole image rows in the buffer; with w*c = 0 no row reads anything.
    const std::uint64_t image_rows = wc == 0 ? UINT64_MAX : image.size() / wc;
    check_rows(h_weights, image_rows, "H");
    check_rows(w_weights, w, "W");

    const OwnedBuffer<W> h_row_weights = weights::normalized_rows<W>(h_weights.row_weights, h_weights.row_offsets);
    const OwnedBuffer<W> w_row_weights = weights::normalized_rows<W>(w_weights.row_weights, w_weights.row_offsets);

    OwnedBuffer<W> inter = OwnedBuffer<W>::zeroed(inter_n, "separable resize: intermediate");
    h_pass(image.data(), wc, h_weights, h_row_weights.data(), inter.data());
    OwnedBuffer<W> result = OwnedBuffer<W>::zeroed(result_n, "separable resize: result");
    w_pass(inter.data(), out_h, wc, c, w_weights, w_row_weights.data(), result.data());
    return result;
}

template OwnedBuffer<float> separable_resize<std::uint8_t>(std::span<const std::uint8_t>, std::uint64_t,
                                                           std::uint64_t, const AxisWeights&, const AxisWeights&);
template OwnedBuffer<float> separable_resize<std::uint16_t>(std::span<const std::uint16_t>, std::uint64_t,
                                                            std::uint64_t, const AxisWeights&, const AxisWeights&);
template OwnedBuffer<float> separable_resize<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                    const AxisWeights&, const AxisWeights&);
template OwnedBuffer<double> separable_resize<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                      const AxisWeights&, const AxisWeights&);

}  // namespace pellorin::image
