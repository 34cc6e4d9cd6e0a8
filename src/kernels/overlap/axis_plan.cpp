#include "kernels/overlap/axis_plan.hpp"

#include <algorithm>
#include <cfloat>
#include <utility>

#include "kernels/common/panic.hpp"

namespace pellorin::overlap {

namespace {

constexpr std::int64_t quotient_limit = std::int64_t{1} << 62;

// The power of two that makes every given double an integer: 2^shift with
// shift = -min(0, lowest bit exponent of each non-zero value).
int integer_shift(std::initializer_list<double> values) {
    int lowest = 0;
    for (const double x : values) {
        if (x != 0.0) {
            lowest = std::min(lowest, lowest_bit_exponent(x));
        }
    }
    return -lowest;
}

// Where an edge lies: floor(e) = quotient and e - floor(e) = remainder /
// gamma, when e lies in [-1, in_n + 1) or stepping keeps it exact; `before`
// when e < 0, `after` when e >= in_n (the quotient is then not used).
struct Position {
    std::int64_t quotient = 0;
    WideInt remainder;
    bool before = false;
    bool after = false;
};

class EdgeWalk {
public:
    explicit EdgeWalk(const EdgeGrid& grid) : grid_(grid) {
        // Stepping from one edge to the next adds beta = step_q * gamma +
        // step_r; it keeps every quotient exact while the output pixel is
        // narrower than 2^61 input pixels. Wider pixels are placed one by
        // one (at most two of them overlap the input).
        const FloorDivision step = floor_divide(grid.beta, grid.gamma, 0, std::int64_t{1} << 61);
        stepping_ = !step.above;
        if (stepping_) {
            step_q_ = step.quotient;
            step_r_ = step.remainder;
        }
    }

    Position at(std::uint64_t k) const {
        const WideInt numerator = grid_.alpha + grid_.beta.times(k);
        Position p;
        const FloorDivision d = floor_divide(numerator, grid_.gamma, -quotient_limit, quotient_limit);
        if (d.below) {
            p.before = true;
            p.quotient = -quotient_limit;
            return p;
        }
        if (d.above) {
            p.after = true;
            p.quotient = quotient_limit;
            return p;
        }
        p.quotient = d.quotient;
        p.remainder = d.remainder;
        classify(p);
        return p;
    }

    // The position of edge k + 1 from that of edge k.
    Position next(const Position& p, std::uint64_t k) const {
        if (!stepping_ || p.quotient == -quotient_limit || p.quotient == quotient_limit) {
            return at(k + 1);
        }
        Position q;
        q.quotient = p.quotient + step_q_;
        q.remainder = p.remainder + step_r_;
        if (q.remainder >= grid_.gamma) {
            q.remainder -= grid_.gamma;
            q.quotient += 1;
        }
        classify(q);
        return q;
    }

private:
    void classify(Position& p) const {
        p.before = p.quotient < 0;
        p.after = p.quotient >= static_cast<std::int64_t>(grid_.in_n);
    }

    const EdgeGrid& grid_;
    bool stepping_ = false;
    std::int64_t step_q_ = 0;
    WideInt step_r_;
};

// r / gamma for 0 < r <= gamma, within 3 units in the last place.
double piece(const WideInt& r, const WideInt& gamma) { return approximate_ratio(r, gamma); }

double at_least_normal(double w) { return w < DBL_MIN ? DBL_MIN : w; }

PlanEntry entry_between(const Position& start, const Position& end, const EdgeGrid& grid) {
    PlanEntry e;
    // Offsets within the first and the last pixel, in units of 1 / gamma:
    // the output pixel covers [first + start_off, last + end_off).
    std::uint64_t first = 0;
    WideInt start_off;
    if (!start.before) {
        first = static_cast<std::uint64_t>(start.quotient);
        start_off = start.remainder;
    }
    std::uint64_t last = 0;
    WideInt end_off = grid.gamma;
    if (end.after) {
        last = grid.in_n - 1;
    } else if (end.remainder.is_zero()) {
        last = static_cast<std::uint64_t>(end.quotient) - 1;
    } else {
        last = static_cast<std::uint64_t>(end.quotient);
        end_off = end.remainder;
    }
    if (last < first) {
        panic("fill_plan: a covered output pixel has no input pixel");
    }
    e.first = first;
    e.count = last - first + 1;
    if (e.count == 1) {
        e.cover = piece(end_off - start_off, grid.gamma);
        e.w_first = e.w_mid = e.w_last = 1.0;
        return e;
    }
    const double p_first = start_off.is_zero() ? 1.0 : piece(grid.gamma - start_off, grid.gamma);
    const double p_last = end_off == grid.gamma ? 1.0 : piece(end_off, grid.gamma);
    // Whole pixels are added last: exact for counts below 2^53.
    e.cover = (p_first + p_last) + static_cast<double>(e.count - 2);
    e.w_first = at_least_normal(p_first / e.cover);
    e.w_mid = at_least_normal(1.0 / e.cover);
    e.w_last = at_least_normal(p_last / e.cover);
    return e;
}

// The same walk and entries in 64-bit integers, for grids whose alpha,
// beta and gamma lie below 2^62 (every window of ordinary doubles with
// ordinary sizes): one remainder below gamma per edge, pieces r / gamma as
// the same two conversions and one division as approximate_ratio makes of
// one-limb values, so the entries are the same as the wide walk's.
struct SmallGrid {
    std::uint64_t gamma = 0;
    std::uint64_t step_r = 0;
    std::int64_t step_q = 0;
};

double small_piece(std::uint64_t r, std::uint64_t gamma) { return static_cast<double>(r) / static_cast<double>(gamma); }

struct SmallPosition {
    std::int64_t quotient;
    std::uint64_t remainder;
};

PlanEntry small_entry(const SmallPosition& start, const SmallPosition& end, const SmallGrid& g, std::uint64_t in_n) {
    PlanEntry e;
    std::uint64_t first = 0;
    std::uint64_t start_off = 0;
    if (start.quotient >= 0) {
        first = static_cast<std::uint64_t>(start.quotient);
        start_off = start.remainder;
    }
    std::uint64_t last = 0;
    std::uint64_t end_off = g.gamma;
    if (end.quotient >= static_cast<std::int64_t>(in_n)) {
        last = in_n - 1;
    } else if (end.remainder == 0) {
        last = static_cast<std::uint64_t>(end.quotient) - 1;
    } else {
        last = static_cast<std::uint64_t>(end.quotient);
        end_off = end.remainder;
    }
    if (last < first) {
        panic("fill_plan: a covered output pixel has no input pixel");
    }
    e.first = first;
    e.count = last - first + 1;
    if (e.count == 1) {
        e.cover = small_piece(end_off - start_off, g.gamma);
        e.w_first = e.w_mid = e.w_last = 1.0;
        return e;
    }
    const double p_first = start_off == 0 ? 1.0 : small_piece(g.gamma - start_off, g.gamma);
    const double p_last = end_off == g.gamma ? 1.0 : small_piece(end_off, g.gamma);
    e.cover = (p_first + p_last) + static_cast<double>(e.count - 2);
    e.w_first = at_least_normal(p_first / e.cover);
    e.w_mid = at_least_normal(1.0 / e.cover);
    e.w_last = at_least_normal(p_last / e.cover);
    return e;
}

}  // namespace

namespace {

AxisShape compute_shape(const EdgeGrid& grid) {
    AxisShape shape;
    const std::int64_t out_limit = static_cast<std::int64_t>(grid.out_n);
    // First covered: the smallest k with e_{k+1} > 0, i.e. (k + 1) * beta >
    // -alpha; k = floor(-alpha / beta) when alpha < 0.
    std::uint64_t begin = 0;
    if (grid.alpha.sign() < 0) {
        const FloorDivision d = floor_divide(grid.alpha.negated(), grid.beta, 0, out_limit);
        begin = d.above ? grid.out_n : static_cast<std::uint64_t>(d.quotient);
    }
    // One past the last covered: the smallest k with k * beta >= x, x =
    // in_n * gamma - alpha, i.e. ceil(x / beta) = floor((x - 1) / beta) + 1.
    const WideInt x = grid.gamma.times(grid.in_n) - grid.alpha;
    std::uint64_t end = 0;
    if (x.sign() > 0) {
        const FloorDivision d = floor_divide(x - WideInt::from_u64(1), grid.beta, 0, out_limit);
        end = d.above ? grid.out_n : std::min<std::uint64_t>(static_cast<std::uint64_t>(d.quotient) + 1, grid.out_n);
    }
    shape.covered_begin = std::min(begin, end);
    shape.covered_end = end;

    // Whole factors: alpha and beta multiples of gamma, the first edge at or
    // after 0 and the last at or before in_n.
    const std::int64_t pixels = static_cast<std::int64_t>(grid.in_n);
    const FloorDivision offset = floor_divide(grid.alpha, grid.gamma, 0, pixels);
    const FloorDivision factor = floor_divide(grid.beta, grid.gamma, 1, pixels);
    if (offset.below || offset.above || !offset.remainder.is_zero() || factor.below || factor.above ||
        !factor.remainder.is_zero()) {
        return shape;
    }
    // factor * out_n + offset <= in_n, without overflow: factor <= in_n.
    const auto f = static_cast<std::uint64_t>(factor.quotient);
    const auto o = static_cast<std::uint64_t>(offset.quotient);
    if (grid.out_n <= (grid.in_n - o) / f) {
        shape.uniform = true;
        shape.factor = static_cast<std::uint64_t>(factor.quotient);
        shape.offset = static_cast<std::uint64_t>(offset.quotient);
    }
    return shape;
}

// The shape and the 64-bit form of a grid just made.
void finish(EdgeGrid& grid) {
    grid.shape = compute_shape(grid);
    const WideInt limit = WideInt::from_u64(std::uint64_t{1} << 62);
    if (grid.beta < limit && grid.gamma < limit && grid.alpha < limit && limit.negated() < grid.alpha) {
        const FloorDivision step = floor_divide(grid.beta, grid.gamma, 0, std::int64_t{1} << 61);
        if (!step.above) {
            int exponent = 0;
            grid.small = true;
            const auto magnitude = static_cast<std::int64_t>(grid.alpha.leading_bits(exponent));
            grid.small_alpha = grid.alpha.sign() < 0 ? -magnitude : magnitude;
            grid.small_beta = grid.beta.leading_bits(exponent);
            grid.small_gamma = grid.gamma.leading_bits(exponent);
        }
    }
}

}  // namespace

EdgeGrid window_grid(double origin, double extent, std::uint64_t in_n, std::uint64_t out_n) {
    const int shift = integer_shift({origin, extent});
    EdgeGrid grid;
    // e_k = (origin * out_n + k * extent) / out_n, numerator and denominator
    // scaled by 2^shift.
    grid.alpha = WideInt::from_scaled_double(origin, shift).times(out_n);
    grid.beta = WideInt::from_scaled_double(extent, shift);
    grid.gamma = WideInt::from_scaled_double(1.0, shift).times(out_n);
    grid.in_n = in_n;
    grid.out_n = out_n;
    finish(grid);
    return grid;
}

EdgeGrid bin_grid(double in_origin, double in_bw, double out_origin, double out_bw, std::uint64_t in_n,
                  std::uint64_t out_n) {
    const int shift = integer_shift({in_origin, in_bw, out_origin, out_bw});
    EdgeGrid grid;
    grid.alpha = WideInt::from_scaled_double(out_origin, shift) - WideInt::from_scaled_double(in_origin, shift);
    grid.beta = WideInt::from_scaled_double(out_bw, shift);
    grid.gamma = WideInt::from_scaled_double(in_bw, shift);
    grid.in_n = in_n;
    grid.out_n = out_n;
    finish(grid);
    return grid;
}

void fill_plan(const EdgeGrid& grid, std::uint64_t k_begin, std::uint64_t k_end, PlanEntry* out) {
    const AxisShape& shape = grid.shape;
    const std::uint64_t lo = std::clamp(shape.covered_begin, k_begin, k_end);
    const std::uint64_t hi = std::clamp(shape.covered_end, lo, k_end);
    for (std::uint64_t k = k_begin; k < lo; ++k) {
        out[k - k_begin] = PlanEntry{};
    }
    for (std::uint64_t k = hi; k < k_end; ++k) {
        out[k - k_begin] = PlanEntry{};
    }
    if (lo == hi) {
        return;
    }
    if (grid.small) {
        // Edge lo at (alpha + lo * beta) / gamma: |numerator| < 2^124.
        __extension__ typedef __int128 i128;
        const i128 gamma = static_cast<i128>(grid.small_gamma);
        const i128 numerator = static_cast<i128>(grid.small_alpha) + static_cast<i128>(lo) * grid.small_beta;
        i128 q = numerator / gamma;  // truncated: made the floor below
        i128 r = numerator - q * gamma;
        if (r < 0) {
            r += gamma;
            q -= 1;
        }
        SmallGrid small;
        small.gamma = grid.small_gamma;
        small.step_q = static_cast<std::int64_t>(grid.small_beta / grid.small_gamma);
        small.step_r = grid.small_beta % grid.small_gamma;
        SmallPosition from{static_cast<std::int64_t>(q), static_cast<std::uint64_t>(r)};
        for (std::uint64_t k = lo; k < hi; ++k) {
            SmallPosition to{from.quotient + small.step_q, from.remainder + small.step_r};
            if (to.remainder >= small.gamma) {
                to.remainder -= small.gamma;
                to.quotient += 1;
            }
            out[k - k_begin] = small_entry(from, to, small, grid.in_n);
            from = to;
        }
        return;
    }
    const EdgeWalk walk(grid);
    Position start = walk.at(lo);
    for (std::uint64_t k = lo; k < hi; ++k) {
        Position end = walk.next(start, k);
        out[k - k_begin] = entry_between(start, end, grid);
        start = end;
    }
}

}  // namespace pellorin::overlap
