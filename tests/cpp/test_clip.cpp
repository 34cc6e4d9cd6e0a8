// Invariants of the clipping kernel that are awkward to reach from Python.
// Links only against the kernel library; built and run by ctest (make cpptest).
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "kernels/clip/clip.hpp"
#include "tally.hpp"

using pellorin::clip::ClipScratch;
using pellorin::clip::Point;
using pellorin::clip::PointBuffer;
using pellorin::clip::Quad;
using pellorin::clip::Side;

namespace {

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_points(std::span<const Point> a, std::span<const Point> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (!same_bits(a[k].x, b[k].x) || !same_bits(a[k].y, b[k].y)) {
            return false;
        }
    }
    return true;
}

Quad rect(double x0, double y0, double x1, double y1) { return Quad{{{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}}; }

std::span<const Point> corners(const Quad& q) { return {q.corner, 4}; }

void areas_of_whole_quads() {
    const Quad ccw = rect(0, 0, 1, 1);
    const Quad cw{{{0, 0}, {0, 1}, {1, 1}, {1, 0}}};
    CHECK(pellorin::clip::polygon_area(ccw) == 1.0);
    CHECK(pellorin::clip::polygon_area(cw) == 1.0);
    // Bow-tie: lobes of opposite winding subtract; equal lobes cancel.
    const Quad bow{{{0.25, 0.25}, {0.75, 0.75}, {0.75, 0.25}, {0.25, 0.75}}};
    CHECK(pellorin::clip::polygon_area(bow) == 0.0);
    const Quad nan_corner{{{0, 0}, {std::nan(""), 0}, {1, 1}, {0, 1}}};
    CHECK(std::isnan(pellorin::clip::polygon_area(nan_corner)));
    CHECK(pellorin::clip::polygon_area(std::span<const Point>(ccw.corner, 2)) == 0.0);
}

void clipping_cases() {
    ClipScratch s;
    // Quad strictly inside the cell: the quad itself, corners in order.
    const Quad inner{{{0.2, 0.3}, {0.8, 0.2}, {0.7, 0.9}, {0.1, 0.6}}};
    auto p = pellorin::clip::clip_to_cell(inner, 0, 1, 0, 1, s);
    CHECK(same_points(p, corners(inner)));
    CHECK(same_bits(pellorin::clip::polygon_area(p), pellorin::clip::polygon_area(inner)));
    // Cell strictly inside the quad: the cell's four corners, area exactly 1.
    p = pellorin::clip::clip_to_cell(rect(-1, -1, 2, 2), 0, 1, 0, 1, s);
    CHECK(p.size() == 4);
    CHECK(pellorin::clip::polygon_area(p) == 1.0);
    // Shared edge and shared corner: degenerate, area 0.
    p = pellorin::clip::clip_to_cell(rect(1, 0, 2, 1), 0, 1, 0, 1, s);
    CHECK(pellorin::clip::polygon_area(p) == 0.0);
    p = pellorin::clip::clip_to_cell(rect(1, 1, 2, 2), 0, 1, 0, 1, s);
    CHECK(pellorin::clip::polygon_area(p) == 0.0);
    // Entirely left of x_lo: the first stage yields nothing.
    p = pellorin::clip::clip_to_cell(rect(-3, 0, -2, 1), 0, 1, 0, 1, s);
    CHECK(p.empty());
    CHECK(s.left.size() == 0);
    // A vertex on a side is inside and stays.
    const Quad on_side{{{0, 0.5}, {0.5, 0.2}, {0.9, 0.5}, {0.5, 0.8}}};
    p = pellorin::clip::clip_to_cell(on_side, 0, 1, 0, 1, s);
    CHECK(same_points(p, corners(on_side)));
    // NaN corner: outside every stage testing its axis, never a failure.
    const Quad nan_quad{{{0.2, 0.2}, {std::nan(""), 0.5}, {0.8, 0.8}, {0.2, 0.8}}};
    p = pellorin::clip::clip_to_cell(nan_quad, 0, 1, 0, 1, s);
    const double a = pellorin::clip::polygon_area(p);
    CHECK(!(a > 0.0) || std::isfinite(a));
}

void one_stage_per_side() {
    const Quad q = rect(0, 0, 2, 2);
    PointBuffer out(8);
    const struct {
        Side side;
        double c;
        double area;
    } cases[] = {{Side::Left, 0.5, 3.0}, {Side::Right, 0.5, 1.0}, {Side::Bottom, 1.5, 1.0}, {Side::Top, 1.5, 3.0}};
    for (const auto& k : cases) {
        pellorin::clip::clip_half_plane(corners(q), out, k.side, k.c);
        CHECK(pellorin::clip::polygon_area(out.points()) == k.area);
    }
    pellorin::clip::clip_half_plane({}, out, Side::Left, 0.0);
    CHECK(out.size() == 0);
}

// Splitting the stages at the column gives the same points as clip_to_cell.
void column_split_is_bit_identical() {
    std::mt19937_64 gen(12345);
    std::uniform_real_distribution<double> u(-1.0, 3.0);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               0.0,
                               1.0,
                               2.0};
    ClipScratch whole;
    ClipScratch split;
    int mismatches = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        Quad q;
        for (Point& c : q.corner) {
            c = {u(gen), u(gen)};
            if (trial % 5 == 0) {
                c = {std::round(c.x * 2) / 2, std::round(c.y * 2) / 2};
            }
        }
        if (trial % 97 == 0) {
            q.corner[trial % 4].x = specials[trial % 6];
        }
        for (int ix = 0; ix < 3; ++ix) {
            const double x_lo = 0.0 + 1.0 * ix;
            const double x_hi = 1.0 + x_lo;
            const bool column = pellorin::clip::clip_to_column(q, x_lo, x_hi, split);
            for (int iy = 0; iy < 3; ++iy) {
                const double y_lo = 0.0 + 1.0 * iy;
                const double y_hi = 1.0 + y_lo;
                auto expected = pellorin::clip::clip_to_cell(q, x_lo, x_hi, y_lo, y_hi, whole);
                std::span<const Point> got;
                if (column) {
                    got = pellorin::clip::clip_column_to_cell(y_lo, y_hi, split);
                }
                mismatches += same_points(got, expected) ? 0 : 1;
            }
        }
    }
    CHECK(mismatches == 0);
    // Growth happens while warming up only: room for twice a stage's input,
    // which stays small for quads, and none after that.
    const std::size_t caps[] = {whole.a.capacity(), whole.b.capacity(), split.a.capacity(), split.b.capacity(),
                                split.column.capacity()};
    for (std::size_t c : caps) {
        CHECK(c >= ClipScratch::initial_capacity && c <= 64);
    }
    for (int again = 0; again < 100; ++again) {
        pellorin::clip::clip_to_cell(rect(-1, -1, 2, 2), 0, 1, 0, 1, whole);
    }
    CHECK(whole.a.capacity() == caps[0] && whole.b.capacity() == caps[1]);
}

void buffers_grow_and_are_kept() {
    PointBuffer buf(8);
    std::vector<Point> many(40, Point{0.5, 0.5});
    pellorin::clip::clip_half_plane(many, buf, Side::Left, 0.0);
    CHECK(buf.size() == 40);
    const std::size_t grown = buf.capacity();
    CHECK(grown >= 80);
    buf.clear();
    CHECK(buf.capacity() == grown);
    pellorin::clip::clip_half_plane(many, buf, Side::Left, 0.0);
    CHECK(buf.capacity() == grown);
}

}  // namespace

int main() {
    areas_of_whole_quads();
    clipping_cases();
    one_stage_per_side();
    column_split_is_bit_identical();
    buffers_grow_and_are_kept();
    return tally::report();
}
