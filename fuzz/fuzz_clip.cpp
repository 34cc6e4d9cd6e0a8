// Clipping and area: a clipped polygon lies in its cell and its area is
// within [0, cell area] up to rounding; NaN and infinite input never crash;
// the cell's polygon is, bit for bit, the four single stages run one after
// the other (stages that keep every point or none are decided from ranges).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.hpp"
#include "kernels/clip/clip.hpp"

using namespace pellorin::clip;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    const bool raw = in.take<std::uint8_t>() & 1;
    Quad quad;
    for (Point& p : quad.corner) {
        p.x = raw ? in.take<double>() : in.finite(1e4);
        p.y = raw ? in.take<double>() : in.finite(1e4);
    }
    double x0 = in.finite(1e4), x1 = in.finite(1e4), y0 = in.finite(1e4), y1 = in.finite(1e4);
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    ClipScratch scratch;
    auto poly = clip_to_cell(quad, x0, x1, y0, y1, scratch);
    PointBuffer a(8), b(8);
    clip_half_plane({quad.corner, 4}, a, Side::Left, x0);
    if (a.size() != 0) clip_half_plane(a.points(), b, Side::Right, x1);
    if (b.size() != 0) clip_half_plane(b.points(), a, Side::Bottom, y0);
    if (b.size() != 0 && a.size() != 0)
        clip_half_plane(a.points(), b, Side::Top, y1);
    else
        b.clear();
    FUZZ_ASSERT(poly.size() == b.size());
    FUZZ_ASSERT(poly.empty() || std::memcmp(poly.data(), b.data(), poly.size() * sizeof(Point)) == 0);
    const double area = polygon_area(poly);
    const double whole = polygon_area(quad);
    if (raw) {
        return 0;  // only "no crash, no out-of-bounds access" for arbitrary doubles
    }
    const double cell = (x1 - x0) * (y1 - y0);
    const double scale = 1e4 * 1e4;
    FUZZ_ASSERT(area >= 0.0);
    FUZZ_ASSERT(area <= cell + 1e-9 * scale);
    FUZZ_ASSERT(whole >= 0.0);
    for (const Point& p : poly) {
        FUZZ_ASSERT(p.x >= x0 - 1e-9 * 1e4 && p.x <= x1 + 1e-9 * 1e4);
        FUZZ_ASSERT(p.y >= y0 - 1e-9 * 1e4 && p.y <= y1 + 1e-9 * 1e4);
    }
    return 0;
}
