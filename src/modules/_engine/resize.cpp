// Entry of resize(image, out, top, left, height, width, threads, mask=None,
// out_mask=None): the area means of a (h, w, c) image over the output
// pixels of the window (top, left, height, width), written into out
// (out_h, out_w, c) in its own dtype, with the interpreter lock released.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/area/area.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/overlap/axis_plan.hpp"
#include "modules/_engine/arguments.hpp"
#include "modules/_engine/entries.hpp"

namespace pellorin::engine {

namespace {

constexpr const char* positional_names[] = {"image", "out", "top", "left", "height", "width", "threads"};
constexpr KeywordParam keyword_names[] = {{"mask", false}, {"out_mask", false}};
constexpr ParameterTable parameter_table{"resize", positional_names, std::size(positional_names), keyword_names};

bool finite(double x) { return std::isfinite(x); }
bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

}  // namespace

Result<py::Handle> resize_body(PyObject* args, PyObject* kwargs) {
    PyObject* slots[std::size(positional_names) + std::size(keyword_names)] = {};
    PEL_CHECK(bind_arguments(parameter_table, args, kwargs, slots));
    PEL_TRY(const double top, convert_argument("top", extract_f64(slots[2])));
    PEL_TRY(const double left, convert_argument("left", extract_f64(slots[3])));
    PEL_TRY(const double height, convert_argument("height", extract_f64(slots[4])));
    PEL_TRY(const double width, convert_argument("width", extract_f64(slots[5])));
    PEL_TRY(const unsigned threads, threads_argument(slots[6]));
    if (!finite(top) || !finite(left) || !positive_finite(height) || !positive_finite(width)) {
        return value_error("the window must be finite with a positive height and width");
    }

    constexpr numpy::ElementType accepted[] = {numpy::ElementType::UInt8, numpy::ElementType::UInt16,
                                               numpy::ElementType::Float32, numpy::ElementType::Float64};
    // The input is borrowed first: an output that is the same array is then
    // refused as in use, before anything is written.
    PEL_TRY(const Input image, input_argument(slots[0], "image", accepted));
    const std::uint64_t h = image.view.shape(0);
    const std::uint64_t w = image.view.shape(1);
    const std::uint64_t c = image.view.shape(2);
    PEL_TRY(Output out, output_argument(slots[1], "out"));
    const std::uint64_t out_h = out.view.shape(0);
    const std::uint64_t out_w = out.view.shape(1);
    const std::array<std::uint64_t, 3> out_shape{out_h, out_w, c};
    PEL_CHECK(check_shape(out.view, "out", out_shape));
    if (h > overlap::max_axis_pixels || w > overlap::max_axis_pixels || out_h == 0 || out_w == 0 ||
        out_h > overlap::max_axis_pixels || out_w > overlap::max_axis_pixels) {
        return value_error("image and out must have between 1 and 2**61 rows and columns");
    }
    const std::array<std::uint64_t, 3> in_shape{h, w, c};
    PEL_TRY(const std::optional<numpy::ArrayView> mask, mask_argument(slots[7], "mask", in_shape));
    PEL_TRY(std::optional<numpy::WritableView> out_mask, mask_output_argument(slots[8], "out_mask", out_shape));
    if (mask && !out_mask) {
        return value_error("a mask needs out_mask");
    }

    area::AreaJob job;
    job.image = image.view.data();
    job.element = image.element;
    job.c = c;
    job.out = out.view.data();
    job.target = out.target;
    if (mask) {
        job.mask = reinterpret_cast<const std::uint8_t*>(mask->data());
    }
    if (out_mask) {
        job.out_mask = reinterpret_cast<std::uint8_t*>(out_mask->data());
    }
    job.threads = threads;
    job.isa = best_isa();
    py::without_lock([&] {
        job.rows = overlap::window_grid(top, height, h, out_h);
        job.cols = overlap::window_grid(left, width, w, out_w);
        area::run_area(job);
    });
    return py::Handle::borrow(Py_None);
}

}  // namespace pellorin::engine
