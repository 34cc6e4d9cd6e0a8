// Clipping of a quadrilateral against an axis-aligned cell, and polygon area.
//
// Pure float64 arithmetic on points: no Python, no allocation once the
// scratch buffers have grown to size. Every product, quotient and sum is
// rounded on its own (the build forbids contraction into fused multiply-add),
// in the order written below, so results are reproducible to the last bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pellorin::clip {

struct Point {
    double x;
    double y;
};

// Corners Q0..Q3 in stored order; the polygon Q0 -> Q1 -> Q2 -> Q3 -> Q0.
// Either winding is accepted; convexity is expected but never tested.
struct Quad {
    Point corner[4];
};

// A growable run of points: `size` points are valid, `capacity` are
// allocated. Clearing keeps the capacity, so a buffer that has grown to size
// never allocates again.
class PointBuffer {
public:
    explicit PointBuffer(std::size_t capacity) : storage_(capacity) {}

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return storage_.size(); }
    void clear() noexcept { size_ = 0; }
    // Empties the buffer and returns room for at least `n` points, to be
    // filled before `set_size`. Grows (discarding nothing of value) only when
    // the capacity is short.
    Point* prepare(std::size_t n) {
        size_ = 0;
        if (n > storage_.size()) [[unlikely]] {
            grow(n);
        }
        return storage_.data();
    }
    void set_size(std::size_t n) noexcept { size_ = n; }
    const Point* data() const noexcept { return storage_.data(); }
    std::span<const Point> points() const noexcept { return {storage_.data(), size_}; }

private:
    [[gnu::noinline]] void grow(std::size_t n);
    std::vector<Point> storage_;
    std::size_t size_ = 0;
};

// The buffers of the clipping stages, owned by one call of the rebinning
// kernel and reused for every cell of every quad: `left` and `column` take
// the left and right stages, which clip a quad to one column of cells, and
// A and B the bottom and top stages of each cell of that column.
struct ClipScratch {
    static constexpr std::size_t initial_capacity = 8;
    PointBuffer a{initial_capacity};
    PointBuffer b{initial_capacity};
    PointBuffer left{initial_capacity};
    PointBuffer column{initial_capacity};
    // The quad clipped to the current column: the points of `left` or
    // `column`, or the quad's own corners when no stage changed them.
    const Point* column_points = nullptr;
    std::size_t column_size = 0;
    // The range of the column's y coordinates; meaningful only when
    // `column_ranged` (no y is NaN).
    double column_ymin = 0.0;
    double column_ymax = 0.0;
    bool column_ranged = false;
};

// The range of a quad's x coordinates; meaningful only when `ranged` (no x
// is NaN).
struct XRange {
    double xmin;
    double xmax;
    bool ranged;
};

inline XRange x_range(const Quad& quad) noexcept {
    XRange r{quad.corner[0].x, quad.corner[0].x, true};
    for (const Point& c : quad.corner) {
        r.xmin = c.x < r.xmin ? c.x : r.xmin;
        r.xmax = c.x > r.xmax ? c.x : r.xmax;
        r.ranged = r.ranged && c.x == c.x;
    }
    return r;
}

enum class Side { Left, Right, Bottom, Top };

namespace detail {

// Inclusive inside tests: a point on the boundary line is inside; a NaN
// coordinate on the tested axis compares false and is outside.
template <Side S>
inline bool inside(Point p, double c) noexcept {
    if constexpr (S == Side::Left) {
        return p.x >= c;
    } else if constexpr (S == Side::Right) {
        return p.x <= c;
    } else if constexpr (S == Side::Bottom) {
        return p.y >= c;
    } else {
        return p.y <= c;
    }
}

// Crossing of the edge prev -> cur with the boundary line, always computed
// from prev towards cur: t is formed first, then multiplied by the
// coordinate difference, then added to prev's coordinate. The clipped
// coordinate is set to c exactly. The divisor is non-zero because prev and
// cur lie on opposite sides of the line.
template <Side S>
inline Point crossing(Point prev, Point cur, double c) noexcept {
    if constexpr (S == Side::Left || S == Side::Right) {
        const double t = (c - prev.x) / (cur.x - prev.x);
        return {c, prev.y + (cur.y - prev.y) * t};
    } else {
        const double t = (c - prev.y) / (cur.y - prev.y);
        return {prev.x + (cur.x - prev.x) * t, c};
    }
}

// A run of points that a stage produced: either the stage's own output
// buffer or, when the stage keeps every point, its input itself.
struct Run {
    const Point* p;
    std::size_t n;
};

// One Sutherland-Hodgman stage over `n` input points, starting with the
// closing edge (last point -> first point). `out` must have room for 2n
// points: each input point appends at most a crossing and itself. Returns
// the number of points written.
template <Side S>
inline std::size_t clip_stage(const Point* in, std::size_t n, Point* out, double c) noexcept {
    if (n == 0) {
        return 0;
    }
    std::size_t m = 0;
    Point prev = in[n - 1];
    bool prev_in = inside<S>(prev, c);
    for (std::size_t k = 0; k < n; ++k) {
        const Point cur = in[k];
        const bool cur_in = inside<S>(cur, c);
        if (cur_in) {
            if (!prev_in) {
                out[m++] = crossing<S>(prev, cur, c);
            }
            out[m++] = cur;
        } else if (prev_in) {
            out[m++] = crossing<S>(prev, cur, c);
        }
        prev = cur;
        prev_in = cur_in;
    }
    return m;
}

template <Side S>
inline void clip_into(const Point* in, std::size_t n, PointBuffer& out, double c) {
    Point* dst = out.prepare(2 * n);
    out.set_size(clip_stage<S>(in, n, dst, c));
}

// One stage applied to a run whose coordinates on the tested axis are known
// to lie in [lo, hi] with none of them NaN (`ranged`), or are unknown. When
// every point is inside, the stage appends each point once and nothing
// else, so its output is its input, point for point: that run is returned
// as it is. When no point is inside, the output is empty. Only the other
// cases run the stage, into `out`. The tests below are the stage's own
// inside tests applied to the extremes, so they decide exactly as the stage
// would (on y for Bottom and Top, on x for Left and Right).
template <Side S>
inline Run clip_ranged(Run in, PointBuffer& out, double c, bool ranged, double lo, double hi) {
    if (ranged) {
        constexpr bool lower = S == Side::Left || S == Side::Bottom;  // inside when >= c
        if (lower ? lo >= c : hi <= c) {
            return in;
        }
        if (lower ? !(hi >= c) : !(lo <= c)) {
            out.clear();
            return {out.data(), 0};
        }
    }
    Point* dst = out.prepare(2 * in.n);
    const std::size_t m = clip_stage<S>(in.p, in.n, dst, c);
    out.set_size(m);
    return {dst, m};
}

}  // namespace detail

// One clipping stage: clears `output`, then fills it with the part of the
// closed polygon `input` that lies inside the half-plane of `side` at `c`.
// `input` and `output` must not overlap.
void clip_half_plane(std::span<const Point> input, PointBuffer& output, Side side, double c);

// The four stages split at the column. `clip_to_column` runs the left and
// right stages (quad -> left -> column) once for a column of cells, and
// `clip_column_to_cell` the bottom and top stages (column -> A -> B) for each
// cell of it. Stages 1 and 2 depend only on x_lo and x_hi, so every cell gets
// exactly the points, bit for bit, that the four stages in a row give it,
// and the early exits coincide: an empty column means an empty result in
// every cell. A stage that keeps every point, or none, is decided from the
// range of its input (see `clip_ranged`). Returns false when the column
// holds no points.
//
// `quad` must stay in place while the column's cells are clipped; `xr` is
// its `x_range`. Kept out of line: once per column, and the kernel that
// calls it keeps its own values in registers.
[[gnu::noinline]] inline bool clip_to_column(const Quad& quad, const XRange& xr, double x_lo, double x_hi,
                                             ClipScratch& scratch) {
    const detail::Run left =
        detail::clip_ranged<Side::Left>({quad.corner, 4}, scratch.left, x_lo, xr.ranged, xr.xmin, xr.xmax);
    scratch.column_points = left.p;
    scratch.column_size = 0;
    if (left.n == 0) {
        scratch.column.clear();
        return false;
    }
    // The left stage only removes points or adds ones at x = x_lo, inside
    // it: the range narrows to [max(xmin, x_lo), xmax].
    const double lo = xr.xmin >= x_lo ? xr.xmin : x_lo;
    const detail::Run right = detail::clip_ranged<Side::Right>(left, scratch.column, x_hi, xr.ranged, lo, xr.xmax);
    double ymin = 0.0;
    double ymax = 0.0;
    bool y_ranged = right.n != 0;
    if (y_ranged) {
        ymin = right.p[0].y;
        ymax = right.p[0].y;
    }
    for (std::size_t k = 0; k < right.n; ++k) {
        const double y = right.p[k].y;
        ymin = y < ymin ? y : ymin;
        ymax = y > ymax ? y : ymax;
        y_ranged = y_ranged && y == y;
    }
    scratch.column_points = right.p;
    scratch.column_size = right.n;
    scratch.column_ymin = ymin;
    scratch.column_ymax = ymax;
    scratch.column_ranged = y_ranged;
    return right.n != 0;
}

inline bool clip_to_column(const Quad& quad, double x_lo, double x_hi, ClipScratch& scratch) {
    return clip_to_column(quad, x_range(quad), x_lo, x_hi, scratch);
}

// The cell's polygon, a view valid until the next use of `scratch` or of
// the quad (it lies wherever the last stage that changed anything left
// it). May be empty or have fewer than three points.
inline std::span<const Point> clip_column_to_cell(double y_lo, double y_hi, ClipScratch& scratch) {
    const bool ranged = scratch.column_ranged;
    const double ymin = scratch.column_ymin;
    const double ymax = scratch.column_ymax;
    scratch.b.clear();
    const detail::Run bottom = detail::clip_ranged<Side::Bottom>({scratch.column_points, scratch.column_size},
                                                                 scratch.a, y_lo, ranged, ymin, ymax);
    if (bottom.n == 0) {
        return {};
    }
    // After the bottom stage the range is [max(ymin, y_lo), ymax].
    const double lo = ymin >= y_lo ? ymin : y_lo;
    const detail::Run top = detail::clip_ranged<Side::Top>(bottom, scratch.b, y_hi, ranged, lo, ymax);
    return {top.p, top.n};
}

// Clips `quad` against the closed cell x_lo <= x <= x_hi, y_lo <= y <= y_hi
// in four stages, left, right, bottom, top, and stops as soon as a stage
// yields no points. The result is a view valid until the next use of
// `scratch`; it may be empty or have fewer than three points.
inline std::span<const Point> clip_to_cell(const Quad& quad, double x_lo, double x_hi, double y_lo, double y_hi,
                                           ClipScratch& scratch) {
    if (!clip_to_column(quad, x_lo, x_hi, scratch)) {
        scratch.b.clear();
        return {};
    }
    return clip_column_to_cell(y_lo, y_hi, scratch);
}

// Absolute shoelace area; 0.0 for fewer than three points, NaN when a
// coordinate is NaN. Terms run k = 0 .. n-1 with j = k + 1 (0 for the last):
// both products are rounded, then their difference, then it is added to the
// running sum. The result is |sum| * 0.5, independent of winding.
inline double polygon_area(std::span<const Point> p) noexcept {
    const std::size_t n = p.size();
    if (n < 3) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        sum = sum + (p[k].x * p[k + 1].y - p[k + 1].x * p[k].y);
    }
    sum = sum + (p[n - 1].x * p[0].y - p[0].x * p[n - 1].y);
    return std::fabs(sum) * 0.5;
}

// Area of a whole quad, terms (Q0,Q1), (Q1,Q2), (Q2,Q3), (Q3,Q0).
inline double polygon_area(const Quad& q) noexcept { return polygon_area(std::span<const Point>(q.corner, 4)); }

}  // namespace pellorin::clip
