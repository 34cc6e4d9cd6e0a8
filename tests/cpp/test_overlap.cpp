// Exact edges: WideInt arithmetic against 128-bit integers, and the overlap
// plans of windows with dyadic edges against plans computed in 128-bit
// integer arithmetic from the definition. Links only against the kernels.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "kernels/overlap/axis_plan.hpp"
#include "kernels/overlap/wide_int.hpp"

#include "tally.hpp"

using pellorin::overlap::axis_shape;
using pellorin::overlap::EdgeGrid;
using pellorin::overlap::fill_plan;
using pellorin::overlap::floor_divide;
using pellorin::overlap::PlanEntry;
using pellorin::overlap::WideInt;
using pellorin::overlap::window_grid;

namespace {

__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

WideInt wide(i128 v) {
    const bool negative = v < 0;
    const auto magnitude = static_cast<u128>(negative ? -v : v);
    WideInt out = WideInt::from_u64(static_cast<std::uint64_t>(magnitude >> 64)).times(std::uint64_t{1} << 32);
    out = out.times(std::uint64_t{1} << 32) + WideInt::from_u64(static_cast<std::uint64_t>(magnitude));
    return negative ? out.negated() : out;
}

void wide_arithmetic_matches_128_bits() {
    std::mt19937_64 rng(7);
    int bad = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        const auto a = static_cast<i128>(static_cast<std::int64_t>(rng())) * static_cast<std::int64_t>(rng() >> 30);
        const auto b = static_cast<i128>(static_cast<std::int64_t>(rng() >> (trial % 60)));
        const std::uint64_t m = rng() >> 44;
        bad += compare(wide(a) + wide(b), wide(a + b)) != 0;
        bad += compare(wide(a) - wide(b), wide(a - b)) != 0;
        bad += compare(wide(a).times(m), wide(a * static_cast<i128>(m))) != 0;
        bad += compare(wide(a), wide(b)) != (a < b ? -1 : (a > b ? 1 : 0));
        if (b > 0) {
            // floor division with the quotient in range
            i128 q = a / b;
            if (a % b != 0 && a < 0) {
                q -= 1;
            }
            if (q > -(i128{1} << 61) && q < (i128{1} << 61)) {
                const auto d = floor_divide(wide(a), wide(b), -(std::int64_t{1} << 61), std::int64_t{1} << 61);
                bad += d.below || d.above || d.quotient != static_cast<std::int64_t>(q) ||
                       compare(d.remainder, wide(a - q * b)) != 0;
            }
        }
    }
    CHECK(bad == 0);
}

void scaled_doubles_are_exact() {
    // 0.1 * 2^1074 and its neighbours: the leading bits are 0.1's mantissa.
    const double values[] = {0.1, 1e-300, 5e-324, 1e300, -3.75, 1.0};
    for (const double x : values) {
        const int shift = 1074;
        const WideInt w = WideInt::from_scaled_double(x, shift);
        int exponent = 0;
        const std::uint64_t top = w.leading_bits(exponent);
        const double back = std::ldexp(static_cast<double>(top), exponent - shift);
        CHECK(back == std::fabs(x));
        CHECK(w.sign() == (x < 0 ? -1 : 1));
    }
    CHECK(pellorin::overlap::lowest_bit_exponent(5e-324) == -1074);
    CHECK(pellorin::overlap::lowest_bit_exponent(6.0) == 1);
    CHECK(pellorin::overlap::lowest_bit_exponent(0.75) == -2);
}

// The plan of window (p / 2^s, e / 2^s) cut into n pixels over in_n pixels,
// from the definition in integers: edge k at (p * n + k * e) / (n * 2^s).
struct Exact {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    double cover = 0.0;
};
Exact exact_entry(i128 p, i128 e, int s, i128 n, i128 in_n, i128 k) {
    const i128 den = n << s;
    const i128 lo = p * n + k * e;
    const i128 hi = lo + e;
    i128 first = -1;
    i128 last = -1;
    i128 covered = 0;  // in units of 1 / den
    for (i128 i = 0; i < in_n; ++i) {
        const i128 a = std::min(hi, (i + 1) * den) - std::max(lo, i * den);
        if (a > 0) {
            first = first < 0 ? i : first;
            last = i;
            covered += a;
        }
    }
    Exact out;
    if (first >= 0) {
        out.first = static_cast<std::uint64_t>(first);
        out.count = static_cast<std::uint64_t>(last - first + 1);
        out.cover = static_cast<double>(covered) / static_cast<double>(den);
    }
    return out;
}

void dyadic_plans_match_the_definition() {
    std::mt19937_64 rng(11);
    int bad = 0;
    int checked = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const int s = static_cast<int>(rng() % 6);
        const i128 in_n = 1 + static_cast<i128>(rng() % 12);
        const i128 n = 1 + static_cast<i128>(rng() % 17);
        const i128 scale = i128{1} << s;
        const i128 p = static_cast<i128>(rng() % static_cast<std::uint64_t>(in_n * scale * 3)) - in_n * scale;
        const i128 e = 1 + static_cast<i128>(rng() % static_cast<std::uint64_t>(in_n * scale * 3));
        const double origin = std::ldexp(static_cast<double>(p), -s);
        const double extent = std::ldexp(static_cast<double>(e), -s);
        const EdgeGrid grid =
            window_grid(origin, extent, static_cast<std::uint64_t>(in_n), static_cast<std::uint64_t>(n));
        std::vector<PlanEntry> plan(static_cast<std::size_t>(n));
        fill_plan(grid, 0, static_cast<std::uint64_t>(n), plan.data());
        for (i128 k = 0; k < n; ++k) {
            const Exact x = exact_entry(p, e, s, n, in_n, k);
            const PlanEntry& got = plan[static_cast<std::size_t>(k)];
            ++checked;
            bad += got.count != x.count || (x.count > 0 && got.first != x.first);
            if (x.count > 0) {
                bad += std::fabs(got.cover - x.cover) > 8 * DBL_EPSILON * x.cover;
                if (x.count >= 2) {
                    const double sum = got.w_first + got.w_last + static_cast<double>(x.count - 2) * got.w_mid;
                    bad += std::fabs(sum - 1.0) > 16 * DBL_EPSILON * static_cast<double>(x.count);
                }
            }
        }
        // A range of the plan equals the same entries of the whole plan.
        if (n > 3) {
            std::vector<PlanEntry> part(2);
            fill_plan(grid, 1, 3, part.data());
            bad += part[0].first != plan[1].first || part[0].count != plan[1].count ||
                   part[1].w_last != plan[2].w_last || part[1].cover != plan[2].cover;
        }
    }
    CHECK(checked > 10000);
    CHECK(bad == 0);
}

void extreme_windows() {
    // Far outside: nothing covered, found without walking the edges.
    const auto far = axis_shape(window_grid(1e300, 1.0, 10, 1000000));
    CHECK(far.covered_begin == far.covered_end);
    // Huge pixels: one output pixel covers all ten input pixels.
    const EdgeGrid huge = window_grid(-1e300, 3e300, 10, 3);
    std::vector<PlanEntry> plan(3);
    fill_plan(huge, 0, 3, plan.data());
    CHECK(plan[0].count == 0 && plan[1].count == 10 && plan[1].first == 0 && plan[2].count == 0);
    CHECK(plan[1].cover == 10.0);
    // A window of 1e-300 at 0.5: every output pixel lies inside pixel 0.
    const EdgeGrid tiny = window_grid(0.5, 1e-300, 3, 4);
    std::vector<PlanEntry> small(4);
    fill_plan(tiny, 0, 4, small.data());
    for (const PlanEntry& e : small) {
        CHECK(e.count == 1 && e.first == 0 && e.cover > 0.0);
    }
    // Straddling 0 by 1e-300 on each side: the first output pixel only
    // touches the input, the second lies in pixel 0.
    const EdgeGrid straddle = window_grid(-1e-300, 2e-300, 2, 2);
    std::vector<PlanEntry> two(2);
    fill_plan(straddle, 0, 2, two.data());
    CHECK(two[0].count == 0 && two[1].count == 1 && two[1].first == 0);
    // Whole factors are found from the grid alone.
    const auto box = axis_shape(window_grid(2.0, 12.0, 20, 4));
    CHECK(box.uniform && box.factor == 3 && box.offset == 2);
    CHECK(!axis_shape(window_grid(2.0, 12.0, 13, 4)).uniform);
    CHECK(!axis_shape(window_grid(2.5, 12.0, 20, 4)).uniform);
}

}  // namespace

int main() {
    wide_arithmetic_matches_128_bits();
    scaled_doubles_are_exact();
    dyadic_plans_match_the_definition();
    extreme_windows();
    return tally::report();
}
