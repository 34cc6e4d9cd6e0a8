// The plan of a whole-factor box reduction of an integer image: its factors,
// whether the exact integer path applies, and the layout (loads and byte
// shuffles) that the vector reducers (box_reduce.hpp) follow. Built by one
// function, `plan_box`, once per call; pure scalar code.
//
// When every H row has nh entries of normalised weight exactly 1/nh and every
// W row has nw entries of weight exactly 1/nw over consecutive columns
// x0 + nw*j .. x0 + nw*j + nw - 1, with nh and nw powers of two and
// nh * nw * (largest element) < 2^24, every step of the specified order is
// exact in float32:
// - an H product (1/nh) * v is v scaled by a power of two; an H partial sum
//   is an integer of at most nh * max < 2^24 units of 1/nh; so the
//   intermediate value is S_h / nh exactly, S_h the integer sum of the column;
// - a W product (1/nw) * (S_h / nh) is S_h in units of 1/(nh*nw); a W partial
//   sum is an integer of at most nh * nw * max < 2^24 such units;
// - the sums start from +0.0 and every term is >= +0.0, so the start changes
//   nothing.
// The result is therefore exactly S / (nh * nw), S the integer sum of the
// nh x nw pixels: float(S) (exact, S < 2^24) times 1/(nh*nw) (exact).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "kernels/weights/axis_weights.hpp"

namespace pellorin::image::box {

// n when every row of `aw` has the same power-of-two count n <= 256 of
// entries, each of float32 normalised weight (`weights`) exactly 1/n; 0
// otherwise, and for an axis without rows. Replication (replicate.hpp) is
// the case n = 1 on both axes.
std::uint64_t uniform_entries(const weights::AxisWeights& aw, const float* weights);

// Limits of the layout, and of the rows one output row sums.
inline constexpr std::size_t max_windows = 3;
inline constexpr std::size_t max_groups = 16;
inline constexpr std::size_t max_parts = 2;
inline constexpr std::uint64_t max_rows = 256;

// The vector reducer that computes a plan (box_reduce.cpp).
enum class Reducer : std::uint8_t {
    // Each 16-byte half of a 32-byte load holds whole output columns (c * nw
    // element bytes divide 16): one shuffle per row puts each value's nw
    // elements in one lane of nw elements. uint8 with nw = 2 (16-bit lane
    // sums, nh <= 128 so that nh * 510 <= 65535), uint8 with nw = 4 and
    // uint16 with nw = 2 (32-bit lane sums).
    InLane,
    // uint8 with nw = 2, nh <= 128 and any other c <= 8 (RGB above all): each
    // half loads 16 bytes holding the largest run of whole output columns
    // that fits (two RGB columns in 12 bytes), then as InLane with 16-bit
    // lanes; the halves' values are stored back to back, each store's unused
    // values overwritten by the next.
    InLaneSplit,
    // Everything else the layout can hold: eight values per vector, one
    // 32-bit lane each, gathered part by part from up to max_windows 16-byte
    // windows per half.
    Windows,
};

// One 16-byte load per half of a vector and its byte shuffle: lane byte t of
// half h receives byte mask[16*h + t] of the window at offset[h] (bytes from
// the start of the period), or zero when that mask byte is 0x80.
struct Window {
    std::int64_t offset[2];
    alignas(32) std::uint8_t mask[32];
};

// A box reduction and how the vector reducers compute it. Output values are
// computed a period at a time: period p of an output row covers the values
// p * period_values .. + period_values - 1 and reads, in each of the row's
// nh image rows, bytes from base + p * period_bytes up to reach bytes
// further. A period holds `groups` vectors; vector g assembles part u of its
// lanes from windows table[g][u][0 .. windows - 1]. `periods` periods of
// every output row are computed by vectors, within the image row's bytes and
// the output row's values (a store may pass its period's values, never the
// row's); the values from periods * period_values on are the scalar tail.
struct BoxPlan {
    // Factors: nh image rows per output row, nw columns per output column
    // from column x0; scale = 1 / (nh * nw), a power of two.
    std::uint64_t nh = 0;
    std::uint64_t nw = 0;
    std::uint64_t x0 = 0;
    float scale = 0.0f;

    Reducer reducer = Reducer::Windows;
    std::uint64_t half_values = 0;  // values per half of a vector
    std::size_t groups = 0;
    std::size_t windows = 0;  // per half and part, the most any needs
    std::size_t parts = 0;
    std::uint64_t base = 0;  // bytes from an image row's start to column x0
    std::uint64_t period_bytes = 0;
    std::uint64_t period_values = 0;
    std::uint64_t reach = 0;
    std::uint64_t periods = 0;
    Window table[max_groups][max_parts][max_windows];
};

// The plan for rows `hw`, `ww` (with their float32 normalised weights) of an
// image of c channels whose elements have `element_bytes` bytes (1 or 2) and
// largest value `max`; nullopt when the integer path does not apply or the
// layout cannot hold it. `ww` gives the image width (in_n).
std::optional<BoxPlan> plan_box(const weights::AxisWeights& hw, const float* h_weights, const weights::AxisWeights& ww,
                                const float* w_weights, std::uint64_t c, std::size_t element_bytes, std::uint64_t max);

}  // namespace pellorin::image::box
