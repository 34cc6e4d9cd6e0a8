// The instruction-set seam: the supported sets start with the baseline and
// end with the best; every kernel with variants accepts each supported set
// and refuses, with an internal failure (Panic) rather than an illegal
// instruction, each set the processor lacks (on x86 without AVX2, and on
// every other architecture, where the aarch64 run of these tests reaches
// it). Links only against the kernel library.
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "kernels/common/isa.hpp"
#include "kernels/common/panic.hpp"
#include "kernels/image/separable.hpp"
#include "kernels/rebin/rebin.hpp"
#include "kernels/weights/axis_weights.hpp"
#include "tally.hpp"

using pellorin::Isa;

namespace {

// Whether `run` throws Panic.
template <class F>
bool panics(F&& run) {
    try {
        run();
    } catch (const pellorin::Panic&) {
        return true;
    }
    return false;
}

}  // namespace

int main() {
    const std::span<const Isa> sets = pellorin::supported_isas();
    CHECK(!sets.empty() && sets.front() == Isa::Baseline);
    CHECK(!sets.empty() && sets.back() == pellorin::best_isa());

    // A 2 x 4 uint8 image halved, and one quad over a 2 x 2 grid.
    const std::vector<std::uint8_t> image = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto hw = pellorin::weights::axis_weights(2, 1, 1.0, 0.0, 2.0, 0.0);
    const auto ww = pellorin::weights::axis_weights(4, 2, 1.0, 0.0, 2.0, 0.0);
    const std::vector<double> quad = {0.2, 0.2, 1.5, 0.2, 1.5, 1.5, 0.2, 1.5};
    const std::vector<double> value = {3.0};
    for (const Isa isa : pellorin::all_isas) {
        const auto resize = [&] { (void)pellorin::image::separable_resize<std::uint8_t>(image, 4, 1, hw, ww, isa); };
        const auto rebin = [&] {
            (void)pellorin::rebin::rebin_quads_kernel(quad, value, 0.0, 0.0, 1.0, 1.0, 2, 2,
                                                      pellorin::rebin::RebinMode::Sum, false, isa);
        };
        const bool refused = !pellorin::isa_supported(isa);
        std::printf("%s: %s\n", pellorin::isa_name(isa), refused ? "not supported, must panic" : "supported");
        CHECK(panics(resize) == refused);
        CHECK(panics(rebin) == refused);
    }
    return tally::report();
}
