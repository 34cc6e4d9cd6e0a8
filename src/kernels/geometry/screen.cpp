#include "kernels/geometry/screen.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"

#if PELLORIN_AVX2_VARIANTS
#include <cpuid.h>
#endif

namespace pellorin::geometry {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// Helpers of the row passes: always inlined, so that each pass compiles
// (and vectorises) for the instruction set of the function it lands in.
#define PEL_SCREEN_INLINE [[gnu::always_inline]] inline

struct Complex {
    double re, im;
};

PEL_SCREEN_INLINE Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
PEL_SCREEN_INLINE Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }

// s z as the complex product (s + 0i) z: the zero parts are multiplied out,
// so that an infinite part makes the other part NaN, as in NumPy.
PEL_SCREEN_INLINE Complex scaled(Complex z, double s) { return {s * z.re - 0.0 * z.im, s * z.im + 0.0 * z.re}; }

PEL_SCREEN_INLINE double cross(Complex u, Complex v) { return u.re * v.im - u.im * v.re; }

// The larger of a and b, NaN when either is NaN (a + b is then NaN).
PEL_SCREEN_INLINE double nan_max(double a, double b) {
    const double m = a >= b ? a : b;
    return (a != a || b != b) ? a + b : m;
}

// |z| as NumPy's vector loops compute it: an infinite part gives inf, else a
// NaN part NaN; otherwise max * sqrt(fma(r, r, 1)) with r = min / max (0
// when max is 0). The fused product keeps r r + 1 to one rounding. Written
// as selects, without branches.
PEL_SCREEN_INLINE double modulus(double re, double im) {
    const double a = std::fabs(re);
    const double b = std::fabs(im);
    const double larger = a >= b ? a : b;
    const double smaller = a >= b ? b : a;
    const double r = smaller / larger;
    double m = std::sqrt(std::fma(r, r, 1.0)) * larger;
    m = larger == 0.0 ? 0.0 : m;
    m = (a != a || b != b) ? not_a_number : m;
    if (a == infinity || b == infinity) {
        m = infinity;
    }
    return m;
}

PEL_SCREEN_INLINE double modulus(Complex z) { return modulus(z.re, z.im); }

// Whether x is finite: x - x is 0 exactly then, NaN otherwise.
PEL_SCREEN_INLINE bool finite(double x) { return x - x == 0.0; }

PEL_SCREEN_INLINE unsigned bit(bool b) { return b ? 1u : 0u; }

// The lattice point x + 1j * y, as (x + 0i) + (0 + 1i)(y + 0i): the real
// part x + (0 y - 1 0), the imaginary part 0 + (0 0 + 1 y). It is finite
// exactly when x and y are (an infinite y makes the real part NaN).
PEL_SCREEN_INLINE Complex point(double x, double y) { return {x + (0.0 * y - 0.0), 0.0 + (0.0 * 0.0 + y)}; }

// The lattice as complex points, and its second differences.
struct Grid {
    explicit Grid(const Lattice& lattice)
        : xs(lattice.xs), ys(lattice.ys), ny(lattice.ny), nx(lattice.nx), stride(lattice.nx + 1) {}

    PEL_SCREEN_INLINE Complex at(std::uint64_t j, std::uint64_t i) const {
        return point(xs[j * stride + i], ys[j * stride + i]);
    }

    // (z[k + 1] - 2 z[k]) + z[k - 1] along x at (j, i), the edge columns
    // taking their neighbour's; NaN + 0i with fewer than two columns.
    Complex d2x(std::uint64_t j, std::uint64_t i) const {
        if (nx < 2) {
            return {not_a_number, 0.0};
        }
        const std::uint64_t k = std::clamp<std::uint64_t>(i, 1, nx - 1);
        return (at(j, k + 1) - scaled(at(j, k), 2.0)) + at(j, k - 1);
    }

    // The same along y.
    Complex d2y(std::uint64_t j, std::uint64_t i) const {
        if (ny < 2) {
            return {not_a_number, 0.0};
        }
        const std::uint64_t k = std::clamp<std::uint64_t>(j, 1, ny - 1);
        return (at(k + 1, i) - scaled(at(k, i), 2.0)) + at(k - 1, i);
    }

    const double* xs;
    const double* ys;
    std::uint64_t ny, nx, stride;
};

// The size of d in the frame (e1, e2): max(|a|, |b|) for d = a e1 + b e2;
// 0 when d is 0, else infinite when det is 0.
double in_frame(Complex e1, Complex e2, Complex d) {
    const double det = cross(e1, e2);
    const double a = cross(d, e2) / det;
    const double b = cross(e1, d) / det;
    const double size = nan_max(std::fabs(a), std::fabs(b));
    if (d.re == 0.0 && d.im == 0.0) {
        return 0.0;
    }
    if (det == 0.0) {
        return infinity;
    }
    return size;
}

// The exact deviation of pixel (r, c): the largest size of the eight second
// differences at its corners in its frame, over 8. The maximum starts at 0
// and takes the x differences, then the y ones, each at corners q0, q1, q2,
// q3 (NaN propagates).
[[gnu::noinline]] double exact_deviation(const Grid& grid, std::uint64_t r, std::uint64_t c) {
    const Complex q0 = grid.at(r, c), q1 = grid.at(r, c + 1), q2 = grid.at(r + 1, c + 1), q3 = grid.at(r + 1, c);
    const Complex e1 = scaled(((q1 - q0) + q2) - q3, 0.5);
    const Complex e2 = scaled(((q3 - q0) + q2) - q1, 0.5);
    constexpr std::uint64_t corner_rows[4] = {0, 0, 1, 1};
    constexpr std::uint64_t corner_cols[4] = {0, 1, 1, 0};
    double exact = 0.0;
    for (int axis = 0; axis < 2; ++axis) {
        for (int k = 0; k < 4; ++k) {
            const std::uint64_t j = r + corner_rows[k];
            const std::uint64_t i = c + corner_cols[k];
            const Complex d = axis == 0 ? grid.d2x(j, i) : grid.d2y(j, i);
            exact = nan_max(exact, in_frame(e1, e2, d) * 0.125);
        }
    }
    return exact;
}

// What the row pass finds for a pixel.
enum : std::uint8_t {
    pixel_cut = 0,     // not finite, not convex, or past the tolerance
    pixel_whole = 1,   // within the tolerance by the quick bound
    pixel_unsure = 2,  // finite and convex, the quick bound past the tolerance: the exact deviation decides
};

// max(|d2x|, |d2y|) at every point of lattice row j into `out` (NaN where
// unknown); `along` holds nx + 1 values of scratch.
PEL_SCREEN_INLINE void row_sizes(const Grid& g, std::uint64_t j, double* __restrict out, double* __restrict along) {
    // Restrict safe: out and along are distinct scratch rows, and neither
    // is the lattice.
    const std::uint64_t nx = g.nx;
    const double* xr = g.xs + j * g.stride;
    const double* yr = g.ys + j * g.stride;
    if (nx >= 2) {
        for (std::uint64_t i = 1; i < nx; ++i) {
            const Complex a = point(xr[i - 1], yr[i - 1]);
            const Complex b = point(xr[i], yr[i]);
            const Complex c = point(xr[i + 1], yr[i + 1]);
            along[i] = modulus((c - scaled(b, 2.0)) + a);
        }
        along[0] = along[1];
        along[nx] = along[nx - 1];
    } else {
        for (std::uint64_t i = 0; i <= nx; ++i) {
            along[i] = not_a_number;
        }
    }
    if (g.ny >= 2) {
        const std::uint64_t k = std::clamp<std::uint64_t>(j, 1, g.ny - 1);
        const double* x0 = g.xs + (k - 1) * g.stride;
        const double* y0 = g.ys + (k - 1) * g.stride;
        const double* x1 = g.xs + k * g.stride;
        const double* y1 = g.ys + k * g.stride;
        const double* x2 = g.xs + (k + 1) * g.stride;
        const double* y2 = g.ys + (k + 1) * g.stride;
        for (std::uint64_t i = 0; i <= nx; ++i) {
            const Complex a = point(x0[i], y0[i]);
            const Complex b = point(x1[i], y1[i]);
            const Complex c = point(x2[i], y2[i]);
            out[i] = nan_max(along[i], modulus((c - scaled(b, 2.0)) + a));
        }
    } else {
        for (std::uint64_t i = 0; i <= nx; ++i) {
            out[i] = nan_max(along[i], not_a_number);
        }
    }
}

// The state of every pixel of row r from the sizes on its top and bottom
// lattice rows: finiteness and convexity first, then the quick bound.
PEL_SCREEN_INLINE void row_states(const Grid& g, std::uint64_t r, const double* __restrict top,
                                  const double* __restrict bottom, std::uint8_t* __restrict state) {
    // Restrict safe: state is its own scratch row; top and bottom are only
    // read.
    const double* xa = g.xs + r * g.stride;
    const double* ya = g.ys + r * g.stride;
    const double* xb = xa + g.stride;
    const double* yb = ya + g.stride;
    for (std::uint64_t c = 0; c < g.nx; ++c) {
        const Complex q0 = point(xa[c], ya[c]);
        const Complex q1 = point(xa[c + 1], ya[c + 1]);
        const Complex q2 = point(xb[c + 1], yb[c + 1]);
        const Complex q3 = point(xb[c], yb[c]);
        // Flags as integers, combined without short circuits (no branches).
        const unsigned all_finite = bit(finite(xa[c])) & bit(finite(ya[c])) & bit(finite(xa[c + 1])) &
                                    bit(finite(ya[c + 1])) & bit(finite(xb[c + 1])) & bit(finite(yb[c + 1])) &
                                    bit(finite(xb[c])) & bit(finite(yb[c]));
        // Turns at q0 .. q3: the edge into each corner crossed with the
        // edge out of it.
        const Complex e01 = q1 - q0, e12 = q2 - q1, e23 = q3 - q2, e30 = q0 - q3;
        const double t0 = cross(e30, e01), t1 = cross(e01, e12), t2 = cross(e12, e23), t3 = cross(e23, e30);
        const unsigned positive = bit(t0 > 0.0) | bit(t1 > 0.0) | bit(t2 > 0.0) | bit(t3 > 0.0);
        const unsigned negative = bit(t0 < 0.0) | bit(t1 < 0.0) | bit(t2 < 0.0) | bit(t3 < 0.0);
        const unsigned convex = 1u ^ (positive & negative);
        const Complex e1 = scaled(((q1 - q0) + q2) - q3, 0.5);
        const Complex e2 = scaled(((q3 - q0) + q2) - q1, 0.5);
        const double worst = nan_max(nan_max(top[c], top[c + 1]), nan_max(bottom[c + 1], bottom[c]));
        const double det = std::fabs(cross(e1, e2));
        const double deviation = worst * (modulus(e1) + modulus(e2)) / det * 0.125;
        const unsigned quick = bit(deviation <= screen_tolerance);
        const unsigned unsure = (1u ^ quick) & bit(finite(worst)) & bit(det > 0.0);
        const unsigned settled = all_finite & convex;
        // pixel_whole (1) or pixel_unsure (2) for finite convex quads.
        state[c] = static_cast<std::uint8_t>(settled * (quick | (unsure << 1)));
    }
}

// column_finite[i]: a finite point in column i of lattice rows first .. last.
PEL_SCREEN_INLINE void columns_finite(const Grid& g, std::uint64_t first, std::uint64_t last,
                                      std::uint8_t* __restrict column_finite) {
    for (std::uint64_t i = 0; i <= g.nx; ++i) {
        column_finite[i] = 0;
    }
    for (std::uint64_t j = first; j <= last; ++j) {
        const double* xr = g.xs + j * g.stride;
        const double* yr = g.ys + j * g.stride;
        for (std::uint64_t i = 0; i <= g.nx; ++i) {
            column_finite[i] = static_cast<std::uint8_t>(column_finite[i] | (bit(finite(xr[i])) & bit(finite(yr[i]))));
        }
    }
}

// Scratch of one range of rows.
struct Rows {
    OwnedBuffer<double> top, bottom, along;
    OwnedBuffer<std::uint8_t> state, column_finite;

    explicit Rows(std::uint64_t nx)
        : top(OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch")),
          bottom(OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch")),
          along(OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch")),
          state(OwnedBuffer<std::uint8_t>::uninitialized(nx, "screen scratch")),
          column_finite(OwnedBuffer<std::uint8_t>::uninitialized(nx + 1, "screen scratch")) {}
};

// The vector passes of rows [row_begin, row_end): sizes, states and
// finite columns; `finish` settles each row.
template <class Finish>
PEL_SCREEN_INLINE void passes(const Grid& g, Rows& rows, std::uint64_t row_begin, std::uint64_t row_end,
                              Finish&& finish) {
    row_sizes(g, row_begin, rows.top.data(), rows.along.data());
    for (std::uint64_t r = row_begin; r < row_end; ++r) {
        row_sizes(g, r + 1, rows.bottom.data(), rows.along.data());
        row_states(g, r, rows.top.data(), rows.bottom.data(), rows.state.data());
        columns_finite(g, r == 0 ? 0 : r - 1, std::min(r + 2, g.ny), rows.column_finite.data());
        finish(r);
        std::swap(rows.top, rows.bottom);
    }
}

#if PELLORIN_AVX2_VARIANTS
// Fused multiply-add in hardware (CPUID leaf 1, ECX bit 12), which the AVX2
// passes use inline; without it they run as the baseline.
bool fma_usable() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_FMA) != 0;
}

template <class Finish>
[[gnu::target("avx2,fma")]] void passes_avx2(const Grid& g, Rows& rows, std::uint64_t row_begin, std::uint64_t row_end,
                                             Finish&& finish) {
    passes(g, rows, row_begin, row_end, finish);
}
#endif

template <class Finish>
void passes_baseline(const Grid& g, Rows& rows, std::uint64_t row_begin, std::uint64_t row_end, Finish&& finish) {
    passes(g, rows, row_begin, row_end, finish);
}

}  // namespace

void screen_rows(const Lattice& lattice, std::uint64_t row_begin, std::uint64_t row_end, bool* whole, bool* candidates,
                 Isa isa) {
    require_isa(isa, "screen_rows");
    if (row_begin >= row_end || lattice.nx == 0) {
        return;
    }
    const Grid grid(lattice);
    const std::uint64_t nx = lattice.nx;
    Rows rows(nx);
    // Settles row r: the exact deviation where the quick bound was unsure;
    // candidates are the pixels not whole with a finite corner among the
    // lattice columns c - 1 .. c + 2 (the pixels within one column).
    const auto finish = [&](std::uint64_t r) {
        const std::uint8_t* state = rows.state.data();
        const std::uint8_t* column_finite = rows.column_finite.data();
        bool* whole_row = whole + r * nx;
        bool* candidate_row = candidates + r * nx;
        for (std::uint64_t c = 0; c < nx; ++c) {
            bool ok = state[c] == pixel_whole;
            if (state[c] == pixel_unsure) {
                ok = exact_deviation(grid, r, c) <= screen_tolerance;
            }
            const std::uint64_t i_first = c == 0 ? 0 : c - 1;
            const std::uint64_t i_last = std::min(c + 2, nx);
            bool near = false;
            for (std::uint64_t i = i_first; i <= i_last; ++i) {
                near = near || column_finite[i] != 0;
            }
            whole_row[c] = ok;
            candidate_row[c] = !ok && near;
        }
    };
#if PELLORIN_AVX2_VARIANTS
    static const bool fused = fma_usable();
    if (isa == Isa::Avx2 && fused) {
        passes_avx2(grid, rows, row_begin, row_end, finish);
        return;
    }
#endif
    passes_baseline(grid, rows, row_begin, row_end, finish);
}

}  // namespace pellorin::geometry
