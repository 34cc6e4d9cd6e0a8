// rebin_quads(quads, values, *, output_x, output_y, mode="sum", skip_partial=False)
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/rebin/rebin.hpp"
#include "modules/_pellorin/entries.hpp"

namespace pellorin {
namespace {

using numpy::ArrayView;
using numpy::ElementType;

constexpr const char* positional[] = {"quads", "values"};
constexpr KeywordParam keyword_only[] = {
    {"output_x", true},
    {"output_y", true},
    {"mode", false},
    {"skip_partial", false},
};
constexpr ParameterTable parameters{"rebin_quads", positional, 2, keyword_only};

// Slot order: the positional parameters, then the keyword-only ones.
enum Slot : std::size_t { slot_quads, slot_values, slot_output_x, slot_output_y, slot_mode, slot_skip_partial };
constexpr std::size_t slot_count = 6;
static_assert(parameters.positional.size() + parameters.keyword_only.size() == slot_count);

// "[5, 4, 3]": the extents in decimal, comma-and-space separated.
[[gnu::cold]] std::string shape_text(const ArrayView& view) {
    std::string text = "[";
    for (int axis = 0; axis < view.ndim(); ++axis) {
        if (axis > 0) {
            text += ", ";
        }
        text += std::to_string(view.shape(axis));
    }
    text += "]";
    return text;
}

[[gnu::cold, gnu::noinline]] ErrorState mode_error(const std::string& mode) {
    return value_error("mode must be 'sum' or 'mean', got '" + mode + "'");
}

[[gnu::cold, gnu::noinline]] ErrorState quads_shape_error(const ArrayView& quads) {
    return value_error("quads must have shape (N, 4, 2); got " + shape_text(quads));
}

[[gnu::cold, gnu::noinline]] ErrorState values_shape_error(const ArrayView& values, std::uint64_t n) {
    return value_error("values shape " + shape_text(values) + " does not match number of quads (" + std::to_string(n) +
                       ")");
}

}  // namespace

Result<py::Handle> rebin_quads_body(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, slot_count> slots{};
    PEL_CHECK(bind_arguments(parameters, args, kwargs, slots.data()));

    // Conversions, in parameter order; the first failure ends the call and
    // the views already taken are released on the way out.
    PEL_TRY(const ArrayView quads,
            convert_argument("quads", numpy::extract_readonly_array(slots[slot_quads], ElementType::Float64, 3)));
    PEL_TRY(const ArrayView values,
            convert_argument("values", numpy::extract_readonly_array(slots[slot_values], ElementType::Float64, 1)));
    PEL_TRY(const ArrayView output_x,
            convert_argument("output_x", numpy::extract_readonly_array(slots[slot_output_x], ElementType::Float64, 1)));
    PEL_TRY(const ArrayView output_y,
            convert_argument("output_y", numpy::extract_readonly_array(slots[slot_output_y], ElementType::Float64, 1)));
    std::string mode_text = "sum";
    if (slots[slot_mode] != nullptr) {
        PEL_TRY(mode_text, convert_argument("mode", extract_str(slots[slot_mode])));
    }
    bool skip_partial = false;
    if (slots[slot_skip_partial] != nullptr) {
        PEL_TRY(skip_partial, convert_argument("skip_partial", extract_bool(slots[slot_skip_partial])));
    }

    // The range and consistency checks, in order: mode, the shape of quads,
    // the length of values, contiguous centres, at least two of them on each
    // axis, and increasing centres.
    rebin::RebinMode mode = rebin::RebinMode::Sum;
    if (mode_text == "sum") {
        mode = rebin::RebinMode::Sum;
    } else if (mode_text == "mean") {
        mode = rebin::RebinMode::Mean;
    } else {
        return mode_error(mode_text);
    }
    if (quads.shape(1) != 4 || quads.shape(2) != 2) {
        return quads_shape_error(quads);
    }
    const std::uint64_t n = quads.shape(0);
    if (values.shape(0) != n) {
        return values_shape_error(values, n);
    }
    // An empty array passes; any other must be aligned and C- or
    // F-contiguous (TypeError, unprefixed).
    PEL_TRY(const std::span<const double> centres_x, numpy::contiguous_slice<double>(output_x));
    PEL_TRY(const std::span<const double> centres_y, numpy::contiguous_slice<double>(output_y));
    const std::uint64_t mx = output_x.shape(0);
    const std::uint64_t my = output_y.shape(0);
    if (mx < 2 || my < 2) {
        return value_error("output_x and output_y must each have at least 2 entries (to infer the bin width)");
    }
    // Only the first two centres of each axis are read; a NaN difference is
    // not <= 0 and passes.
    const double bin_x = centres_x[1] - centres_x[0];
    const double bin_y = centres_y[1] - centres_y[0];
    if (bin_x <= 0.0 || bin_y <= 0.0) {
        return value_error("output_x and output_y must be strictly increasing");
    }
    // Lower edge of cell 0: the product is rounded before the subtraction.
    const double origin_x = centres_x[0] - bin_x * 0.5;
    const double origin_y = centres_y[0] - bin_y * 0.5;

    // The layout of quads and values is decided on the views, before any
    // copy: arrays that fill one block of memory in another order than
    // row-major (Fortran order, transposed axes, a reversed axis) are
    // refused; every other layout, strided or broadcast views included, is
    // gathered.
    if (numpy::is_contiguous_out_of_order(quads)) {
        return value_error("quads could not be flattened to a contiguous slice");
    }
    if (numpy::is_contiguous_out_of_order(values)) {
        return value_error("values could not be flattened to a contiguous slice");
    }
    // The grid's buffers are sized before anything is copied: a grid that no
    // allocation can hold fails here, at once, as MemoryError.
    std::uint64_t cells = 0;
    PEL_CHECK(allocatable<double>(checked_mul(mx, my, cells), "rebin_quads output",
                                  std::to_string(mx) + " x " + std::to_string(my)));
    PEL_CHECK(allocatable<double>(cells, "rebin_quads output"));

    // The kernel reads only these row-major copies, never the caller's
    // arrays, so other threads may change those while the lock is released.
    const OwnedBuffer<double> quad_data = numpy::row_major_copy<double>(quads);
    const OwnedBuffer<double> value_data = numpy::row_major_copy<double>(values);

    OwnedBuffer<double> out = py::without_lock([&] {
        return rebin::rebin_quads_kernel(quad_data.span(), value_data.span(), origin_x, origin_y, bin_x, bin_y, mx, my,
                                         mode, skip_partial, best_isa());
    });
    const std::array<std::uint64_t, 2> shape{mx, my};
    return numpy::array_from_buffer<double>(std::move(out), shape);
}

}  // namespace pellorin
