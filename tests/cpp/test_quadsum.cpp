// The accumulation kernel (kernels/quadsum) against independent references:
// overlaps from a Sutherland-Hodgman clip of each quad against each cell,
// in exact rationals for dyadic coordinates and in long double otherwise;
// the sums' formulas term by term; tiles in any order and on threads; every
// instruction set against the baseline, byte for byte.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/quadsum/quadsum.hpp"
#include "tally.hpp"

namespace qs = pellorin::quadsum;
using pellorin::Isa;

namespace {

constexpr double nan_v = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_v = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------
// References.

// Exact rationals on 128-bit integers, reduced; a product that overflows
// aborts (the cases keep coordinates small and dyadic).
__extension__ using i128 = __int128;

struct Rational {
    i128 n = 0, d = 1;
};

i128 gcd128(i128 a, i128 b) {
    a = a < 0 ? -a : a;
    b = b < 0 ? -b : b;
    while (b != 0) {
        const i128 t = a % b;
        a = b;
        b = t;
    }
    return a;
}

i128 mul_checked(i128 a, i128 b) {
    i128 r = 0;
    if (__builtin_mul_overflow(a, b, &r)) {
        std::puts("rational overflow in the reference");
        std::abort();
    }
    return r;
}

Rational make(i128 n, i128 d) {
    if (d < 0) {
        n = -n;
        d = -d;
    }
    const i128 g = gcd128(n, d);
    return g > 1 ? Rational{n / g, d / g} : Rational{n, d};
}

Rational operator+(Rational a, Rational b) {
    return make(mul_checked(a.n, b.d) + mul_checked(b.n, a.d), mul_checked(a.d, b.d));
}
Rational operator-(Rational a, Rational b) {
    return make(mul_checked(a.n, b.d) - mul_checked(b.n, a.d), mul_checked(a.d, b.d));
}
Rational operator*(Rational a, Rational b) { return make(mul_checked(a.n, b.n), mul_checked(a.d, b.d)); }
Rational operator/(Rational a, Rational b) { return make(mul_checked(a.n, b.d), mul_checked(a.d, b.n)); }
bool operator<(Rational a, Rational b) { return mul_checked(a.n, b.d) < mul_checked(b.n, a.d); }
bool operator>=(Rational a, Rational b) { return !(a < b); }
bool operator<=(Rational a, Rational b) { return !(b < a); }
double to_double(Rational a) {
    return static_cast<double>(static_cast<long double>(a.n) / static_cast<long double>(a.d));
}
double to_double(long double a) { return static_cast<double>(a); }

// A dyadic double (a multiple of 2^-8) as a rational.
Rational exact(double v) { return make(static_cast<i128>(std::llround(v * 256.0)), 256); }
long double widen(double v) { return static_cast<long double>(v); }

template <class T>
struct P {
    T x, y;
};

// Closed half-plane clip, inclusive tests, crossings from the earlier point.
template <class T, class In>
std::vector<P<T>> clip(const std::vector<P<T>>& poly, In inside, int axis, T c) {
    std::vector<P<T>> out;
    if (poly.empty()) {
        return out;
    }
    P<T> prev = poly.back();
    for (const P<T>& cur : poly) {
        const bool ci = inside(cur), pi = inside(prev);
        if (ci != pi) {
            const T t = axis == 0 ? (c - prev.x) / (cur.x - prev.x) : (c - prev.y) / (cur.y - prev.y);
            out.push_back(axis == 0 ? P<T>{c, prev.y + (cur.y - prev.y) * t} : P<T>{prev.x + (cur.x - prev.x) * t, c});
        }
        if (ci) {
            out.push_back(cur);
        }
        prev = cur;
    }
    return out;
}

template <class T>
T signed_area(const std::vector<P<T>>& p) {
    T s{};
    for (std::size_t k = 0; k < p.size(); ++k) {
        const P<T>& a = p[k];
        const P<T>& b = p[(k + 1) % p.size()];
        s = s + (a.x * b.y - b.x * a.y);
    }
    return s * T{make(1, 2)};
}

long double signed_area(const std::vector<P<long double>>& p) {
    long double s = 0;
    for (std::size_t k = 0; k < p.size(); ++k) {
        const auto& a = p[k];
        const auto& b = p[(k + 1) % p.size()];
        s += a.x * b.y - b.x * a.y;
    }
    return s * 0.5L;
}

// |signed area of the quad clipped to [x0, x1] x [y0, y1]|: the absolute
// integral of its winding number over the rectangle.
template <class T>
double overlap(const double* q, T x0, T x1, T y0, T y1, T (*conv)(double)) {
    std::vector<P<T>> poly(4);
    for (std::size_t k = 0; k < 4; ++k) {
        poly[k] = {conv(q[2 * k]), conv(q[2 * k + 1])};
    }
    poly = clip(
        poly, [&](const P<T>& p) { return p.x >= x0; }, 0, x0);
    poly = clip(
        poly, [&](const P<T>& p) { return p.x <= x1; }, 0, x1);
    poly = clip(
        poly, [&](const P<T>& p) { return p.y >= y0; }, 1, y0);
    poly = clip(
        poly, [&](const P<T>& p) { return p.y <= y1; }, 1, y1);
    return std::fabs(to_double(signed_area(poly)));
}

// Overlap of quad q with cell (r, c), exactly for dyadic corners.
double exact_overlap(const double* q, std::int64_t r, std::int64_t c) {
    const Rational half = make(1, 2), rr = make(r, 1), cc = make(c, 1);
    return overlap<Rational>(q, cc - half, cc + half, rr - half, rr + half, exact);
}

double wide_overlap(const double* q, std::int64_t r, std::int64_t c) {
    const long double rr = static_cast<long double>(r), cc = static_cast<long double>(c);
    return overlap<long double>(q, cc - 0.5L, cc + 0.5L, rr - 0.5L, rr + 0.5L, widen);
}

double quad_area(const double* q) {
    std::vector<P<long double>> p(4);
    for (std::size_t k = 0; k < 4; ++k) {
        p[k] = {widen(q[2 * k]), widen(q[2 * k + 1])};
    }
    return static_cast<double>(std::fabs(signed_area(p)));
}

// The area a quad covers, counted with the absolute value of its winding
// number, exactly for dyadic corners: a bow-tie (edges 0-1 and 2-3, or 1-2
// and 3-0, crossing inside both) covers its two lobes, the triangles either
// side of the crossing X; any other quad its signed area's magnitude.
double covered_area(const double* q) {
    Rational x[4], y[4];
    for (std::size_t k = 0; k < 4; ++k) {
        if (q[2 * k] * 256.0 != std::round(q[2 * k] * 256.0) ||
            q[2 * k + 1] * 256.0 != std::round(q[2 * k + 1] * 256.0)) {
            return quad_area(q);  // not dyadic: a case of convex quads only
        }
        x[k] = exact(q[2 * k]);
        y[k] = exact(q[2 * k + 1]);
    }
    const auto orient = [&](Rational ax, Rational ay, Rational bx, Rational by, Rational cx, Rational cy) {
        return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
    };
    const auto sign = [](Rational v) { return v.n > 0 ? 1 : v.n < 0 ? -1 : 0; };
    const auto magnitude = [](Rational v) { return v.n < 0 ? Rational{-v.n, v.d} : v; };
    for (std::size_t s = 0; s < 2; ++s) {
        const std::size_t a = s, b = s + 1, c = s + 2, d = (s + 3) % 4;
        const Rational oc = orient(x[a], y[a], x[b], y[b], x[c], y[c]);
        const Rational od = orient(x[a], y[a], x[b], y[b], x[d], y[d]);
        const Rational oa = orient(x[c], y[c], x[d], y[d], x[a], y[a]);
        const Rational ob = orient(x[c], y[c], x[d], y[d], x[b], y[b]);
        if (sign(oc) * sign(od) < 0 && sign(oa) * sign(ob) < 0) {
            const Rational t = oa / (oa - ob);
            const Rational px = x[a] + t * (x[b] - x[a]), py = y[a] + t * (y[b] - y[a]);
            return to_double((magnitude(orient(x[a], y[a], px, py, x[d], y[d])) +
                              magnitude(orient(px, py, x[b], y[b], x[c], y[c]))) *
                             make(1, 2));
        }
    }
    return quad_area(q);
}

// ---------------------------------------------------------------------------
// Running the kernel.

struct Job {
    std::uint64_t ny = 0, nx = 0, planes = 1;
    std::vector<double> xs, ys, values, weights, variance;
    std::vector<std::uint8_t> take;
    std::vector<double> piece_quads, piece_share;
    std::vector<std::uint64_t> piece_source;

    qs::Inputs inputs() const {
        qs::Inputs in;
        in.ny = ny;
        in.nx = nx;
        in.xs = xs.data();
        in.ys = ys.data();
        in.take = take.empty() ? nullptr : take.data();
        in.pieces = piece_share.size();
        in.piece_quads = piece_quads.data();
        in.piece_source = piece_source.data();
        in.piece_share = piece_share.data();
        in.planes = planes;
        in.values = values.data();
        in.weights = weights.empty() ? nullptr : weights.data();
        in.variance = variance.empty() ? nullptr : variance.data();
        return in;
    }

    // Corner k (0..3) of pixel (j, i), as 8 doubles.
    void quad(std::uint64_t j, std::uint64_t i, double* q) const {
        const std::uint64_t row = nx + 1, l = j * row + i;
        const std::uint64_t at[4] = {l, l + 1, l + row + 1, l + row};
        for (std::size_t k = 0; k < 4; ++k) {
            q[2 * k] = xs[at[k]];
            q[2 * k + 1] = ys[at[k]];
        }
    }
};

// A 1 x 1 image holding one quad (corners in order, 8 doubles), value 1.
Job single(const double* q) {
    Job j;
    j.ny = j.nx = 1;
    j.xs = {q[0], q[2], q[6], q[4]};
    j.ys = {q[1], q[3], q[7], q[5]};
    j.values = {1.0};
    return j;
}

// An ny x nx image through x' = a x + b y + e + wobble, y' = c x + d y + f.
Job warped(std::uint64_t ny, std::uint64_t nx, double a, double b, double c, double d, double e, double f,
           double wobble, std::uint64_t planes, std::mt19937_64& gen) {
    Job j;
    j.ny = ny;
    j.nx = nx;
    j.planes = planes;
    for (std::uint64_t r = 0; r <= ny; ++r) {
        for (std::uint64_t s = 0; s <= nx; ++s) {
            const double x = static_cast<double>(s) - 0.5, y = static_cast<double>(r) - 0.5;
            j.xs.push_back(a * x + b * y + e + wobble * std::sin(0.7 * y + 0.3 * x));
            j.ys.push_back(c * x + d * y + f + wobble * std::cos(0.4 * x - 0.2 * y));
        }
    }
    std::uniform_real_distribution<double> u(-2.0, 5.0);
    for (std::uint64_t k = 0; k < planes * ny * nx; ++k) {
        j.values.push_back(u(gen));
    }
    return j;
}

struct Sums {
    std::uint64_t ny_out, nx_out, planes, wplanes;
    std::vector<double> s, w, f, v;
    Sums(std::uint64_t ny, std::uint64_t nx, std::uint64_t k, std::uint64_t wk, bool with_v, double fill = 0.0)
        : ny_out(ny),
          nx_out(nx),
          planes(k),
          wplanes(wk),
          s(k * ny * nx, fill),
          w(wk * ny * nx, fill),
          f(k * ny * nx, fill),
          v(with_v ? k * ny * nx : 0, fill) {}
    qs::Accumulators acc(qs::Coverage cov) {
        qs::Accumulators a;
        a.ny_out = ny_out;
        a.nx_out = nx_out;
        a.coverage = cov;
        a.sum = s.data();
        a.weight = w.data();
        a.flux = f.data();
        a.variance = v.empty() ? nullptr : v.data();
        return a;
    }
    bool operator==(const Sums& o) const {
        const auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
            return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
        };
        return same(s, o.s) && same(w, o.w) && same(f, o.f) && same(v, o.v);
    }
};

Sums run(const Job& job, std::uint64_t ny_out, std::uint64_t nx_out, std::uint64_t tile, Isa isa = Isa::Baseline,
         qs::Coverage cov = qs::Coverage::Shared, double fill = 0.0) {
    const std::uint64_t wk = cov == qs::Coverage::Shared ? 1 : job.planes;
    Sums out(ny_out, nx_out, job.planes, wk, !job.variance.empty(), fill);
    const qs::Inputs in = job.inputs();
    const qs::Plan plan = qs::make_plan(in, ny_out, nx_out, tile);
    qs::accumulate_tiles(in, plan, out.acc(cov), 0, plan.tile_count(), isa);
    return out;
}

// ---------------------------------------------------------------------------
// Cases.

// Element (r, c) of an n-column grid.
std::size_t at(int r, int c, int n) {
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(n) + static_cast<std::size_t>(c);
}

// A random quad with dyadic corners (multiples of 1/8) near a grid of
// n x n cells: convex (a jittered rotated rectangle), any four points
// (concave, bow-ties, degenerate), or axis-aligned on cell lines.
void dyadic_quad(std::mt19937_64& gen, int n, double* q) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
    auto dy = [&](double lo, double hi) {
        return static_cast<double>(pick(static_cast<int>(lo * 8), static_cast<int>(hi * 8))) / 8.0;
    };
    const int kind = pick(0, 3);
    if (kind == 0 || kind == 1) {
        const double cx = dy(-1.5, n + 0.5), cy = dy(-1.5, n + 0.5);
        const double hx = dy(0.125, kind == 0 ? 1.5 : 4.0), hy = dy(0.125, 2.0);
        const int turn = pick(0, 7);  // rotate by multiples of atan(1/2)-ish dyadic steps
        const double ux = turn % 2 == 0 ? 1.0 : 0.875, uy = turn % 2 == 0 ? 0.0 : 0.5;
        const double corner[4][2] = {{-hx, -hy}, {hx, -hy}, {hx, hy}, {-hx, hy}};
        for (std::size_t k = 0; k < 4; ++k) {
            const double px = corner[k][0], py = corner[k][1];
            const double rx = turn >= 4 ? -(ux * px - uy * py) : ux * px - uy * py;
            q[2 * k] = cx + rx + dy(-0.125, 0.125);
            q[2 * k + 1] = cy + uy * px + ux * py + dy(-0.125, 0.125);
        }
    } else if (kind == 2) {
        for (int k = 0; k < 8; ++k) {
            q[k] = dy(-1.5, n + 0.5);
        }
    } else {
        const double x0 = pick(-1, n) - 0.5, y0 = pick(-1, n) - 0.5;
        const double x1 = x0 + pick(1, 3), y1 = y0 + pick(1, 3);
        const double r[8] = {x0, y0, x1, y0, x1, y1, x0, y1};
        std::memcpy(q, r, sizeof r);
        if (pick(0, 1) == 1) {
            std::reverse(q, q + 8);  // the other winding (x, y swapped per corner)
        }
    }
}

void overlaps_are_exact() {
    std::mt19937_64 gen(20260101);
    int worst_cells = 0;
    double worst = 0.0;
    for (int trial = 0; trial < 600; ++trial) {
        const int n = 2 + trial % 6;
        double q[8];
        dyadic_quad(gen, n, q);
        const std::uint64_t tiles[] = {1, 2, 3, 64};
        const Sums got = run(single(q), n, n, tiles[trial % 4]);
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) {
                const double want = exact_overlap(q, r, c);
                const double have = got.w[at(r, c, n)];
                worst = std::max(worst, std::fabs(have - want));
                if (!(std::fabs(have - want) <= 1e-14) || (want > 1e-12 && !(have > 0.0))) {
                    if (++worst_cells <= 3) {
                        std::printf("trial %d cell (%d, %d): %.17g, exactly %.17g\n", trial, r, c, have, want);
                    }
                }
            }
        }
    }
    std::printf("overlaps: largest difference from the exact area %.3g\n", worst);
    CHECK(worst_cells == 0);
}

// Where the arithmetic is exact (axis-aligned quads, corners and edges on
// cell lines), touching adds nothing and inside is exactly 1.
void edge_rules() {
    struct Case {
        double q[8];
        int n;
        std::vector<double> want;  // n x n, row-major
    };
    const std::vector<Case> cases = {
        // Cell (0, 1) exactly: itself 1, its neighbours exactly 0.
        {{0.5, -0.5, 1.5, -0.5, 1.5, 0.5, 0.5, 0.5}, 2, {0, 1, 0, 0}},
        // Touching the grid's left edge from outside: nothing.
        {{-1.5, -0.5, -0.5, -0.5, -0.5, 1.5, -1.5, 1.5}, 2, {0, 0, 0, 0}},
        // Touching the top edge from outside, and a corner only.
        {{-0.5, 1.5, 1.5, 1.5, 1.5, 2.5, -0.5, 2.5}, 2, {0, 0, 0, 0}},
        {{1.5, 1.5, 2.5, 1.5, 2.5, 2.5, 1.5, 2.5}, 2, {0, 0, 0, 0}},
        // Half outside on the left: only its inside half.
        {{-1.0, -0.5, 0.0, -0.5, 0.0, 0.5, -1.0, 0.5}, 2, {0.5, 0, 0, 0}},
        // Covering the whole grid and more: every cell exactly 1.
        {{-3.0, -3.0, 5.0, -3.0, 5.0, 5.0, -3.0, 5.0}, 3, std::vector<double>(9, 1.0)},
        // A diamond through the centres of four cells' shared corner.
        {{0.5, -0.5, 1.5, 0.5, 0.5, 1.5, -0.5, 0.5}, 2, {0.5, 0.5, 0.5, 0.5}},
        // Zero area (a segment): nothing.
        {{0.0, 0.0, 1.0, 1.0, 1.0, 1.0, 0.0, 0.0}, 2, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        for (const std::uint64_t tile : {1, 2, 5}) {
            const Sums got = run(single(c.q), c.n, c.n, tile);
            CHECK(got.w == c.want);
        }
    }
}

// A bow-tie covers both its lobes: its diagonals cross at the corner
// shared by four cells, its lobes (area 1 each) cover half of each cell,
// and its value is shared out over the two lobes' area, so that its flux
// adds up to its value (the diagonals' cross product, 0 here, would drop
// it).
void bow_ties_keep_their_flux() {
    const double q[8] = {-0.5, -0.5, 1.5, 1.5, 1.5, -0.5, -0.5, 1.5};
    CHECK(covered_area(q) == 2.0);
    for (const std::uint64_t tile : {1, 2, 5}) {
        const Sums got = run(single(q), 2, 2, tile);
        CHECK(got.w == std::vector<double>(4, 0.5));
        CHECK(got.f == std::vector<double>(4, 0.25));
    }
}

// Large pixels: a 3 x 3 image zoomed x37 (and rotated) onto a grid that
// crosses its edge; against the long-double reference, and every cell
// inside a pixel whole exactly 1 (no rounding).
void large_pixels() {
    std::mt19937_64 gen(7);
    for (const double angle : {0.0, 0.5236}) {
        const double s = 37.0, ca = std::cos(angle) * s, sa = std::sin(angle) * s;
        Job job = warped(3, 3, ca, -sa, sa, ca, 20.0, 5.0, 0.0, 1, gen);
        std::fill(job.values.begin(), job.values.end(), 1.0);
        const int n = 120;
        const Sums got = run(job, n, n, 32);
        int bad = 0, whole = 0;
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) {
                double want = 0.0;
                bool inside_one = false;
                for (std::uint64_t p = 0; p < 9; ++p) {
                    double q[8];
                    job.quad(p / 3, p % 3, q);
                    const double a = wide_overlap(q, r, c);
                    want += a;
                    inside_one = inside_one || a == 1.0;
                }
                const double have = got.w[at(r, c, n)];
                bad += std::fabs(have - want) <= 1e-11 ? 0 : 1;
                if (inside_one) {
                    ++whole;
                    bad += have == 1.0 ? 0 : 1;
                }
            }
        }
        std::printf("large pixels (angle %.2f): %d cells inside a pixel whole\n", angle, whole);
        CHECK(bad == 0 && whole > 1000);
    }
}

// The sums' formulas, term by term, with weights, variance, NaN and pieces,
// under both coverages, for one plane and for three; accumulators are added
// to.
void sums_follow_their_formulas(const std::uint64_t planes) {
    std::mt19937_64 gen(11);
    Job job = warped(4, 5, 1.3, 0.4, -0.3, 1.1, 1.0, 2.5, 0.2, planes, gen);
    const std::uint64_t npix = 20;
    std::uniform_real_distribution<double> u(0.1, 3.0);
    for (std::uint64_t p = 0; p < npix; ++p) {
        job.weights.push_back(u(gen));
    }
    for (std::uint64_t k = 0; k < planes * npix; ++k) {
        job.variance.push_back(u(gen));
    }
    job.weights[3] = 0.0;                         // a bad pixel
    job.weights[4] = -1.0;                        // excluded like 0
    job.weights[5] = nan_v;                       // likewise
    job.values[(planes - 1) * npix + 7] = nan_v;  // NaN in the last plane only
    for (std::uint64_t k = 0; k < planes; ++k) {
        job.values[k * npix + 8] = nan_v;  // NaN in every plane
    }
    job.take.assign(npix, 1);
    job.take[12] = 0;  // pixel 12 comes as two pieces, halves of its quad
    double q12[8];
    job.quad(2, 2, q12);
    const double mid0[2] = {(q12[0] + q12[2]) / 2, (q12[1] + q12[3]) / 2};
    const double mid1[2] = {(q12[4] + q12[6]) / 2, (q12[5] + q12[7]) / 2};
    const double halves[16] = {q12[0],  q12[1],  mid0[0], mid0[1], mid1[0], mid1[1], q12[6],  q12[7],
                               mid0[0], mid0[1], q12[2],  q12[3],  q12[4],  q12[5],  mid1[0], mid1[1]};
    job.piece_quads.assign(halves, halves + 16);
    job.piece_source = {12, 12};
    job.piece_share = {0.5, 0.5};

    const std::uint64_t ny_out = 9, nx_out = 9;
    for (const qs::Coverage cov : {qs::Coverage::Shared, qs::Coverage::PerPlane}) {
        const bool shared = cov == qs::Coverage::Shared;
        const double fill = 0.25;
        const Sums got = run(job, ny_out, nx_out, 4, Isa::Baseline, cov, fill);
        const std::uint64_t wk = shared ? 1 : planes, cells = ny_out * nx_out;
        std::vector<long double> s(planes * cells, widen(fill)), w(wk * cells, widen(fill)),
            f(planes * cells, widen(fill)), v(planes * cells, widen(fill));
        auto add = [&](const double* q, std::uint64_t p, double share) {
            const double wt = job.weights[p];
            if (!(wt > 0.0)) {
                return;
            }
            bool any_nan = false;
            for (std::uint64_t k = 0; k < planes; ++k) {
                any_nan = any_nan || std::isnan(job.values[k * npix + p]);
            }
            const long double A = widen(covered_area(q)) / widen(share);
            for (std::uint64_t cell = 0; cell < cells; ++cell) {
                const double a =
                    wide_overlap(q, static_cast<std::int64_t>(cell / nx_out), static_cast<std::int64_t>(cell % nx_out));
                if (!(a > 0.0)) {
                    continue;
                }
                for (std::uint64_t k = 0; k < planes; ++k) {
                    const double val = job.values[k * npix + p];
                    if (std::isnan(val) || (shared && any_nan)) {
                        continue;
                    }
                    const long double wa = widen(wt) * widen(a);
                    s[k * cells + cell] += wa * widen(val);
                    w[(shared ? 0 : k) * cells + cell] += shared && k > 0 ? 0.0L : wa;
                    f[k * cells + cell] += wa * widen(val) / A;
                    v[k * cells + cell] += wa * wa * widen(job.variance[k * npix + p]);
                }
            }
        };
        for (std::uint64_t p = 0; p < npix; ++p) {
            if (job.take[p] != 0) {
                double q[8];
                job.quad(p / 5, p % 5, q);
                add(q, p, 1.0);
            }
        }
        add(halves, 12, 0.5);
        add(halves + 8, 12, 0.5);
        int bad = 0;
        const auto compare = [&](const std::vector<double>& have, const std::vector<long double>& want) {
            for (std::size_t k = 0; k < want.size(); ++k) {
                const long double scale = std::max(1.0L, std::fabs(want[k]));
                bad += std::fabs(static_cast<long double>(have[k]) - want[k]) <= 1e-13L * scale ? 0 : 1;
            }
        };
        compare(got.s, s);
        compare(got.w, w);
        compare(got.f, f);
        compare(got.v, v);
        CHECK(bad == 0);
    }
}

// A pixel given as four pieces (quarters, share 1/4 each) adds what the
// whole pixel adds, up to rounding; its flux totals w v when it lies inside.
void pieces_add_up_to_their_pixel() {
    std::mt19937_64 gen(5);
    Job whole = warped(1, 1, 2.3, 0.7, -0.6, 1.9, 3.0, 3.2, 0.0, 1, gen);
    double q[8];
    whole.quad(0, 0, q);
    Job parts = whole;
    parts.take = {0};
    const double cx = (q[0] + q[2] + q[4] + q[6]) / 4, cy = (q[1] + q[3] + q[5] + q[7]) / 4;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t n = (k + 1) % 4, m = (k + 3) % 4;
        const double piece[8] = {q[2 * k], q[2 * k + 1], (q[2 * k] + q[2 * n]) / 2, (q[2 * k + 1] + q[2 * n + 1]) / 2,
                                 cx,       cy,           (q[2 * k] + q[2 * m]) / 2, (q[2 * k + 1] + q[2 * m + 1]) / 2};
        parts.piece_quads.insert(parts.piece_quads.end(), piece, piece + 8);
        parts.piece_source.push_back(0);
        parts.piece_share.push_back(0.25);
    }
    const Sums a = run(whole, 8, 8, 3), b = run(parts, 8, 8, 3);
    double diff = 0.0, flux = 0.0;
    for (std::size_t k = 0; k < a.w.size(); ++k) {
        diff = std::max({diff, std::fabs(a.w[k] - b.w[k]), std::fabs(a.s[k] - b.s[k]), std::fabs(a.f[k] - b.f[k])});
        flux += b.f[k];
    }
    CHECK(diff <= 1e-14);
    CHECK(std::fabs(flux - whole.values[0]) <= 1e-14);
    // A non-finite piece is dropped, like a pixel with a non-finite corner.
    Job bad = parts;
    bad.piece_quads[8 * 2 + 3] = nan_v;
    bad.piece_quads[24] = inf_v;
    const Sums c = run(bad, 8, 8, 3);
    double rest = 0.0;
    for (const double v : c.w) {
        rest += v;
    }
    CHECK(std::fabs(rest - quad_area(q) / 2) <= 1e-13);
}

// Pixels that add nothing leave every accumulator's bits as they were.
void missing_pixels_add_nothing() {
    std::mt19937_64 gen(9);
    Job base = warped(2, 2, 1.0, 0.2, -0.1, 1.0, 1.0, 1.0, 0.0, 2, gen);
    base.weights = {1.0, 1.0, 1.0, 1.0};
    std::vector<Job> nothing;
    for (int k = 0; k < 7; ++k) {
        Job j = base;
        switch (k) {
            case 0: j.take = {0, 0, 0, 0}; break;
            case 1: j.weights = {0.0, -0.0, -2.0, nan_v}; break;
            case 2: std::fill(j.values.begin(), j.values.end(), nan_v); break;
            case 3: j.xs[4] = nan_v; break;  // the centre point: every pixel's corner
            case 4: j.ys[4] = inf_v; break;
            case 5: j.xs[4] = -inf_v; break;
            default:  // shared coverage: a NaN in either plane removes the pixel
                for (std::size_t p = 0; p < 4; ++p) {
                    j.values[p + (p % 2) * 4] = nan_v;
                }
                break;
        }
        nothing.push_back(j);
    }
    const Sums fill = Sums(4, 4, 2, 1, false, 0.75);
    for (const Job& j : nothing) {
        CHECK(run(j, 4, 4, 3, Isa::Baseline, qs::Coverage::Shared, 0.75) == fill);
    }
    // Per-plane coverage keeps the plane that is a number.
    const Sums per = run(nothing[6], 4, 4, 3, Isa::Baseline, qs::Coverage::PerPlane, 0.0);
    double plane0 = 0, plane1 = 0;
    for (std::size_t k = 0; k < 16; ++k) {
        plane0 += per.w[k];
        plane1 += per.w[16 + k];
    }
    CHECK(plane0 > 0.5 && plane1 > 0.5);
}

// The same bits for every tile order, thread count and instruction set.
// A warped 40 x 30 image of two planes onto a 50 x 45 grid, with one
// explicit piece of pixel 77.
Job warped_with_a_piece(std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    Job job = warped(40, 30, 1.1, 0.35, -0.4, 0.95, 3.0, 6.0, 0.6, 2, gen);
    job.piece_quads = {5.0, 5.0, 14.5, 6.0, 13.0, 17.25, 4.5, 12.0};
    job.piece_source = {77};
    job.piece_share = {0.75};
    return job;
}

void order_threads_and_isas() {
    Job job = warped_with_a_piece(13);
    for (std::uint64_t k = 0; k < 2400; ++k) {
        job.variance.push_back(0.5 + 0.001 * static_cast<double>(k));
    }
    // A few large pixels too.
    for (std::uint64_t s = 0; s <= 30; ++s) {
        job.xs[620 + s] += 3.0;  // lattice row 20 moved right: wider pixels
    }
    const std::uint64_t ny_out = 50, nx_out = 45, tile = 7;
    const Sums ref = run(job, ny_out, nx_out, tile);
    const qs::Inputs in = job.inputs();
    const qs::Plan plan = qs::make_plan(in, ny_out, nx_out, tile);
    const std::uint64_t tiles = plan.tile_count();
    CHECK(tiles == 56);

    Sums reversed(ny_out, nx_out, 2, 1, true);
    for (std::uint64_t t = tiles; t-- > 0;) {
        qs::accumulate_tiles(in, plan, reversed.acc(qs::Coverage::Shared), t, t + 1, Isa::Baseline);
    }
    CHECK(reversed == ref);

    for (const unsigned threads : {2u, 3u}) {
        // The plan's block bounds found on as many threads.
        const qs::Plan split = qs::make_plan(in, ny_out, nx_out, tile, threads);
        Sums par(ny_out, nx_out, 2, 1, true);
        const qs::Accumulators acc = par.acc(qs::Coverage::Shared);
        std::vector<std::thread> pool;
        for (unsigned k = 0; k < threads; ++k) {
            pool.emplace_back([&, k] {
                for (std::uint64_t t = k; t < tiles; t += threads) {
                    qs::accumulate_tiles(in, split, acc, t, t + 1, Isa::Baseline);
                }
            });
        }
        for (std::thread& th : pool) {
            th.join();
        }
        CHECK(par == ref);
    }

    for (const Isa isa : pellorin::supported_isas()) {
        CHECK(run(job, ny_out, nx_out, tile, isa) == ref);
        std::mt19937_64 g2(17);
        int differ = 0;
        for (int trial = 0; trial < 300; ++trial) {
            double q[8];
            dyadic_quad(g2, 6, q);
            differ += run(single(q), 6, 6, 1 + trial % 4, isa) == run(single(q), 6, 6, 1 + trial % 4) ? 0 : 1;
        }
        std::printf("instruction set %s: %d of 300 quads differ from the baseline\n", pellorin::isa_name(isa), differ);
        CHECK(differ == 0);
    }
}

template <class E, class F>
bool throws(F&& f) {
    try {
        f();
    } catch (const E&) {
        return true;
    }
    return false;
}

void refusals() {
    std::mt19937_64 gen(3);
    Job job = warped(2, 2, 1, 0, 0, 1, 0, 0, 0, 1, gen);
    const qs::Inputs in = job.inputs();
    using pellorin::OutOfMemory;
    using pellorin::Panic;
    CHECK(throws<Panic>([&] { (void)qs::make_plan(in, 4, 4, 0); }));
    qs::Inputs no_planes = in;
    no_planes.planes = 0;
    CHECK(throws<Panic>([&] { (void)qs::make_plan(no_planes, 4, 4, 2); }));
    // Pieces whose source or share is out of range.
    Job bad = job;
    bad.piece_quads = {0, 0, 1, 0, 1, 1, 0, 1};
    for (const auto& [source, share] : {std::pair<std::uint64_t, double>{4, 0.5}, {0, 0.0}, {0, 1.5}, {0, nan_v}}) {
        bad.piece_source = {source};
        bad.piece_share = {share};
        const qs::Inputs b = bad.inputs();
        CHECK(throws<Panic>([&] { (void)qs::make_plan(b, 4, 4, 2); }));
    }
    // A plan's tile lists too large to hold, and a tile count that overflows.
    CHECK(throws<OutOfMemory>([&] { (void)qs::make_plan(in, std::uint64_t{1} << 31, std::uint64_t{1} << 31, 1); }));
    CHECK(throws<Panic>([&] { (void)qs::make_plan(in, std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1); }));
    // Accumulators that do not match the plan or the inputs.
    const qs::Plan plan = qs::make_plan(in, 4, 4, 2);
    Sums sums(4, 4, 1, 1, true);
    qs::Accumulators other = sums.acc(qs::Coverage::Shared);
    other.nx_out = 5;
    CHECK(throws<Panic>([&] { qs::accumulate_tiles(in, plan, other, 0, 1, Isa::Baseline); }));
    CHECK(throws<Panic>([&] { qs::accumulate_tiles(in, plan, sums.acc(qs::Coverage::Shared), 0, 5, Isa::Baseline); }));
    CHECK(throws<Panic>([&] { qs::accumulate_tiles(in, plan, sums.acc(qs::Coverage::Shared), 0, 1, Isa::Baseline); }));
    // Nothing to do: an empty image or grid.
    Job empty;
    empty.values = {};
    const qs::Plan none = qs::make_plan(empty.inputs(), 3, 3, 2);
    Sums zero(3, 3, 1, 1, false);
    qs::accumulate_tiles(empty.inputs(), none, zero.acc(qs::Coverage::Shared), 0, none.tile_count(), Isa::Baseline);
    CHECK(zero == Sums(3, 3, 1, 1, false));
    CHECK(qs::make_plan(in, 0, 7, 2).tile_count() == 0);
}

// A block of the grid made of whole tiles, accumulated on its own, holds
// the whole grid's bits in its cells; blocks not on whole tiles are refused.
void blocks_hold_the_grids_bits() {
    const Job job = warped_with_a_piece(29);
    const std::uint64_t ny_out = 50, nx_out = 45, tile = 7;
    const Sums ref = run(job, ny_out, nx_out, tile);
    const qs::Inputs in = job.inputs();
    const qs::Plan plan = qs::make_plan(in, ny_out, nx_out, tile);
    struct Block {
        std::uint64_t row0, col0, rows, cols;
    };
    for (const Block b : {Block{0, 0, 50, 45}, Block{7, 14, 21, 7}, Block{42, 35, 8, 10}, Block{14, 0, 7, 45}}) {
        Sums part(b.rows, b.cols, 2, 1, false);
        qs::Accumulators acc = part.acc(qs::Coverage::Shared);
        acc.row0 = b.row0;
        acc.col0 = b.col0;
        qs::accumulate_tiles(in, plan, acc, 0, plan.block_tile_count(acc), Isa::Baseline);
        int differ = 0;
        for (std::uint64_t p = 0; p < 2; ++p) {
            for (std::uint64_t r = 0; r < b.rows; ++r) {
                for (std::uint64_t c = 0; c < b.cols; ++c) {
                    const std::size_t mine = (p * b.rows + r) * b.cols + c;
                    const std::size_t grid = (p * ny_out + b.row0 + r) * nx_out + b.col0 + c;
                    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
                    differ += bits(part.s[mine]) != bits(ref.s[grid]) || bits(part.f[mine]) != bits(ref.f[grid]) ||
                              (p == 0 && bits(part.w[mine]) != bits(ref.w[grid]));
                }
            }
        }
        CHECK(differ == 0);
    }
    for (const Block b : {Block{3, 0, 7, 7}, Block{0, 0, 6, 7}, Block{49, 0, 7, 7}, Block{0, 42, 7, 7}}) {
        Sums part(b.rows, b.cols, 2, 1, false);
        qs::Accumulators acc = part.acc(qs::Coverage::Shared);
        acc.row0 = b.row0;
        acc.col0 = b.col0;
        CHECK(throws<pellorin::Panic>([&] { (void)plan.block_tile_count(acc); }));
    }
}
// A cube's planes, accumulated together (cells logged, then added plane by
// plane), hold the bits of each plane accumulated on its own; a mean,
// finished per tile from scratch weights, holds the bits of S / W (NaN
// where W is 0) and adds W to the weight given, for either coverage, whole
// or as a block.
// The cells of a block of the output grid.
struct Block {
    std::uint64_t row0, col0, rows, cols;
};

// Means of `job` in each block, with and without W, tiles in reverse order,
// on every instruction set, against S / W of its sums `ref` (NaN where W is
// 0) and W itself: the number of cells whose bits differ.
int means_keep_the_bits(const Job& job, const Sums& ref, std::uint64_t tile, qs::Coverage cov,
                        std::initializer_list<Block> blocks) {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    const bool per_plane = cov == qs::Coverage::PerPlane;
    const std::uint64_t ny_out = ref.ny_out, nx_out = ref.nx_out, cells = ny_out * nx_out, k = job.planes;
    const std::uint64_t wk = per_plane ? k : 1;
    const qs::Inputs in = job.inputs();
    const qs::Plan plan = qs::make_plan(in, ny_out, nx_out, tile);
    int wrong = 0;
    for (const Block b : blocks) {
        for (const bool with_weight : {true, false}) {
            for (const Isa isa : pellorin::supported_isas()) {
                Sums mean(b.rows, b.cols, k, wk, false);
                qs::Accumulators acc = mean.acc(cov);
                acc.row0 = b.row0;
                acc.col0 = b.col0;
                acc.mean = true;
                acc.flux = nullptr;
                acc.weight = with_weight ? acc.weight : nullptr;
                const std::uint64_t tiles = plan.block_tile_count(acc);
                for (std::uint64_t t = tiles; t-- > 0;) {
                    qs::accumulate_tiles(in, plan, acc, t, t + 1, isa);
                }
                for (std::uint64_t p = 0; p < k; ++p) {
                    for (std::uint64_t r = 0; r < b.rows; ++r) {
                        for (std::uint64_t c = 0; c < b.cols; ++c) {
                            const std::size_t mine = (p * b.rows + r) * b.cols + c;
                            const std::size_t grid = (b.row0 + r) * nx_out + b.col0 + c;
                            const double w = ref.w[(per_plane ? p : 0) * cells + grid];
                            const double expect = w == 0.0 ? nan_v : ref.s[p * cells + grid] / w;
                            wrong += bits(mean.s[mine]) != bits(expect);
                            if (with_weight && (per_plane || p == 0)) {
                                wrong += bits(mean.w[mine]) != bits(w);
                            }
                        }
                    }
                }
            }
        }
    }
    return wrong;
}

void planes_and_means_keep_the_bits() {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    const std::uint64_t ny_out = 50, nx_out = 45, tile = 7, cells = ny_out * nx_out;
    for (const qs::Coverage cov : {qs::Coverage::Shared, qs::Coverage::PerPlane}) {
        Job job = warped_with_a_piece(41);
        for (std::uint64_t s = 0; s <= 30; ++s) {
            job.xs[434 + s] += 4.0;  // lattice row 14 moved right: pixels with whole cells inside
        }
        const bool per_plane = cov == qs::Coverage::PerPlane;
        if (per_plane) {
            job.values[1200 + 95] = nan_v;  // missing from plane 1 only
        }
        const Sums ref = run(job, ny_out, nx_out, tile, Isa::Baseline, cov);
        int differ = 0;
        for (std::uint64_t p = 0; p < 2; ++p) {
            Job one = job;
            one.planes = 1;
            one.values.assign(job.values.begin() + static_cast<std::ptrdiff_t>(p * 1200),
                              job.values.begin() + static_cast<std::ptrdiff_t>((p + 1) * 1200));
            const Sums alone = run(one, ny_out, nx_out, tile);
            const std::uint64_t wp = per_plane ? p : 0;
            for (std::uint64_t c = 0; c < cells; ++c) {
                differ += bits(alone.s[c]) != bits(ref.s[p * cells + c]) ||
                          bits(alone.f[c]) != bits(ref.f[p * cells + c]) ||
                          (per_plane || p == 0 ? bits(alone.w[c]) != bits(ref.w[wp * cells + c]) : false);
            }
        }
        CHECK(differ == 0);

        CHECK(means_keep_the_bits(job, ref, tile, cov, {Block{0, 0, 50, 45}, Block{7, 14, 21, 7}}) == 0);
    }
}

// One plane: small quads (S and W paired in the scratch) and large ones
// (tiles that one pixel covers whole are held and filled), with weights,
// a NaN pixel, a rotated zoom and tiles cut by pixel edges; then a stack of
// six planes. The means against S / W of the sums, with and without W, in
// blocks, on every instruction set.
void means_of_every_layout_keep_the_bits() {
    std::mt19937_64 gen(77);
    Job small = warped(30, 34, 1.1, 0.2, -0.15, 0.95, 3.0, 2.0, 0.3, 1, gen);
    small.values[100] = nan_v;
    for (std::uint64_t k = 0; k < small.ny * small.nx; ++k) {
        small.weights.push_back(k % 7 == 0 ? 2.5 : 1.0);
    }
    // 5 x 4 pixels of 13.7 x 11.3 cells, turned about the grid's middle.
    for (const double turn : {0.0, 0.2, -0.45, 1.1}) {
        const double cs = std::cos(turn), sn = std::sin(turn);
        Job zoom = warped(5, 4, 13.7 * cs, -11.3 * sn, 13.7 * sn, 11.3 * cs, 30.0, 25.0, 0.0, 1, gen);
        zoom.values[7] = nan_v;
        zoom.weights.assign(20, 1.0);
        zoom.weights[3] = 0.5;
        const Sums ref = run(zoom, 70, 66, 8);
        CHECK(means_keep_the_bits(zoom, ref, 8, qs::Coverage::Shared, {Block{0, 0, 70, 66}, Block{16, 8, 24, 40}}) ==
              0);
    }
    const Sums ref = run(small, 50, 45, 7);
    CHECK(means_keep_the_bits(small, ref, 7, qs::Coverage::Shared, {Block{0, 0, 50, 45}, Block{7, 14, 21, 7}}) == 0);
    // Six planes with one coverage (S interleaved: blocks of four planes
    // and two more), a pixel missing from all of them.
    Job stack = warped(30, 34, 1.1, 0.2, -0.15, 0.95, 3.0, 2.0, 0.3, 6, gen);
    for (std::uint64_t p = 0; p < 6; ++p) {
        stack.values[p * 30 * 34 + 77] = nan_v;
    }
    const Sums stack_ref = run(stack, 50, 45, 7);
    CHECK(means_keep_the_bits(stack, stack_ref, 7, qs::Coverage::Shared, {Block{0, 0, 50, 45}, Block{7, 14, 21, 7}}) ==
          0);
}
}  // namespace

int main() {
    overlaps_are_exact();
    edge_rules();
    bow_ties_keep_their_flux();
    large_pixels();
    sums_follow_their_formulas(1);
    sums_follow_their_formulas(3);
    pieces_add_up_to_their_pixel();
    missing_pixels_add_nothing();
    order_threads_and_isas();
    refusals();
    blocks_hold_the_grids_bits();
    planes_and_means_keep_the_bits();
    means_of_every_layout_keep_the_bits();
    return tally::report();
}
