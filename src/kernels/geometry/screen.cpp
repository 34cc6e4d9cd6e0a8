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
    pixel_cut = 0,     // not finite or not convex
    pixel_whole = 1,   // within the tolerance by the cheap bound, hence by the quick one
    pixel_unsure = 2,  // finite and convex, the cheap bound past its share: the quick and exact tests decide
};

// The cheap bound settles a pixel as whole when
//   bound (l1(e1) + l1(e2)) / 8 <= cheap_share det,   smallest_det <= det finite,
// with l1(z) = |re| + |im|, never below the modulus by more than rounding
// (and at most sqrt(2) times it; no division, no square root), and bound
// the largest l1 of the second differences at the pixel's corners. The
// quick bound is then at most cheap_share / screen_tolerance of the
// tolerance, to within a few roundings of each factor; the 1 % margin
// covers them (det is normal, so its rounding is relative; a bound product
// that underflows makes the quick deviation below 2^-1000). Any NaN or
// infinity fails the test (an infinite det too, which would let an
// infinite left side pass) and leaves the pixel to the quick bound itself.
// So the flags are those of the quick bound alone.
//
// The cheap passes take the coordinates as they are, not as the complex
// points of the quick bound: for finite coordinates the two differ at most
// in the sign of a zero, which no test above sees; a non-finite coordinate
// among those a cheap test reads makes its bound NaN or infinite, and a
// pixel with a non-finite corner is cut before any bound is read.
inline constexpr double cheap_share = 0.99 * screen_tolerance;
inline constexpr double smallest_det = 0x1p-900;
inline constexpr double largest_det = std::numeric_limits<double>::max();

PEL_SCREEN_INLINE double l1(double re, double im) { return std::fabs(re) + std::fabs(im); }

// The largest l1 of the second differences along x and along y at every
// point of lattice row j, into `out` (NaN where unknown); `along` holds nx
// + 1 values of scratch.
PEL_SCREEN_INLINE void row_bounds(const Grid& g, std::uint64_t j, double* __restrict out, double* __restrict along) {
    // Restrict safe: out and along are distinct scratch rows, and neither
    // is the lattice.
    const std::uint64_t nx = g.nx;
    const double* xr = g.xs + j * g.stride;
    const double* yr = g.ys + j * g.stride;
    if (nx >= 2) {
        for (std::uint64_t i = 1; i < nx; ++i) {
            along[i] = l1((xr[i + 1] - 2.0 * xr[i]) + xr[i - 1], (yr[i + 1] - 2.0 * yr[i]) + yr[i - 1]);
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
            out[i] = nan_max(along[i], l1((x2[i] - 2.0 * x1[i]) + x0[i], (y2[i] - 2.0 * y1[i]) + y0[i]));
        }
    } else {
        for (std::uint64_t i = 0; i <= nx; ++i) {
            out[i] = not_a_number;
        }
    }
}

// finite[i]: lattice point (j, i) is finite (both coordinates).
PEL_SCREEN_INLINE void row_finite(const Grid& g, std::uint64_t j, std::uint8_t* __restrict finite_points) {
    const double* xr = g.xs + j * g.stride;
    const double* yr = g.ys + j * g.stride;
    for (std::uint64_t i = 0; i <= g.nx; ++i) {
        finite_points[i] = static_cast<std::uint8_t>(bit(finite(xr[i])) & bit(finite(yr[i])));
    }
}

// The state of every pixel of row r from the finite points and the cheap
// bounds of its top and bottom lattice rows: finiteness and convexity
// first, then the cheap bound.
PEL_SCREEN_INLINE void row_states(const Grid& g, std::uint64_t r, const double* __restrict top,
                                  const double* __restrict bottom, const std::uint8_t* __restrict finite_a,
                                  const std::uint8_t* __restrict finite_b, std::uint8_t* __restrict state) {
    // Restrict safe: state is its own scratch row; the others are only
    // read.
    const double* xa = g.xs + r * g.stride;
    const double* ya = g.ys + r * g.stride;
    const double* xb = xa + g.stride;
    const double* yb = ya + g.stride;
    for (std::uint64_t c = 0; c < g.nx; ++c) {
        // Corners q0 = (xa[c], ya[c]), q1 = (xa[c + 1], ..), q2 = (xb[c +
        // 1], ..), q3 = (xb[c], ..). Flags as integers, combined without
        // short circuits (no branches).
        const unsigned all_finite =
            static_cast<unsigned>(finite_a[c] & finite_a[c + 1] & finite_b[c + 1] & finite_b[c]);
        // Turns at q0 .. q3: the edge into each corner crossed with the
        // edge out of it.
        const double x01 = xa[c + 1] - xa[c], y01 = ya[c + 1] - ya[c];
        const double x12 = xb[c + 1] - xa[c + 1], y12 = yb[c + 1] - ya[c + 1];
        const double x23 = xb[c] - xb[c + 1], y23 = yb[c] - yb[c + 1];
        const double x30 = xa[c] - xb[c], y30 = ya[c] - yb[c];
        const double t0 = x30 * y01 - y30 * x01, t1 = x01 * y12 - y01 * x12;
        const double t2 = x12 * y23 - y12 * x23, t3 = x23 * y30 - y23 * x30;
        const unsigned positive = bit(t0 > 0.0) | bit(t1 > 0.0) | bit(t2 > 0.0) | bit(t3 > 0.0);
        const unsigned negative = bit(t0 < 0.0) | bit(t1 < 0.0) | bit(t2 < 0.0) | bit(t3 < 0.0);
        const unsigned convex = 1u ^ (positive & negative);
        // e1 = ((q1 - q0) + q2) - q3 and e2 = ((q3 - q0) + q2) - q1, halved.
        const double e1x = (((xa[c + 1] - xa[c]) + xb[c + 1]) - xb[c]) * 0.5;
        const double e1y = (((ya[c + 1] - ya[c]) + yb[c + 1]) - yb[c]) * 0.5;
        const double e2x = (((xb[c] - xa[c]) + xb[c + 1]) - xa[c + 1]) * 0.5;
        const double e2y = (((yb[c] - ya[c]) + yb[c + 1]) - ya[c + 1]) * 0.5;
        const double bound = nan_max(nan_max(top[c], top[c + 1]), nan_max(bottom[c + 1], bottom[c]));
        const double det = std::fabs(e1x * e2y - e1y * e2x);
        const unsigned cheap = bit((bound * (l1(e1x, e1y) + l1(e2x, e2y))) * 0.125 <= cheap_share * det) &
                               bit(det >= smallest_det) & bit(det <= largest_det);
        const unsigned settled = all_finite & convex;
        // pixel_whole (1) or pixel_unsure (2) for finite convex quads.
        state[c] = static_cast<std::uint8_t>(settled * (cheap | ((1u ^ cheap) << 1)));
    }
}

// max(|d2x|, |d2y|) at lattice point (j, i), NaN where unknown.
double corner_size(const Grid& g, std::uint64_t j, std::uint64_t i) {
    return nan_max(modulus(g.d2x(j, i)), modulus(g.d2y(j, i)));
}

// Whether the finite convex pixel (r, c) is whole: the quick bound
//   dev = max |d2| (|e1| + |e2|) / |det| / 8 <= tolerance,
// or, where that is past the tolerance with max |d2| finite and |det| > 0,
// the exact deviation.
[[gnu::noinline]] bool settle_unsure(const Grid& g, std::uint64_t r, std::uint64_t c) {
    const Complex q0 = g.at(r, c), q1 = g.at(r, c + 1), q2 = g.at(r + 1, c + 1), q3 = g.at(r + 1, c);
    const Complex e1 = scaled(((q1 - q0) + q2) - q3, 0.5);
    const Complex e2 = scaled(((q3 - q0) + q2) - q1, 0.5);
    const double worst = nan_max(nan_max(corner_size(g, r, c), corner_size(g, r, c + 1)),
                                 nan_max(corner_size(g, r + 1, c + 1), corner_size(g, r + 1, c)));
    const double det = std::fabs(cross(e1, e2));
    const double deviation = worst * (modulus(e1) + modulus(e2)) / det * 0.125;
    if (deviation <= screen_tolerance) {
        return true;
    }
    return finite(worst) && det > 0.0 && exact_deviation(g, r, c) <= screen_tolerance;
}

// Scratch of one range of rows: the cheap bounds of two lattice rows, the
// states of a pixel row, and the finite points of the four lattice rows
// around it (a ring indexed by row % 4) with their union by column.
struct Rows {
    OwnedBuffer<double> top, bottom, along;
    OwnedBuffer<std::uint8_t> state, column_finite, finite_ring;

    explicit Rows(std::uint64_t nx)
        : top(OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch")),
          bottom(OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch")),
          along(OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch")),
          state(OwnedBuffer<std::uint8_t>::uninitialized(nx, "screen scratch")),
          column_finite(OwnedBuffer<std::uint8_t>::uninitialized(nx + 1, "screen scratch")),
          finite_ring(OwnedBuffer<std::uint8_t>::uninitialized(4 * (nx + 1), "screen scratch")) {}

    std::uint8_t* finite_row(std::uint64_t j) { return finite_ring.data() + (j % 4) * (column_finite.size()); }
};

// column_finite[i]: a finite point in column i of lattice rows first ..
// last (at most four rows, all in the ring).
PEL_SCREEN_INLINE void columns_finite(Rows& rows, std::uint64_t first, std::uint64_t last) {
    std::uint8_t* __restrict out = rows.column_finite.data();
    const std::uint64_t n = rows.column_finite.size();
    const std::uint8_t* __restrict a = rows.finite_row(first);
    for (std::uint64_t i = 0; i < n; ++i) {
        out[i] = a[i];
    }
    for (std::uint64_t j = first + 1; j <= last; ++j) {
        const std::uint8_t* __restrict b = rows.finite_row(j);
        for (std::uint64_t i = 0; i < n; ++i) {
            out[i] = static_cast<std::uint8_t>(out[i] | b[i]);
        }
    }
}

// The maps of pixel row r from its states: whole where the cheap bound
// settled it, candidate where not whole with a finite corner among lattice
// columns c - 1 .. c + 2 (the pixels within one column); then the unsure
// pixels one by one.
PEL_SCREEN_INLINE void row_maps(const Grid& g, const Rows& rows, std::uint64_t r, bool* __restrict whole_row,
                                bool* __restrict candidate_row) {
    const std::uint64_t nx = g.nx;
    const std::uint8_t* __restrict state = rows.state.data();
    const std::uint8_t* __restrict cf = rows.column_finite.data();
    const auto near = [&](std::uint64_t c) {
        const std::uint64_t i_first = c == 0 ? 0 : c - 1;
        const std::uint64_t i_last = std::min(c + 2, nx);
        unsigned any = 0;
        for (std::uint64_t i = i_first; i <= i_last; ++i) {
            any |= cf[i];
        }
        return any != 0;
    };
    // Columns 1 .. nx - 2 see all four lattice columns; 0 and nx - 1 fewer.
    unsigned unsure = 0;
    for (std::uint64_t c = 1; c + 1 < nx; ++c) {
        unsure |= state[c];
        const unsigned is_whole = bit(state[c] == pixel_whole);
        const unsigned any = static_cast<unsigned>(cf[c - 1] | cf[c] | cf[c + 1] | cf[c + 2]);
        whole_row[c] = is_whole != 0;
        candidate_row[c] = ((1u ^ is_whole) & bit(any != 0)) != 0;
    }
    for (const std::uint64_t c : {std::uint64_t{0}, nx - 1}) {
        unsure |= state[c];
        whole_row[c] = state[c] == pixel_whole;
        candidate_row[c] = state[c] != pixel_whole && near(c);
    }
    if ((unsure & pixel_unsure) == 0) {
        return;
    }
    for (std::uint64_t c = 0; c < nx; ++c) {
        if (state[c] == pixel_unsure) {
            const bool ok = settle_unsure(g, r, c);
            whole_row[c] = ok;
            candidate_row[c] = !ok && near(c);
        }
    }
}

// The passes of rows [row_begin, row_end): cheap bounds, states, finite
// columns and the two maps.
PEL_SCREEN_INLINE void passes(const Grid& g, Rows& rows, std::uint64_t row_begin, std::uint64_t row_end, bool* whole,
                              bool* candidates) {
    const std::uint64_t nx = g.nx;
    row_bounds(g, row_begin, rows.top.data(), rows.along.data());
    // The ring holds lattice rows first .. next - 1.
    std::uint64_t next = row_begin == 0 ? 0 : row_begin - 1;
    for (std::uint64_t r = row_begin; r < row_end; ++r) {
        row_bounds(g, r + 1, rows.bottom.data(), rows.along.data());
        const std::uint64_t first = r == 0 ? 0 : r - 1;
        const std::uint64_t last = std::min(r + 2, g.ny);
        for (; next <= last; ++next) {
            row_finite(g, next, rows.finite_row(next));
        }
        row_states(g, r, rows.top.data(), rows.bottom.data(), rows.finite_row(r), rows.finite_row(r + 1),
                   rows.state.data());
        columns_finite(rows, first, last);
        row_maps(g, rows, r, whole + r * nx, candidates + r * nx);
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

[[gnu::target("avx2,fma")]] void passes_avx2(const Grid& g, Rows& rows, std::uint64_t row_begin, std::uint64_t row_end,
                                             bool* whole, bool* candidates) {
    passes(g, rows, row_begin, row_end, whole, candidates);
}
#endif

void passes_baseline(const Grid& g, Rows& rows, std::uint64_t row_begin, std::uint64_t row_end, bool* whole,
                     bool* candidates) {
    passes(g, rows, row_begin, row_end, whole, candidates);
}

}  // namespace

void screen_rows(const Lattice& lattice, std::uint64_t row_begin, std::uint64_t row_end, bool* whole, bool* candidates,
                 Isa isa) {
    require_isa(isa, "screen_rows");
    if (row_begin >= row_end || lattice.nx == 0) {
        return;
    }
    const Grid grid(lattice);
    Rows rows(lattice.nx);
#if PELLORIN_AVX2_VARIANTS
    static const bool fused = fma_usable();
    if (isa == Isa::Avx2 && fused) {
        passes_avx2(grid, rows, row_begin, row_end, whole, candidates);
        return;
    }
#endif
    passes_baseline(grid, rows, row_begin, row_end, whole, candidates);
}

}  // namespace pellorin::geometry
