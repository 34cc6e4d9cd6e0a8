#include "kernels/sphere/sphere.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "kernels/common/panic.hpp"

namespace pellorin::sphere {

namespace {

constexpr double half_pi = 1.5707963267948966;
constexpr double pi = 3.141592653589793;

// A clipped polygon's vertices: a polygon of at most `max_vertices` cut by
// as many planes gains at most two vertices per plane even when it is not
// convex.
constexpr int capacity = 3 * max_vertices;

Vec sub(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(const Vec& a, const Vec& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
bool finite(const Vec& a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }

// The signed spherical excess of triangle (a, b, c):
// tan(E / 2) = a . (b x c) / (1 + a . b + b . c + c . a). The triple
// product is taken on the differences from a (a . ((b - a) x (c - a)) is
// the same number), whose components are nearly exact for close points,
// so that small triangles keep their relative accuracy.
double excess(const Vec& a, const Vec& b, const Vec& c) {
    const double num = dot(a, cross(sub(b, a), sub(c, a)));
    const double den = 1.0 + dot(a, b) + dot(b, c) + dot(c, a);
    if (den > 0.0) {
        return 2.0 * arctan(num / den);
    }
    const double turn = num >= 0.0 ? pi : -pi;
    if (den < 0.0) {
        return 2.0 * (arctan(num / den) + turn);
    }
    return turn;
}

Vec normalized(const Vec& a) {
    const double n = std::sqrt(dot(a, a));
    return {a.x / n, a.y / n, a.z / n};
}

// The great circle through `o` and the next corner, as the half-space
// n . (x - o) >= 0 (the same as n . x >= 0, as n is normal to o). Taking
// the side from o, and n as o x (next - o), keeps the test's relative
// accuracy for pixels of arcseconds: the differences are nearly exact,
// and the rounding of n along the radial direction (of the order of 1e-16
// against a side of 1e-5) is not multiplied by the whole of x.
struct Plane {
    Vec n;
    Vec o;
    double side(const Vec& x) const { return dot(n, sub(x, o)); }
};

Plane edge_plane(const Vec& from, const Vec& to) { return {cross(from, sub(to, from)), from}; }

// Sutherland-Hodgman clipping of `subject` by the half-spaces of `planes`
// (a convex region), then the solid angle of what is left. The clipped
// vertices lie on the chords; they are put back on the sphere before the
// area is taken.
double clip_area(const Vec* subject, int n, const Plane* planes, int m) {
    Vec buffers[2][capacity];
    Vec* cur = buffers[0];
    Vec* next = buffers[1];
    std::copy(subject, subject + n, cur);
    int count = n;
    for (int k = 0; k < m; ++k) {
        const Plane& plane = planes[k];
        int out = 0;
        for (int i = 0; i < count; ++i) {
            const Vec& p = cur[i];
            const Vec& q = cur[i + 1 == count ? 0 : i + 1];
            const double dp = plane.side(p);
            const double dq = plane.side(q);
            const bool p_in = dp >= 0.0;
            const bool q_in = dq >= 0.0;
            if (p_in != q_in) {
                const double t = dp / (dp - dq);
                panic_unless(out < capacity, "clipped polygon within capacity");
                next[out++] = {p.x + t * (q.x - p.x), p.y + t * (q.y - p.y), p.z + t * (q.z - p.z)};
            }
            if (q_in) {
                panic_unless(out < capacity, "clipped polygon within capacity");
                next[out++] = q;
            }
        }
        if (out < 3) {
            return 0.0;
        }
        std::swap(cur, next);
        count = out;
    }
    for (int i = 0; i < count; ++i) {
        cur[i] = normalized(cur[i]);
    }
    return std::fabs(polygon_area(cur, count));
}

// The edge planes of a counterclockwise polygon, and whether it is convex
// (every vertex inside the planes of the edges it is not on).
bool polygon_planes(const Vec* b, int n, Plane* planes) {
    for (int k = 0; k < n; ++k) {
        planes[k] = edge_plane(b[k], b[k + 1 == n ? 0 : k + 1]);
    }
    if (n == 4) {
        // A counterclockwise quad is convex when it turns left (or not at
        // all) at every corner; a bow-tie turns right at two.
        return planes[0].side(b[2]) >= 0.0 && planes[1].side(b[3]) >= 0.0 && planes[2].side(b[0]) >= 0.0 &&
               planes[3].side(b[1]) >= 0.0;
    }
    for (int k = 0; k < n; ++k) {
        for (int i = 0; i < n; ++i) {
            if (i != k && i != (k + 1 == n ? 0 : k + 1) && planes[k].side(b[i]) < 0.0) {
                return false;
            }
        }
    }
    return true;
}

// The overlap with a polygon that is not convex: the signed sum over the
// triangles of its fan from b[0], each clipped with its own winding (the
// fan of any simple polygon covers it once, net of the triangles turning
// the other way).
double overlap_fan(const Vec* a, int na, const Vec* b, int nb) {
    double total = 0.0;
    for (int i = 1; i + 1 < nb; ++i) {
        const Vec t[3] = {b[0], b[i], b[i + 1]};
        const double turn = polygon_area(t, 3);
        if (turn == 0.0) {
            continue;
        }
        const Vec& u = turn > 0.0 ? t[1] : t[2];
        const Vec& w = turn > 0.0 ? t[2] : t[1];
        const Plane planes[3] = {edge_plane(t[0], u), edge_plane(u, w), edge_plane(w, t[0])};
        const double part = clip_area(a, na, planes, 3);
        total += turn > 0.0 ? part : -part;
    }
    return total;
}

// Whether all of v lies outside one of the planes (a convex polygon's).
bool separated(const Plane* planes, int m, const Vec* v, int n) {
    for (int k = 0; k < m; ++k) {
        bool outside = true;
        for (int i = 0; i < n && outside; ++i) {
            outside = planes[k].side(v[i]) < 0.0;
        }
        if (outside) {
            return true;
        }
    }
    return false;
}

bool all_inside(const Plane* planes, int m, const Vec* v, int n) {
    for (int k = 0; k < m; ++k) {
        for (int i = 0; i < n; ++i) {
            if (planes[k].side(v[i]) < 0.0) {
                return false;
            }
        }
    }
    return true;
}

Vec corner(const Lattice& l, std::uint64_t row, std::uint64_t col) {
    const double* p = l.v + 3 * (row * (l.nx + 1) + col);
    return {p[0], p[1], p[2]};
}

// The corners of pixel (row, col) in the order q0 = (row, col), q1 = (row,
// col + 1), q2 = (row + 1, col + 1), q3 = (row + 1, col).
void pixel_corners(const Lattice& l, std::uint64_t row, std::uint64_t col, Vec* q) {
    q[0] = corner(l, row, col);
    q[1] = corner(l, row, col + 1);
    q[2] = corner(l, row + 1, col + 1);
    q[3] = corner(l, row + 1, col);
}

// The polygon of pixel (row, col): its patch when it has one (the leading
// finite vertices), else its four corners when all are finite. Returns the
// vertex count, 0 for a pixel that has no polygon.
int pixel_polygon(const Lattice& l, std::uint64_t row, std::uint64_t col, Vec* q) {
    if (l.patch_index != nullptr) {
        const std::int64_t patch = l.patch_index[row * l.nx + col];
        if (patch >= 0) {
            constexpr std::uint64_t stride = std::uint64_t{3} * max_vertices;
            const double* p = l.patches + stride * static_cast<std::uint64_t>(patch);
            int n = 0;
            for (; n < max_vertices; ++n) {
                const double* v = p + std::ptrdiff_t{3} * n;
                q[n] = {v[0], v[1], v[2]};
                if (!finite(q[n])) {
                    break;
                }
            }
            return n >= 3 ? n : 0;
        }
    }
    pixel_corners(l, row, col, q);
    return finite(q[0]) && finite(q[1]) && finite(q[2]) && finite(q[3]) ? 4 : 0;
}

// Counterclockwise order of a polygon of signed area `area`.
void wind(Vec* q, int n, double area) {
    if (area < 0.0) {
        for (int i = 1, j = n - 1; i < j; ++i, --j) {
            std::swap(q[i], q[j]);
        }
    }
}

}  // namespace

double arctan(double x) {
    if (std::isnan(x)) {
        return x;
    }
    const bool negative = x < 0.0;
    double a = negative ? -x : x;
    const bool inverted = a > 1.0;
    if (inverted) {
        a = 1.0 / a;
    }
    // atan(a) = 2 atan(a / (1 + sqrt(1 + a^2))): at most three halvings
    // bring a <= 1 below 0.1, where the series to a^17 / 17 is exact to
    // well below the last place.
    double scale = 1.0;
    while (a > 0.1) {
        a = a / (1.0 + std::sqrt(1.0 + a * a));
        scale *= 2.0;
    }
    const double z = a * a;
    double s = 1.0 / 17.0;
    s = -1.0 / 15.0 + z * s;
    s = 1.0 / 13.0 + z * s;
    s = -1.0 / 11.0 + z * s;
    s = 1.0 / 9.0 + z * s;
    s = -1.0 / 7.0 + z * s;
    s = 1.0 / 5.0 + z * s;
    s = -1.0 / 3.0 + z * s;
    double r = scale * (a + a * (z * s));
    if (inverted) {
        r = half_pi - r;
    }
    return negative ? -r : r;
}

double polygon_area(const Vec* v, int n) {
    double total = 0.0;
    for (int i = 1; i + 1 < n; ++i) {
        total += excess(v[0], v[i], v[i + 1]);
    }
    return total;
}

double overlap(const Vec* a, int na, const Vec* b, int nb) {
    Plane planes[max_vertices];
    if (!polygon_planes(b, nb, planes)) {
        return overlap_fan(a, na, b, nb);
    }
    return clip_area(a, na, planes, nb);
}

void cell_areas(const Lattice& cells, std::uint64_t row_begin, std::uint64_t row_end, double* area) {
    for (std::uint64_t row = row_begin; row < row_end; ++row) {
        for (std::uint64_t col = 0; col < cells.nx; ++col) {
            Vec q[max_vertices];
            const int n = pixel_polygon(cells, row, col, q);
            area[row * cells.nx + col] = n != 0 ? polygon_area(q, n) : std::nan("");
        }
    }
}

void accumulate_rows(const Job& job, std::uint64_t row_begin, std::uint64_t row_end) {
    const Lattice& in = job.pixels;
    const Lattice& out = job.cells;
    const std::uint64_t in_plane = in.ny * in.nx;
    const std::uint64_t out_plane = out.ny * out.nx;
    const auto clamp = [](std::int64_t v, std::uint64_t lo, std::uint64_t hi) {
        if (v < 0 || static_cast<std::uint64_t>(v) < lo) {
            return lo;
        }
        return std::min(static_cast<std::uint64_t>(v), hi);
    };
    for (std::uint64_t r = 0; r < in.ny; ++r) {
        for (std::uint64_t c = 0; c < in.nx; ++c) {
            const std::uint64_t pixel = r * in.nx + c;
            const double u = job.pixel_weight != nullptr ? job.pixel_weight[pixel] : 1.0;
            if (!(u > 0.0)) {
                continue;
            }
            const std::int64_t* s = job.spans + 4 * pixel;
            const std::uint64_t y0 = clamp(s[0], row_begin, row_end);
            const std::uint64_t y1 = clamp(s[1], row_begin, row_end);
            const std::uint64_t x0 = clamp(s[2], 0, out.nx);
            const std::uint64_t x1 = clamp(s[3], 0, out.nx);
            if (y0 >= y1 || x0 >= x1) {
                continue;
            }
            Vec a[max_vertices];
            const int na = pixel_polygon(in, r, c, a);
            if (na == 0) {
                continue;
            }
            bool any_missing = false;
            for (std::uint64_t p = 0; p < job.planes; ++p) {
                any_missing = any_missing || std::isnan(job.values[p * in_plane + pixel]);
            }
            if (any_missing && job.weight_planes == 1) {
                continue;
            }
            const double signed_area = polygon_area(a, na);
            const double area = std::fabs(signed_area);
            if (!(area > 0.0)) {
                continue;
            }
            wind(a, na, signed_area);
            Plane a_planes[max_vertices];
            const bool a_convex = polygon_planes(a, na, a_planes);
            for (std::uint64_t j = y0; j < y1; ++j) {
                for (std::uint64_t i = x0; i < x1; ++i) {
                    const std::uint64_t cell = j * out.nx + i;
                    const double cell_area = job.cell_area[cell];
                    if (cell_area == 0.0 || std::isnan(cell_area)) {
                        continue;
                    }
                    Vec b[max_vertices];
                    const int nb = pixel_polygon(out, j, i, b);
                    wind(b, nb, cell_area);
                    Plane b_planes[max_vertices];
                    double ov;
                    if (!polygon_planes(b, nb, b_planes)) {
                        ov = overlap_fan(a, na, b, nb);
                    } else if (separated(b_planes, nb, a, na)) {
                        continue;
                    } else if (all_inside(b_planes, nb, a, na)) {
                        ov = area;
                    } else if (a_convex && all_inside(a_planes, na, b, nb)) {
                        ov = std::fabs(cell_area);
                    } else {
                        ov = clip_area(a, na, b_planes, nb);
                    }
                    if (!(ov > 0.0)) {
                        continue;
                    }
                    const double share = ov / area;
                    // u = 1 leaves every product exact: the terms are o's.
                    const double t = u * (job.per_cell ? ov / std::fabs(cell_area) : ov);
                    for (std::uint64_t p = 0; p < job.planes; ++p) {
                        const double v = job.values[p * in_plane + pixel];
                        if (std::isnan(v)) {
                            continue;
                        }
                        if (job.sums != nullptr) {
                            job.sums[p * out_plane + cell] += v * t;
                        }
                        if (job.flux != nullptr) {
                            job.flux[p * out_plane + cell] += u * (v * share);
                        }
                        if (job.variance_sums != nullptr) {
                            job.variance_sums[p * out_plane + cell] += (t * t) * job.variance[p * in_plane + pixel];
                        }
                        if (job.weight != nullptr && (p == 0 || job.weight_planes != 1)) {
                            job.weight[(job.weight_planes == 1 ? 0 : p) * out_plane + cell] += t;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace pellorin::sphere
