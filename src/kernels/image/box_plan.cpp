#include "kernels/image/box_plan.hpp"

#include <algorithm>
#include <bit>
#include <numeric>

#include "kernels/common/panic.hpp"

namespace pellorin::image::box {
namespace {

bool is_power_of_two(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// The reducer for the factors; see `Reducer`.
Reducer choose_reducer(std::uint64_t c, std::uint64_t nh, std::uint64_t nw, std::size_t esize) {
    const bool sixteen = esize == 1 && nw == 2 && nh <= 128;  // 16-bit lane sums
    const bool in_lane = sixteen || (esize == 1 && nw == 4) || (esize == 2 && nw == 2);
    const std::uint64_t column_bytes = c * nw * esize;
    if (in_lane && column_bytes <= 16 && 16 % column_bytes == 0) {
        return Reducer::InLane;
    }
    if (sixteen && c <= 8) {
        return Reducer::InLaneSplit;
    }
    return Reducer::Windows;
}

// The one builder of loads and shuffles. Value v of half h of vector g of a
// period is output value q = (2g + h) * half_values + v, column j = q / c,
// channel q % c (periods hold whole columns); its lane starts at byte
// v * lane_bytes of the half, and element m of part u of the lane at byte
// m * esize of it, taken from image column nw*j + u*per_part + m. For each
// (g, u, h) the bytes wanted are covered by 16-byte windows from the lowest
// one up. False when a half needs more than max_windows windows.
bool build_windows(BoxPlan& p, std::uint64_t c, std::size_t esize, std::uint64_t lane_bytes, std::uint64_t per_part) {
    for (auto& group : p.table) {
        for (auto& part : group) {
            for (Window& win : part) {
                win.offset[0] = 0;
                win.offset[1] = 0;
                std::fill(win.mask, win.mask + 32, std::uint8_t{0x80});  // shuffle writes zero
            }
        }
    }
    p.windows = 0;
    p.reach = 0;
    for (std::size_t g = 0; g < p.groups; ++g) {
        for (std::uint64_t u = 0; u < p.parts; ++u) {
            for (std::size_t half = 0; half < 2; ++half) {
                // src[t]: the period byte that lane byte t receives, or -1.
                std::int64_t src[16];
                std::fill(src, src + 16, -1);
                for (std::uint64_t v = 0; v < p.half_values; ++v) {
                    const std::uint64_t q = (2 * g + half) * p.half_values + v;
                    const std::uint64_t j = q / c;
                    const std::uint64_t ch = q % c;
                    for (std::uint64_t m = 0; m < per_part; ++m) {
                        const std::uint64_t x = p.nw * j + u * per_part + m;
                        for (std::size_t b = 0; b < esize; ++b) {
                            src[v * lane_bytes + m * esize + b] = static_cast<std::int64_t>((x * c + ch) * esize + b);
                        }
                    }
                }
                std::size_t used = 0;
                bool placed[16] = {};
                while (true) {
                    std::int64_t start = INT64_MAX;
                    for (int t = 0; t < 16; ++t) {
                        if (src[t] >= 0 && !placed[t]) {
                            start = std::min(start, src[t]);
                        }
                    }
                    if (start == INT64_MAX) {
                        break;
                    }
                    if (used == max_windows) {
                        return false;
                    }
                    Window& win = p.table[g][u][used];
                    win.offset[half] = start;
                    for (int t = 0; t < 16; ++t) {
                        if (src[t] >= start && src[t] < start + 16 && !placed[t]) {
                            win.mask[16 * half + t] = static_cast<std::uint8_t>(src[t] - start);
                            placed[t] = true;
                        }
                    }
                    p.reach = std::max(p.reach, static_cast<std::uint64_t>(start + 16));
                    ++used;
                }
                p.windows = std::max(p.windows, used);
            }
        }
    }
    // Windows that a (group, part, half) does not use read the period's
    // first 16 bytes and shuffle in zeros.
    p.reach = std::max<std::uint64_t>(p.reach, 16);
    return true;
}

}  // namespace

std::uint64_t uniform_entries(const weights::AxisWeights& aw, const float* weights) {
    const std::size_t rows = aw.first_input.size();
    if (rows == 0) {
        return 0;
    }
    const std::uint64_t n = aw.row_offsets[1] - aw.row_offsets[0];
    if (!is_power_of_two(n) || n > max_rows) {
        return 0;
    }
    const float share = 1.0f / static_cast<float>(n);  // exact: n is a power of two
    for (std::size_t j = 0; j < rows; ++j) {
        const std::uint64_t lo = aw.row_offsets[j];
        if (aw.row_offsets[j + 1] - lo != n) {
            return 0;
        }
        for (std::uint64_t k = lo; k < lo + n; ++k) {
            if (std::bit_cast<std::uint32_t>(weights[k]) != std::bit_cast<std::uint32_t>(share)) {
                return 0;
            }
        }
    }
    return n;
}

std::optional<BoxPlan> plan_box(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
                                const float* w_weights, std::uint64_t c, std::size_t element_bytes, std::uint64_t max) {
    // Factors, and the exactness condition of the header.
    const std::uint64_t nh = uniform_entries(hw, h_weights);
    const std::uint64_t nw = uniform_entries(ww, w_weights);
    if (nh == 0 || nw == 0 || c == 0 || (element_bytes != 1 && element_bytes != 2)) {
        return std::nullopt;
    }
    const std::uint64_t x0 = ww.first_input[0];
    for (std::size_t j = 0; j < ww.first_input.size(); ++j) {
        if (ww.first_input[j] != x0 + nw * j) {
            return std::nullopt;
        }
    }
    if (nh * nw * max >= (std::uint64_t{1} << 24)) {
        return std::nullopt;
    }

    // The reducer and its lanes: for InLane and InLaneSplit one part of nw
    // elements per lane, lane_bytes = nw * esize, as many whole columns per
    // half as its lanes hold; for Windows four values per half in 32-bit
    // lanes, each lane's nw elements in parts of as many as fit in it.
    const std::size_t esize = element_bytes;
    std::optional<BoxPlan> plan(std::in_place);
    BoxPlan& p = *plan;
    p.nh = nh;
    p.nw = nw;
    p.x0 = x0;
    p.scale = 1.0f / static_cast<float>(nh * nw);
    p.reducer = choose_reducer(c, nh, nw, esize);
    std::uint64_t lane_bytes = 4;
    std::uint64_t per_part = 0;
    if (p.reducer == Reducer::Windows) {
        per_part = std::min<std::uint64_t>(nw, 4 / esize);
        const std::uint64_t parts = nw / per_part;
        if (parts > max_parts || parts * per_part != nw) {
            return std::nullopt;
        }
        const std::uint64_t period_values = std::lcm<std::uint64_t>(8, c);
        if (period_values / 8 > max_groups) {
            return std::nullopt;
        }
        p.half_values = 4;
        p.groups = static_cast<std::size_t>(period_values / 8);
        p.parts = static_cast<std::size_t>(parts);
    } else {
        lane_bytes = nw * esize;
        per_part = nw;
        p.half_values = 16 / lane_bytes / c * c;
        p.groups = 1;
        p.parts = 1;
    }
    p.period_values = 2 * p.half_values * p.groups;
    p.period_bytes = p.period_values * nw * esize;
    p.base = x0 * c * esize;
    if (!build_windows(p, c, esize, lane_bytes, per_part)) {
        return std::nullopt;
    }
    if (p.reducer != Reducer::Windows) {
        // One window per half, the low one at the period's start; InLane's
        // high one right after it, so that the two are one 32-byte load.
        const Window& win = p.table[0][0][0];
        panic_unless(p.windows == 1 && win.offset[0] == 0, "box plan: an in-lane layout needs one window per half");
        panic_unless(p.reducer != Reducer::InLane || win.offset[1] == 16,
                     "box plan: an in-lane layout of whole halves reads 32 contiguous bytes");
    }

    // Whole periods per output row within both rows. A Windows vector stores
    // its eight values in place; an in-lane one stores each half's lanes
    // (16 / lane_bytes values) from that half's first value.
    const std::uint64_t row_bytes = ww.in_n * c * esize;
    const std::uint64_t out_values = ww.rows() * c;
    const std::uint64_t stored = p.reducer == Reducer::Windows ? p.period_values : p.half_values + 16 / lane_bytes;
    const std::uint64_t avail = row_bytes - p.base;
    p.periods = 0;
    if (avail >= p.reach && out_values >= stored) {
        p.periods = std::min((avail - p.reach) / p.period_bytes, (out_values - stored) / p.period_values) + 1;
    }
    return plan;
}

}  // namespace pellorin::image::box
