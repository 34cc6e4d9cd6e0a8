#include "kernels/image/shortcuts.hpp"

#include <limits>
#include <optional>

#include "kernels/image/box_plan.hpp"
#include "kernels/image/box_reduce.hpp"
#include "kernels/image/replicate.hpp"

namespace pellorin::image {

template <class E>
bool resize_by_shortcut(std::span<const E> image, std::uint64_t w, std::uint64_t c, const weights::AxisWeights& hw,
                        const float* h_weights, const weights::AxisWeights& ww, const float* w_weights,
                        std::uint64_t out_n, Isa isa, OwnedBuffer<float>& result) {
    if (isa != Isa::Avx2) {
        return false;
    }
    const std::uint64_t wc = w * c;
    // Whole-factor box reductions by powers of two first: exact integer sums.
    if (const std::optional<box::BoxPlan> plan =
            box::plan_box(hw, h_weights, ww, w_weights, c, sizeof(E), std::numeric_limits<E>::max())) {
        result = OwnedBuffer<float>::uninitialized(out_n, "separable resize: result");
        box::reduce_box_avx2(image.data(), wc, c, hw, ww.rows(), *plan, result.data());
        return true;
    }
    // Every row a single entry of weight 1: the result replicates pixels.
    if (box::replicates(hw, h_weights, ww, w_weights, wc)) {
        result = OwnedBuffer<float>::uninitialized(out_n, "separable resize: result");
        box::replicate_avx2(image.data(), w, c, hw, ww, result.data());
        return true;
    }
    return false;
}

template bool resize_by_shortcut<std::uint8_t>(std::span<const std::uint8_t>, std::uint64_t, std::uint64_t,
                                               const weights::AxisWeights&, const float*, const weights::AxisWeights&,
                                               const float*, std::uint64_t, Isa, OwnedBuffer<float>&);
template bool resize_by_shortcut<std::uint16_t>(std::span<const std::uint16_t>, std::uint64_t, std::uint64_t,
                                                const weights::AxisWeights&, const float*, const weights::AxisWeights&,
                                                const float*, std::uint64_t, Isa, OwnedBuffer<float>&);

}  // namespace pellorin::image
