// The overlap of one quadrilateral with the cells of a window of the output
// grid: the geometry of the accumulation kernel, apart from what is summed.
// Included by quadsum.cpp only, which switches -Wpsabi off for the whole
// file: the vector helpers below are inlined into their callers only, so
// the calling convention of 32-byte vectors without AVX never applies, but
// the compiler reports it at the end of the file.
//
// Coordinates are local to the window's tile: cell (r, c) is the square
// [c - 0.5, c + 0.5] x [r - 0.5, r + 0.5], r and c small integers.
//
// The overlap of a quad Q with a cell is a line integral (Green's theorem
// with the form (x - x_l) dy, x_l the cell's left side): the integral of
// the winding number of Q over the cell is
//     sum over Q's four edges e of  integral over e n cell of (x - x_l) dy
//   + integral over the cell's right side of the winding number dy,
// because the form vanishes on the left side (x = x_l) and on the bottom
// and top (dy = 0). The first term is a trapezoid per edge: the edge is
// clipped to the cell's column (half-open, x_l <= x < x_r) and then to its
// row (closed, by clamping y). The second sums, over the edges that cross
// the line x = x_r (half-open: exactly one of the ends lies left of it), the
// part of the side below the crossing, with the sign of the edge's
// direction (-1 moving right, +1 moving left). A cell's overlap a is the
// absolute value of that integral: the area of the cell's intersection with
// Q for a simple quad of either winding, and for a self-intersecting one the
// absolute integral of its winding number over the cell.
//
// The four edges are four lanes of a vector, so every step is the same
// arithmetic in every lane, without branches; the variants of the
// instruction set (baseline, AVX2) compile the same lane code and give the
// same bits. Floating-point order, per lane: crossings of a line as
// y = ya + dy * ((X - xa) / dx) (and x likewise with the roles swapped);
// the trapezoid as (((X0 - x_l) + (X1 - x_l)) * 0.5) * (Y1 - Y0), taken as
// 0 where Y1 == Y0; the side term as (clamp(y, y0, y1) - y0) * sign; the
// lane's sum trapezoid + side term; the cell's sum (l0 + l1) + (l2 + l3).
//
// Exactness. Every point is compared with the cell lines exactly, so a cell
// that Q misses gets exactly 0 (every trapezoid has Y1 == Y0 and every side
// term clamps to 0), and a cell inside Q whole gets exactly 1. The terms
// are at most 1 in magnitude and few, so a partial cell's overlap is
// accurate to a few units of 2^-53, plus the rounding of the crossings
// (a few units of 2^-53 of the quad's local coordinates).
//
// Large quads cost what they cover: in a row band of a convex quad, the
// cells whose bottom and top sides lie inside Q are inside it whole and are
// reported as one span (overlap exactly 1 each, what the integral gives
// them); only the cells the edges pass through are integrated.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace pellorin::quadsum {

inline constexpr double infinity = std::numeric_limits<double>::infinity();

// Half-open ranges of local cell indices: rows [r0, r1), columns [c0, c1).
struct Window {
    std::int64_t r0, r1, c0, c1;
};

// The index of the first cell [k - 0.5, k + 0.5] that holds coordinate v,
// floor(v + 0.5), and of the last, ceil(v + 0.5) - 1, computed exactly
// (v - floor(v) is exact, where a rounded v + 0.5 could reach the next
// integer); for a v on the line k + 0.5 the first is k + 1, the last k.
inline double first_cell(double v) noexcept {
    const double f = std::floor(v);
    return v - f >= 0.5 ? f + 1.0 : f;
}
inline double last_cell(double v) noexcept {
    const double f = std::floor(v);
    return v - f > 0.5 ? f + 1.0 : f;
}

namespace lanes {

using v4d = double __attribute__((vector_size(32)));
using v4l = std::int64_t __attribute__((vector_size(32)));
using v4i = std::int32_t __attribute__((vector_size(16)));

#define PEL_LANES_INLINE [[gnu::always_inline]] inline

PEL_LANES_INLINE v4d splat(double v) noexcept { return v4d{v, v, v, v}; }
// Minimum and maximum of operands that are never NaN.
PEL_LANES_INLINE v4d vmin(v4d a, v4d b) noexcept { return a < b ? a : b; }
PEL_LANES_INLINE v4d vmax(v4d a, v4d b) noexcept { return a > b ? a : b; }
PEL_LANES_INLINE v4d clamp(v4d v, v4d lo, v4d hi) noexcept { return vmin(vmax(v, lo), hi); }
// Every lane's value moved to lane (k + 1) mod 4, (k + 2) mod 4.
PEL_LANES_INLINE v4d next(v4d v) noexcept { return __builtin_shufflevector(v, v, 1, 2, 3, 0); }
PEL_LANES_INLINE v4d across(v4d v) noexcept { return __builtin_shufflevector(v, v, 2, 3, 0, 1); }
// The minimum (maximum) of the four lanes, in every lane.
PEL_LANES_INLINE v4d all_min(v4d v) noexcept {
    const v4d m = vmin(v, __builtin_shufflevector(v, v, 1, 0, 3, 2));
    return vmin(m, across(m));
}
PEL_LANES_INLINE v4d all_max(v4d v) noexcept {
    const v4d m = vmax(v, __builtin_shufflevector(v, v, 1, 0, 3, 2));
    return vmax(m, across(m));
}
PEL_LANES_INLINE bool all_lanes(v4l m) noexcept { return (m[0] & m[1] & m[2] & m[3]) != 0; }
// Lanes that are neither infinite nor NaN (v - v is 0 exactly for them).
PEL_LANES_INLINE v4l finite(v4d v) noexcept {
    return v - v == splat(0.0);  // NOLINT(misc-redundant-expression): v - v is the finiteness test
}

// floor of every lane, exactly, for lanes of magnitude below 2^51: adding
// and subtracting 1.5 * 2^52 rounds to the nearest integer, stepped down
// where that is above v. The same operations on every instruction set.
PEL_LANES_INLINE v4d floor4(v4d v) noexcept {
    const v4d magic = splat(6755399441055744.0);
    const v4d r = (v + magic) - magic;
    return r > v ? r - 1.0 : r;
}

// A quad's corners, corner k in lane k.
struct Corners {
    v4d x, y;
};

// The cells a quad's bounds reach: clamped to the window, rows
// [r_lo, r_hi] and columns [c_lo, c_hi] (empty when lo > hi); unclamped,
// the first row and column and the numbers of rows and columns (capped at
// 4); `single` when its bounds lie in one cell (which may be outside the
// window).
struct CellRange {
    std::int64_t r_lo, r_hi, c_lo, c_hi;
    double r_first, c_first;
    int rows, cols;
    bool single;
};

// The window's limits for cell_range: {c0, r0, c0 - 1, r0 - 1} and
// {c1, r1, c1 - 1, r1 - 1}, as doubles (computed once per tile).
struct WindowLimits {
    v4d lo, hi;
};

inline WindowLimits window_limits(const Window& win) noexcept {
    const auto d = [](std::int64_t v) { return static_cast<double>(v); };
    return {v4d{d(win.c0), d(win.r0), d(win.c0 - 1), d(win.r0 - 1)},
            v4d{d(win.c1), d(win.r1), d(win.c1 - 1), d(win.r1 - 1)}};
}

// From the bounds {xmin, ymin, xmax, ymax}: first cells of the minima, last
// cells of the maxima, as first_cell and last_cell compute them (bounds are
// clamped to +-2^50 first, far outside every window).
PEL_LANES_INLINE CellRange cell_range(v4d bounds, const WindowLimits& lim) noexcept {
    const v4d big = splat(1125899906842624.0);
    const v4d b = clamp(bounds, -big, big);
    const v4d f = floor4(b);
    const v4d frac = b - f;
    const v4d half = splat(0.5);
    const v4l is_min = v4l{-1, -1, 0, 0};
    const v4l up = is_min ? (frac >= half) : (frac > half);
    const v4d cells = up ? f + 1.0 : f;
    // Window indices are small (a tile's), so the conversion to 32 bits is
    // exact.
    const v4i k = __builtin_convertvector(clamp(cells, lim.lo, lim.hi), v4i);
    const v4d counts = vmin(__builtin_shufflevector(cells, cells, 2, 3, 0, 1) - cells, splat(3.0)) + 1.0;
    return {k[1],
            k[3],
            k[0],
            k[2],
            cells[1],
            cells[0],
            static_cast<int>(counts[1]),
            static_cast<int>(counts[0]),
            cells[0] == cells[2] && cells[1] == cells[3]};
}

// Lane e: the edge from corner e to corner e + 1 (mod 4).
struct Edges {
    v4d xa, ya, xb, yb, dx, dy;
    v4d sign;  // -1 where the edge moves right (dx > 0), else +1
};

PEL_LANES_INLINE Edges edges_of(const Corners& q) noexcept {
    Edges e;
    e.xa = q.x;
    e.ya = q.y;
    e.xb = next(q.x);
    e.yb = next(q.y);
    e.dx = e.xb - e.xa;
    e.dy = e.yb - e.ya;
    e.sign = e.dx > splat(0.0) ? splat(-1.0) : splat(1.0);
    return e;
}

// Whether the quad is strictly convex: the cross products of consecutive
// edges, dx_k dy_k+1 - dy_k dx_k+1, all positive or all negative.
// Degenerate, concave and self-intersecting quads are not; they get no
// spans.
PEL_LANES_INLINE bool strictly_convex(const Edges& e) noexcept {
    const v4d cross = e.dx * next(e.dy) - e.dy * next(e.dx);
    return all_lanes(cross > splat(0.0)) || all_lanes(cross < splat(0.0));
}

// One vertical line x = X as the edges meet it: which ends lie left of it,
// and the height where the lanes that cross it (exactly one end left) do
// so; the other lanes hold their start's y, so that every lane is finite.
struct Line {
    v4l a_left, b_left;
    v4d y;
};

PEL_LANES_INLINE Line vertical_line(const Edges& e, v4d X) noexcept {
    const v4l a_left = e.xa < X, b_left = e.xb < X;
    return {a_left, b_left, (a_left ^ b_left) ? e.ya + e.dy * ((X - e.xa) / e.dx) : e.ya};
}

// The edges clipped to one column [x_l, x_r): each lane's part from
// (xs0, ys0) to (xs1, ys1) in the edge's direction, the same point twice
// when the edge misses the column; and the right side's crossing height yr,
// -inf where the edge does not cross x = x_r (its side term is then 0).
struct Column {
    v4d xs0, ys0, xs1, ys1, yr;
    v4d xl;  // x_l in every lane
};

PEL_LANES_INLINE Column column_of(const Edges& e, const Line& left, const Line& right, v4d xl, v4d xr) noexcept {
    const v4l cross_l = left.a_left ^ left.b_left;
    const v4l cross_r = right.a_left ^ right.b_left;
    const v4l a_right = ~right.a_left, b_right = ~right.b_left;
    // An end left of the column enters at x_l, one right of it at x_r;
    // missing the column, both ends become the edge's start.
    const v4d in_l_x = cross_l ? xl : e.xa;
    const v4d in_r_x = cross_r ? xr : e.xa;
    Column c;
    c.xs0 = left.a_left ? in_l_x : (a_right ? in_r_x : e.xa);
    c.ys0 = left.a_left ? left.y : (a_right ? right.y : e.ya);
    c.xs1 = left.b_left ? in_l_x : (b_right ? in_r_x : e.xb);
    c.ys1 = left.b_left ? left.y : (b_right ? right.y : e.yb);
    c.yr = cross_r ? right.y : splat(-infinity);
    c.xl = xl;
    return c;
}

// One horizontal line y = Y as the edges meet it: which lanes cross it
// (exactly one end below) and where; the other lanes hold their start's x.
struct Level {
    v4l cross;
    v4d x;
};

PEL_LANES_INLINE Level level_of(const Edges& e, v4d Y) noexcept {
    const v4l cross = (e.ya < Y) ^ (e.yb < Y);
    return {cross, cross ? e.xa + e.dx * ((Y - e.ya) / e.dy) : e.xa};
}

// The signed integral over the cell of column c and the band between the
// levels whose crossings are lo_x (y = y0) and hi_x (y = y1), before the
// absolute value. Where a
// lane's part of the column lies wholly above or below the band its
// trapezoid has height 0 (and finite ends: a clamped end takes a level's
// x, finite in every lane).
PEL_LANES_INLINE double cell_integral(const Edges& e, const Column& c, v4d lo_x, v4d hi_x, v4d y0, v4d y1) noexcept {
    const v4d L = c.xl;
    const v4d ya = clamp(c.ys0, y0, y1), yb = clamp(c.ys1, y0, y1);
    const v4d xa = ya == c.ys0 ? c.xs0 : (ya == y0 ? lo_x : hi_x);
    const v4d xb = yb == c.ys1 ? c.xs1 : (yb == y0 ? lo_x : hi_x);
    const v4d trap = (((xa - L) + (xb - L)) * 0.5) * (yb - ya);
    const v4d side = (clamp(c.yr, y0, y1) - y0) * e.sign;
    const v4d lane = trap + side;
    return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

// The x extent of the quad in the band between levels lo (y = y0) and hi
// (y = y1): its crossings of both lines and its corners inside the band.
// Empty (min > max) when the quad misses the band.
PEL_LANES_INLINE void band_extent(const Edges& e, const Level& lo, const Level& hi, v4d y0, v4d y1, double& xmin,
                                  double& xmax) noexcept {
    const v4d inf = splat(infinity), ninf = splat(-infinity);
    const v4l inside = (e.ya >= y0) & (e.ya <= y1);
    xmin = all_min(vmin(vmin(lo.cross ? lo.x : inf, hi.cross ? hi.x : inf), inside ? e.xa : inf))[0];
    xmax = all_max(vmax(vmax(lo.cross ? lo.x : ninf, hi.cross ? hi.x : ninf), inside ? e.xa : ninf))[0];
}

// For a convex quad: the segment [a, b] of x where both band lines lie
// inside it (between the outermost crossings of each line); a >= b when
// there is none.
PEL_LANES_INLINE void inner_segment(const Level& lo, const Level& hi, double& a, double& b) noexcept {
    const v4d inf = splat(infinity), ninf = splat(-infinity);
    const v4d mn = vmax(all_min(lo.cross ? lo.x : inf), all_min(hi.cross ? hi.x : inf));
    const v4d mx = vmin(all_max(lo.cross ? lo.x : ninf), all_max(hi.cross ? hi.x : ninf));
    a = mn[0];
    b = mx[0];
}

// Columns a quad's column data is computed for at a time.
inline constexpr std::int64_t column_chunk = 128;

inline std::int64_t clamp_index(double v, std::int64_t lo, std::int64_t hi) noexcept {
    const auto l = static_cast<double>(lo), h = static_cast<double>(hi);
    return static_cast<std::int64_t>(v < l ? l : (v > h ? h : v));
}

// Calls sink.cell(r, c, a) for every cell of range `k` (within the window)
// that the quad with edges e overlaps with a > 0, and sink.span(r, first,
// last) for runs of cells of row r inside a convex quad whole (a = 1
// each). Every cell is reported at most once, in an order of no
// consequence (each cell takes one term per quad). Every coordinate must be
// finite.
template <class Sink>
PEL_LANES_INLINE void cover_quad(const Edges& e, const CellRange& k, Sink& sink) {
    // Row by row, each band finding its own extent and the span of cells
    // inside a convex quad whole; the columns' parts of the edges are found
    // once, in chunks of columns.
    const bool convex = strictly_convex(e);
    Column cols[column_chunk];
    for (std::int64_t k0 = k.c_lo; k0 <= k.c_hi; k0 += column_chunk) {
        const std::int64_t k1 = k0 + column_chunk - 1 < k.c_hi ? k0 + column_chunk - 1 : k.c_hi;
        v4d xl = splat(static_cast<double>(k0) - 0.5);
        Line left = vertical_line(e, xl);
        for (std::int64_t c = k0; c <= k1; ++c) {
            const v4d xr = xl + 1.0;
            const Line right = vertical_line(e, xr);
            cols[c - k0] = column_of(e, left, right, xl, xr);
            left = right;
            xl = xr;
        }
        v4d y0 = splat(static_cast<double>(k.r_lo) - 0.5);
        Level lo = level_of(e, y0);
        for (std::int64_t r = k.r_lo; r <= k.r_hi; ++r) {
            const v4d y1 = y0 + 1.0;
            const Level hi = level_of(e, y1);
            const auto integrate = [&](std::int64_t from, std::int64_t to) {
                for (std::int64_t c = from; c <= to; ++c) {
                    const double a = std::fabs(cell_integral(e, cols[c - k0], lo.x, hi.x, y0, y1));
                    if (a > 0.0) {
                        sink.cell(r, c, a);
                    }
                }
            };
            double xmin, xmax;
            band_extent(e, lo, hi, y0, y1, xmin, xmax);
            if (xmin <= xmax) {
                const std::int64_t first = clamp_index(first_cell(xmin), k0, k1 + 1);
                const std::int64_t last = clamp_index(last_cell(xmax), k0 - 1, k1);
                std::int64_t span_first = last + 1, span_last = last;
                if (convex) {
                    double a, b;
                    inner_segment(lo, hi, a, b);
                    if (a < b) {
                        // Cells j with j - 0.5 >= a and j + 0.5 <= b.
                        span_first = clamp_index(last_cell(a) + 1.0, first, last + 1);
                        span_last = clamp_index(first_cell(b) - 1.0, span_first - 1, last);
                    }
                }
                integrate(first, span_first - 1);
                if (span_first <= span_last) {
                    sink.span(r, span_first, span_last);
                }
                integrate(span_last + 1, last);
            }
            lo = hi;
            y0 = y1;
        }
    }
}

// A quad whose cells span at most Rows rows and Cols columns (2 or 3
// each), integrated over the Rows x Cols cells from its first cell
// (r_first, c_first) with fixed trip counts, so that no branch depends on
// its shape: the same arithmetic as cover_quad's, cell for cell. The lines
// at the block's left and bottom are met by no edge, and the crossings of
// its top line are never taken (a part of an edge can reach past a band
// line only if the quad does), so they hold the edges' starts. Cells
// beyond the quad's own range get exactly 0. Calls
// sink.cell_if(r, c, a, keep) for every cell of the block, keep = a > 0 and
// the cell in the window.
template <int Rows, int Cols, class Sink>
PEL_LANES_INLINE void cover_small(const Edges& e, double r_first, double c_first, const Window& win, Sink& sink) {
    const v4l none = v4l{0, 0, 0, 0};
    const v4d y0 = splat(r_first - 0.5);
    v4d levels[Rows + 1];
    levels[0] = e.xa;
    levels[Rows] = e.xa;
#pragma GCC unroll 3
    for (int b = 1; b < Rows; ++b) {
        levels[b] = level_of(e, y0 + static_cast<double>(b)).x;
    }
    // Which of the block's cells lie in the window: bit Cols * b + m. All
    // of them but near the window's sides.
    const auto r = static_cast<std::int64_t>(r_first), c = static_cast<std::int64_t>(c_first);
    unsigned inside = (1u << (Rows * Cols)) - 1u;
    if (!(r >= win.r0 && r + Rows <= win.r1 && c >= win.c0 && c + Cols <= win.c1)) [[unlikely]] {
        inside = 0;
        for (int b = 0; b < Rows; ++b) {
            for (int m = 0; m < Cols; ++m) {
                const bool in = r + b >= win.r0 && r + b < win.r1 && c + m >= win.c0 && c + m < win.c1;
                inside |= in ? 1u << (Cols * b + m) : 0u;
            }
        }
    }
    Line left{none, none, e.ya};
    v4d xl = splat(c_first - 0.5);
#pragma GCC unroll 3
    for (int m = 0; m < Cols; ++m) {
        const v4d xr = xl + 1.0;
        const Line right = vertical_line(e, xr);
        const Column col = column_of(e, left, right, xl, xr);
        left = right;
        xl = xr;
        v4d ylo = y0;
#pragma GCC unroll 3
        for (int b = 0; b < Rows; ++b) {
            const v4d yhi = ylo + 1.0;
            const double a = std::fabs(cell_integral(e, col, levels[b], levels[b + 1], ylo, yhi));
            sink.cell_if(r + b, c + m, a, a > 0.0 && ((inside >> (Cols * b + m)) & 1u) != 0);
            ylo = yhi;
        }
    }
}

#undef PEL_LANES_INLINE

}  // namespace lanes

}  // namespace pellorin::quadsum
