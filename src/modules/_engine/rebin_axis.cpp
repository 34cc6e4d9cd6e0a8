// Entry of rebin_axis(values, out, in_origin, in_bw, out_origin, out_bw,
// total, threads, mask=None, out_mask=None): values (before, in_n, after)
// rebinned along their middle axis into out (before, out_n, after), the
// overlap-weighted mean of each output bin or, with `total`, its share of
// the input totals, with the interpreter lock released. The array is the
// image of the area passes with `before` rows of in_n pixels of `after`
// channels, each row its own output row (a pass along the rows that
// copies), and the bins as the columns.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

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

constexpr const char* positional_names[] = {"values",     "out",    "in_origin", "in_bw",
                                            "out_origin", "out_bw", "total",     "threads"};
constexpr KeywordParam keyword_names[] = {{"mask", false}, {"out_mask", false}};
constexpr ParameterTable parameter_table{"rebin_axis", positional_names, std::size(positional_names), keyword_names};

bool finite(double x) { return std::isfinite(x); }
bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

}  // namespace

Result<py::Handle> rebin_axis_body(PyObject* args, PyObject* kwargs) {
    PyObject* slots[std::size(positional_names) + std::size(keyword_names)] = {};
    PEL_CHECK(bind_arguments(parameter_table, args, kwargs, slots));
    PEL_TRY(const double in_origin, convert_argument("in_origin", extract_f64(slots[2])));
    PEL_TRY(const double in_bw, convert_argument("in_bw", extract_f64(slots[3])));
    PEL_TRY(const double out_origin, convert_argument("out_origin", extract_f64(slots[4])));
    PEL_TRY(const double out_bw, convert_argument("out_bw", extract_f64(slots[5])));
    PEL_TRY(const bool total, convert_argument("total", extract_bool(slots[6])));
    PEL_TRY(const unsigned threads, threads_argument(slots[7]));
    if (!finite(in_origin) || !finite(out_origin) || !positive_finite(in_bw) || !positive_finite(out_bw)) {
        return value_error("origins must be finite and bin widths finite and > 0");
    }

    constexpr numpy::ElementType accepted[] = {numpy::ElementType::Float32, numpy::ElementType::Float64};
    PEL_TRY(const Input values, input_argument(slots[0], "values", accepted));
    const std::uint64_t before = values.view.shape(0);
    const std::uint64_t in_n = values.view.shape(1);
    const std::uint64_t after = values.view.shape(2);
    constexpr area::Target same_type[2] = {area::Target::F32, area::Target::F64};
    const std::span<const area::Target> only(values.element == area::Element::F32 ? same_type : same_type + 1, 1);
    PEL_TRY(Output out, output_argument(slots[1], "out", only));
    const std::uint64_t out_n = out.view.shape(1);
    const std::array<std::uint64_t, 3> out_shape{before, out_n, after};
    PEL_CHECK(check_shape(out.view, "out", out_shape));
    if (in_n > overlap::max_axis_pixels || out_n == 0 || out_n > overlap::max_axis_pixels ||
        before > overlap::max_axis_pixels) {
        return value_error("values and out must have between 1 and 2**61 bins");
    }
    const std::array<std::uint64_t, 3> in_shape{before, in_n, after};
    PEL_TRY(const std::optional<numpy::ArrayView> mask, mask_argument(slots[8], "mask", in_shape));
    PEL_TRY(std::optional<numpy::WritableView> out_mask, mask_output_argument(slots[9], "out_mask", out_shape));
    if (mask && !out_mask) {
        return value_error("a mask needs out_mask");
    }

    area::AreaJob job;
    job.image = values.view.data();
    job.element = values.element;
    job.c = after;
    job.out = out.view.data();
    job.target = out.target;
    if (mask) {
        job.mask = reinterpret_cast<const std::uint8_t*>(mask->data());
    }
    if (out_mask) {
        job.out_mask = reinterpret_cast<std::uint8_t*>(out_mask->data());
    }
    job.times_cover = total;
    job.threads = threads;
    job.isa = best_isa();
    py::without_lock([&] {
        // Each row of the array is its own output row: a window of `before`
        // rows cut into `before` pixels covers each row whole.
        job.rows = overlap::window_grid(0.0, static_cast<double>(before), before, before);
        job.cols = overlap::bin_grid(in_origin, in_bw, out_origin, out_bw, in_n, out_n);
        area::run_area(job);
    });
    return py::Handle::borrow(Py_None);
}

}  // namespace pellorin::engine
