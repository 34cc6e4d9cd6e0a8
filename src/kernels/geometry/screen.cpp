#include "kernels/geometry/screen.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/common/buffer.hpp"

namespace pellorin::geometry {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

struct Complex {
    double re, im;
};

Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }

// s z as the complex product (s + 0i) z: the zero parts are multiplied out,
// so that an infinite part makes the other part NaN, as in NumPy.
Complex scaled(Complex z, double s) { return {s * z.re - 0.0 * z.im, s * z.im + 0.0 * z.re}; }

double cross(Complex u, Complex v) { return u.re * v.im - u.im * v.re; }

// The larger of a and b, NaN when either is NaN.
double nan_max(double a, double b) {
    if (std::isnan(a)) {
        return a;
    }
    if (std::isnan(b)) {
        return b;
    }
    return a >= b ? a : b;
}

// |z| as NumPy's vector loops compute it: an infinite part gives inf, else a
// NaN part NaN; otherwise max * sqrt(fma(r, r, 1)) with r = min / max (0
// when max is 0). The fused product keeps r r + 1 to one rounding.
double modulus(Complex z) {
    const double a = std::fabs(z.re);
    const double b = std::fabs(z.im);
    if (a == infinity || b == infinity) {
        return infinity;
    }
    if (std::isnan(a) || std::isnan(b)) {
        return not_a_number;
    }
    const double larger = a >= b ? a : b;
    const double smaller = a >= b ? b : a;
    if (larger == 0.0) {
        return 0.0;
    }
    const double r = smaller / larger;
    return std::sqrt(std::fma(r, r, 1.0)) * larger;
}

// The lattice as complex points, and its second differences.
class Grid {
public:
    explicit Grid(const Lattice& lattice)
        : xs_(lattice.xs), ys_(lattice.ys), ny_(lattice.ny), nx_(lattice.nx), stride_(lattice.nx + 1) {}

    std::uint64_t nx() const { return nx_; }

    // x + 1j * y, as (x + 0i) + (0 + 1i)(y + 0i): the real part x + (0 y -
    // 1 0), the imaginary part 0 + (0 0 + 1 y).
    Complex at(std::uint64_t j, std::uint64_t i) const {
        const double x = xs_[j * stride_ + i];
        const double y = ys_[j * stride_ + i];
        return {x + (0.0 * y - 0.0), 0.0 + (0.0 * 0.0 + y)};
    }

    // Both parts finite: x and y are (an infinite y makes the real part
    // NaN, which is not finite either).
    bool finite(std::uint64_t j, std::uint64_t i) const {
        return std::isfinite(xs_[j * stride_ + i]) && std::isfinite(ys_[j * stride_ + i]);
    }

    // (z[k + 1] - 2 z[k]) + z[k - 1] along x at (j, i), the edge columns
    // taking their neighbour's; NaN + 0i with fewer than two columns.
    Complex d2x(std::uint64_t j, std::uint64_t i) const {
        if (nx_ < 2) {
            return {not_a_number, 0.0};
        }
        const std::uint64_t k = std::clamp<std::uint64_t>(i, 1, nx_ - 1);
        return (at(j, k + 1) - scaled(at(j, k), 2.0)) + at(j, k - 1);
    }

    // The same along y.
    Complex d2y(std::uint64_t j, std::uint64_t i) const {
        if (ny_ < 2) {
            return {not_a_number, 0.0};
        }
        const std::uint64_t k = std::clamp<std::uint64_t>(j, 1, ny_ - 1);
        return (at(k + 1, i) - scaled(at(k, i), 2.0)) + at(k - 1, i);
    }

    // max(|d2x|, |d2y|) at every point of lattice row j (NaN where unknown).
    void sizes(std::uint64_t j, double* out) const {
        for (std::uint64_t i = 0; i <= nx_; ++i) {
            out[i] = nan_max(modulus(d2x(j, i)), modulus(d2y(j, i)));
        }
    }

private:
    const double* xs_;
    const double* ys_;
    std::uint64_t ny_, nx_, stride_;
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
    return det == 0.0 ? infinity : size;
}

// The exact deviation of pixel (r, c): the largest size of the eight second
// differences at its corners in its frame, over 8. The maximum starts at 0
// and takes the x differences, then the y ones, each at corners q0, q1, q2,
// q3 (NaN propagates).
[[gnu::noinline]] double exact_deviation(const Grid& grid, std::uint64_t r, std::uint64_t c, Complex e1,
                                         Complex e2) {
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

// Whether the quad q0 q1 q2 q3 turns the same way at every corner (zero
// turns allowed). Edge k runs from corner k to corner k + 1; the turn at a
// corner is the cross product of the edge before it with the edge after.
bool convex(Complex q0, Complex q1, Complex q2, Complex q3) {
    const Complex e[4] = {q1 - q0, q2 - q1, q3 - q2, q0 - q3};
    bool positive = false;
    bool negative = false;
    for (int k = 0; k < 4; ++k) {
        const double turn = cross(e[(k + 3) % 4], e[k]);
        positive = positive || turn > 0.0;
        negative = negative || turn < 0.0;
    }
    return !(positive && negative);
}

}  // namespace

void screen_rows(const Lattice& lattice, std::uint64_t row_begin, std::uint64_t row_end, bool* whole,
                 bool* candidates) {
    if (row_begin >= row_end || lattice.nx == 0) {
        return;
    }
    const Grid grid(lattice);
    const std::uint64_t nx = lattice.nx;
    const std::uint64_t ny = lattice.ny;
    // Sizes of the second differences on the pixel row's top and bottom
    // lattice rows; column_finite[i]: a finite point in column i on the
    // lattice rows of the pixel rows r - 1 .. r + 1.
    OwnedBuffer<double> top = OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch");
    OwnedBuffer<double> bottom = OwnedBuffer<double>::uninitialized(nx + 1, "screen scratch");
    OwnedBuffer<std::uint8_t> column_finite = OwnedBuffer<std::uint8_t>::uninitialized(nx + 1, "screen scratch");
    grid.sizes(row_begin, top.data());
    for (std::uint64_t r = row_begin; r < row_end; ++r) {
        grid.sizes(r + 1, bottom.data());
        const std::uint64_t j_first = r == 0 ? 0 : r - 1;
        const std::uint64_t j_last = std::min(r + 2, ny);
        for (std::uint64_t i = 0; i <= nx; ++i) {
            bool any = false;
            for (std::uint64_t j = j_first; j <= j_last && !any; ++j) {
                any = grid.finite(j, i);
            }
            column_finite[i] = any ? 1 : 0;
        }
        bool* whole_row = whole + r * nx;
        bool* candidate_row = candidates + r * nx;
        for (std::uint64_t c = 0; c < nx; ++c) {
            const Complex q0 = grid.at(r, c);
            const Complex q1 = grid.at(r, c + 1);
            const Complex q2 = grid.at(r + 1, c + 1);
            const Complex q3 = grid.at(r + 1, c);
            const bool all_finite =
                grid.finite(r, c) && grid.finite(r, c + 1) && grid.finite(r + 1, c + 1) && grid.finite(r + 1, c);
            // The deviation decides only for finite convex quads.
            bool ok = all_finite && convex(q0, q1, q2, q3);
            if (ok) {
                const Complex e1 = scaled(((q1 - q0) + q2) - q3, 0.5);
                const Complex e2 = scaled(((q3 - q0) + q2) - q1, 0.5);
                const double worst = nan_max(nan_max(top[c], top[c + 1]), nan_max(bottom[c + 1], bottom[c]));
                const double det = std::fabs(cross(e1, e2));
                double deviation = worst * (modulus(e1) + modulus(e2)) / det * 0.125;
                if (!(deviation <= screen_tolerance) && std::isfinite(worst) && det > 0.0) {
                    deviation = exact_deviation(grid, r, c, e1, e2);
                }
                ok = deviation <= screen_tolerance;
            }
            // Some pixel within one row and one column has a finite corner.
            const std::uint64_t i_first = c == 0 ? 0 : c - 1;
            const std::uint64_t i_last = std::min(c + 2, nx);
            bool near = false;
            for (std::uint64_t i = i_first; i <= i_last && !near; ++i) {
                near = column_finite[i] != 0;
            }
            whole_row[c] = ok;
            candidate_row[c] = !ok && near;
        }
        std::swap(top, bottom);
    }
}

}  // namespace pellorin::geometry
