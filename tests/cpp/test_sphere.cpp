// Spherical overlaps (kernels/sphere) against closed forms: lines of the
// gnomonic plane z = 1 are great circles, and the solid angle of the
// rectangle [u0, u1] x [v0, v1] of that plane is the sum of
// +-atan(u v / sqrt(1 + u^2 + v^2)) over its corners. Rectangles of the
// plane therefore give exact pixels, cells and overlaps (the overlap of two
// rectangles is a rectangle). Also: the arctangent against the C library,
// shares that add up to the whole pixel under a turned pixel, and sums that
// do not depend on how the output rows are split.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "kernels/sphere/sphere.hpp"
#include "tally.hpp"

namespace sp = pellorin::sphere;

namespace {

sp::Vec gnomonic(double u, double v) {
    const double n = std::sqrt(1.0 + u * u + v * v);
    return {u / n, v / n, 1.0 / n};
}

double rectangle_area(double u0, double u1, double v0, double v1) {
    // Below 1e-4 on a side, the corner sum cancels: the density at the
    // centre times the planar area is then closer (relative error of order
    // the side squared).
    if (u1 - u0 < 1e-4 && v1 - v0 < 1e-4) {
        const double u = 0.5 * (u0 + u1), v = 0.5 * (v0 + v1);
        return (u1 - u0) * (v1 - v0) / std::pow(1.0 + u * u + v * v, 1.5);
    }
    const auto f = [](double u, double v) { return std::atan(u * v / std::sqrt(1.0 + u * u + v * v)); };
    return f(u1, v1) - f(u0, v1) - f(u1, v0) + f(u0, v0);
}

// The counterclockwise quad of a rectangle seen from outside (+z).
void rectangle(double u0, double u1, double v0, double v1, sp::Vec* q) {
    q[0] = gnomonic(u0, v0);
    q[1] = gnomonic(u1, v0);
    q[2] = gnomonic(u1, v1);
    q[3] = gnomonic(u0, v1);
}

bool close(double a, double b, double rel) { return std::fabs(a - b) <= rel * std::fabs(b); }

void arctan_matches_the_library() {
    bool ok = true;
    for (double x = -50.0; x <= 50.0; x += 0.0137) {
        const double ours = sp::arctan(x);
        const double ref = std::atan(x);
        ok = ok && std::fabs(ours - ref) <= 4.0 * std::nextafter(std::fabs(ref), 10.0) - 4.0 * std::fabs(ref) + 1e-300;
    }
    CHECK(ok);
    CHECK(sp::arctan(1e-300) == 1e-300);
    CHECK(sp::arctan(std::numeric_limits<double>::infinity()) == 1.5707963267948966);
    CHECK(std::isnan(sp::arctan(std::numeric_limits<double>::quiet_NaN())));
}

void areas_of_known_polygons() {
    const sp::Vec octant[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    CHECK(close(sp::polygon_area(octant, 3), M_PI / 2, 1e-15));
    const sp::Vec reversed[3] = {{1, 0, 0}, {0, 0, 1}, {0, 1, 0}};
    CHECK(close(sp::polygon_area(reversed, 3), -M_PI / 2, 1e-15));
    sp::Vec face[4];
    rectangle(-1, 1, -1, 1, face);
    CHECK(close(sp::polygon_area(face, 4), 4 * M_PI / 6, 1e-15));
    // An arcsecond pixel keeps its relative accuracy.
    const double h = 4.8e-6;
    for (double c : {0.0, 0.3, 2.0}) {
        sp::Vec q[4];
        rectangle(c, c + h, c, c + h, q);
        CHECK(close(sp::polygon_area(q, 4), rectangle_area(c, c + h, c, c + h), 1e-9));
    }
}

void overlaps_of_rectangles_are_rectangles() {
    struct Pair {
        double a[4], b[4];  // u0, u1, v0, v1
    };
    const Pair pairs[] = {
        {{0.1, 0.3, 0.2, 0.5}, {0.2, 0.4, 0.1, 0.3}},                              // corners cross
        {{0.1, 0.3, 0.2, 0.5}, {0.0, 0.5, 0.0, 0.6}},                              // a inside b
        {{0.0, 0.5, 0.0, 0.6}, {0.1, 0.3, 0.2, 0.5}},                              // b inside a
        {{0.1, 0.3, 0.2, 0.5}, {0.15, 0.25, 0.0, 0.7}},                            // a band through
        {{0.1, 0.3, 0.2, 0.5}, {0.3, 0.4, 0.2, 0.5}},                              // sharing an edge
        {{-2.0, 1.5, -0.3, 0.9}, {0.7, 3.0, -1.0, 0.2}},                           // large
        {{0.5, 0.5 + 1e-5, 0.2, 0.2 + 1e-5}, {0.5 + 3e-6, 0.6, 0.0, 0.2 + 7e-6}},  // arcseconds
    };
    for (const Pair& p : pairs) {
        sp::Vec a[4], b[4];
        rectangle(p.a[0], p.a[1], p.a[2], p.a[3], a);
        rectangle(p.b[0], p.b[1], p.b[2], p.b[3], b);
        const double u0 = std::fmax(p.a[0], p.b[0]), u1 = std::fmin(p.a[1], p.b[1]);
        const double v0 = std::fmax(p.a[2], p.b[2]), v1 = std::fmin(p.a[3], p.b[3]);
        const double ref = u0 < u1 && v0 < v1 ? rectangle_area(u0, u1, v0, v1) : 0.0;
        const double ours = sp::overlap(a, 4, b, 4);
        CHECK(ref == 0.0 ? ours <= 1e-18 : close(ours, ref, 1e-9));
        // Either winding of the clipped polygon.
        const sp::Vec cw[4] = {a[0], a[3], a[2], a[1]};
        CHECK(close(sp::overlap(cw, 4, b, 4), ours, 1e-14) || (ref == 0.0 && sp::overlap(cw, 4, b, 4) <= 1e-18));
    }
    // A cell that is not convex is taken as its two triangles: the
    // rectangle [0, 1] x [0, 1] with its corner (1, 1) pushed in to (0.4,
    // 0.4) is the union of [0, 0.4]^2 and two triangles; it covers that
    // square whole.
    const sp::Vec dart[4] = {gnomonic(0, 0), gnomonic(1, 0), gnomonic(0.4, 0.4), gnomonic(0, 1)};
    sp::Vec square[4];
    rectangle(0.0, 0.4, 0.0, 0.4, square);
    CHECK(close(sp::overlap(square, 4, dart, 4), rectangle_area(0.0, 0.4, 0.0, 0.4), 1e-12));
}

// A grid of cells on the gnomonic plane and a lattice of turned pixels
// over it (both scaled by `scale` about (0.3, 0.2)): the "flux" of unit pixels lying inside the grid adds up to the
// pixel count, the weight of a cell covered by pixels to its solid angle,
// and splitting the rows changes no bit.
void turned_pixels_keep_their_share(double scale, double tolerance) {
    const std::uint64_t n_out = 12, n_in = 7;
    std::vector<double> cells(3 * (n_out + 1) * (n_out + 1)), pixels(3 * (n_in + 1) * (n_in + 1));
    for (std::uint64_t j = 0; j <= n_out; ++j) {
        for (std::uint64_t i = 0; i <= n_out; ++i) {
            const sp::Vec g = gnomonic(0.3 + scale * (-0.6 + 0.1 * static_cast<double>(i)),
                                       0.2 + scale * (-0.6 + 0.1 * static_cast<double>(j)));
            std::memcpy(&cells[3 * (j * (n_out + 1) + i)], &g, sizeof g);
        }
    }
    const double c = std::cos(0.4), s = std::sin(0.4);
    for (std::uint64_t j = 0; j <= n_in; ++j) {
        for (std::uint64_t i = 0; i <= n_in; ++i) {
            const double u = 0.11 * (static_cast<double>(i) - 3.5), v = 0.11 * (static_cast<double>(j) - 3.5);
            const sp::Vec g = gnomonic(0.3 + scale * (c * u - s * v), 0.2 + scale * (s * u + c * v));
            std::memcpy(&pixels[3 * (j * (n_in + 1) + i)], &g, sizeof g);
        }
    }
    std::vector<std::int64_t> spans;
    for (std::uint64_t p = 0; p < n_in * n_in; ++p) {
        spans.insert(spans.end(), {0, static_cast<std::int64_t>(n_out), 0, static_cast<std::int64_t>(n_out)});
    }
    std::vector<double> values(n_in * n_in, 1.0);
    const sp::Lattice in{pixels.data(), n_in, n_in}, out{cells.data(), n_out, n_out};
    std::vector<double> area(n_out * n_out);
    sp::cell_areas(out, 0, n_out, area.data());
    const auto run = [&](std::uint64_t split, std::vector<double>& sums, std::vector<double>& weight,
                         std::vector<double>& flux) {
        sums.assign(n_out * n_out, 0.0);
        weight.assign(n_out * n_out, 0.0);
        flux.assign(n_out * n_out, 0.0);
        const sp::Job job{in, out,        spans.data(), values.data(), 1, area.data(), sums.data(), weight.data(),
                          1,  flux.data()};
        sp::accumulate_rows(job, 0, split);
        sp::accumulate_rows(job, split, n_out);
    };
    std::vector<double> s0, w0, f0, s1, w1, f1;
    run(n_out, s0, w0, f0);
    run(5, s1, w1, f1);
    CHECK(std::memcmp(s0.data(), s1.data(), s0.size() * sizeof(double)) == 0);
    CHECK(std::memcmp(f0.data(), f1.data(), f0.size() * sizeof(double)) == 0);
    double total = 0.0;
    for (double f : f0) {
        total += f;
    }
    CHECK(close(total, static_cast<double>(n_in * n_in), tolerance));
    // The cell at the centre lies inside the turned lattice: covered whole.
    const std::uint64_t centre = 6 * n_out + 6;
    CHECK(close(w0[centre], std::fabs(area[centre]), tolerance));
    CHECK(s0[centre] == w0[centre]);
}

// Patches stand in for pixels and cells partly off the sky: a cell's
// pentagon (its square less a corner) and a pixel's triangle (half its
// square) give the closed forms of those shapes.
void patches_replace_quads() {
    // One cell [0, 0.2]^2 whose patch drops the corner beyond u + v = 0.3;
    // one pixel [-0.1, 0.3]^2 whose patch is its part below v = u (a
    // triangle, wound clockwise).
    std::vector<double> cells, pixels;
    for (double v : {0.0, 0.2}) {
        for (double u : {0.0, 0.2}) {
            const sp::Vec g = gnomonic(u, v);
            cells.insert(cells.end(), {g.x, g.y, g.z});
        }
    }
    for (double v : {-0.1, 0.3}) {
        for (double u : {-0.1, 0.3}) {
            const sp::Vec g = gnomonic(u, v);
            pixels.insert(pixels.end(), {g.x, g.y, g.z});
        }
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> cell_patch, pixel_patch;
    for (const auto& [u, v] : {std::pair{0.0, 0.0}, {0.2, 0.0}, {0.2, 0.1}, {0.1, 0.2}, {0.0, 0.2}}) {
        const sp::Vec g = gnomonic(u, v);
        cell_patch.insert(cell_patch.end(), {g.x, g.y, g.z});
    }
    cell_patch.insert(cell_patch.end(), {nan, nan, nan});
    for (const auto& [u, v] : {std::pair{-0.1, -0.1}, {0.3, 0.3}, {0.3, -0.1}}) {
        const sp::Vec g = gnomonic(u, v);
        pixel_patch.insert(pixel_patch.end(), {g.x, g.y, g.z});
    }
    pixel_patch.resize(std::size_t{3} * sp::max_vertices, nan);
    const std::int64_t index = 0;
    const std::int64_t spans[4] = {0, 1, 0, 1};
    const double value = 2.0;
    const sp::Lattice in{pixels.data(), 1, 1, &index, pixel_patch.data()};
    const sp::Lattice out{cells.data(), 1, 1, &index, cell_patch.data()};
    double area = 0.0, sums = 0.0, weight = 0.0, flux = 0.0;
    sp::cell_areas(out, 0, 1, &area);
    const double pentagon = rectangle_area(0.0, 0.2, 0.0, 0.2) - rectangle_area(0.1, 0.2, 0.1, 0.2) / 2;
    CHECK(close(area, pentagon, 2e-3));  // the cut-off corner is nearly half of its square
    const sp::Job job{in, out, spans, &value, 1, &area, &sums, &weight, 1, &flux};
    sp::accumulate_rows(job, 0, 1);
    // The pixel's triangle holds the cell's part below v = u: half of the
    // pentagon, which is symmetric about u = v as the solid angle is.
    CHECK(close(weight, area / 2, 1e-13));
    CHECK(sums == value * weight);
    // The share is taken of the triangle, not of the pixel's square.
    const sp::Vec tri[3] = {gnomonic(-0.1, -0.1), gnomonic(0.3, 0.3), gnomonic(0.3, -0.1)};
    CHECK(close(flux, value * weight / std::fabs(sp::polygon_area(tri, 3)), 1e-14));

    // A pixel weight u, overlaps as fractions of the cell, a variance: every
    // term is the unweighted one's overlap o taken as t = u * (o / |cell|),
    // and a weight of 0 leaves the pixel out.
    for (const double u : {3.0, 0.0}) {
        const double variance = 0.5;
        double s2 = 0.0, w2 = 0.0, f2 = 0.0, v2 = 0.0;
        sp::Job weighted{in, out, spans, &value, 1, &area, &s2, &w2, 1, &f2};
        weighted.pixel_weight = &u;
        weighted.variance = &variance;
        weighted.variance_sums = &v2;
        weighted.per_cell = true;
        sp::accumulate_rows(weighted, 0, 1);
        const double t = u > 0.0 ? u * (weight / std::fabs(area)) : 0.0;
        CHECK(w2 == t);
        CHECK(s2 == value * t);
        CHECK(f2 == (u > 0.0 ? u * flux : 0.0));
        CHECK(v2 == (t * t) * variance);
    }
}

}  // namespace

int main() {
    arctan_matches_the_library();
    areas_of_known_polygons();
    overlaps_of_rectangles_are_rectangles();
    turned_pixels_keep_their_share(1.0, 1e-13);
    // Arcsecond pixels: the plane tests keep their relative accuracy.
    turned_pixels_keep_their_share(5e-5, 1e-10);
    patches_replace_quads();
    return tally::report();
}
