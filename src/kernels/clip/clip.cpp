#include "kernels/clip/clip.hpp"

#include <algorithm>

namespace pellorin::clip {

void PointBuffer::grow(std::size_t n) {
    // At least doubles, so a call's buffers grow a logarithmic number of
    // times however many points a stage produces.
    storage_.resize(std::max(n, 2 * storage_.size()));
}

void clip_half_plane(std::span<const Point> input, PointBuffer& output, Side side, double c) {
    switch (side) {
        case Side::Left: detail::clip_into<Side::Left>(input.data(), input.size(), output, c); return;
        case Side::Right: detail::clip_into<Side::Right>(input.data(), input.size(), output, c); return;
        case Side::Bottom: detail::clip_into<Side::Bottom>(input.data(), input.size(), output, c); return;
        case Side::Top: detail::clip_into<Side::Top>(input.data(), input.size(), output, c); return;
    }
}

}  // namespace pellorin::clip
