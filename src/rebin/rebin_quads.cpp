// rebin_quads(quads, values, *, output_x, output_y, mode="sum", skip_partial=False)
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "../common/buffer.hpp"
#include "../module/binding.hpp"
#include "../module/entries.hpp"
#include "../module/numpy.hpp"
#include "rebin.hpp"

namespace pellorin {
namespace {

using numpy::ArrayView;
using numpy::ElementType;
using numpy::OwnedArray;

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

// A float64 array of three dimensions, held as a read-only view; anything
// else gets the type-mismatch error of array acceptance.
Result<ArrayView> accept_quads(PyObject* obj) {
    if (numpy::is_typed_array(obj, ElementType::Float64, 3)) {
        return numpy::borrow_view(obj, ElementType::Float64, 3);
    }
    return numpy::extract_readonly_array(obj, ElementType::Float64, 3);
}

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
    return value_error("values shape " + shape_text(values) + " does not match number of quads (" +
                       std::to_string(n) + ")");
}

// The copy of `quads` in row-major order: element strides 8, 2, 1. An axis
// of length 1 may have any stride; an array with a zero-length axis holds
// no element and always qualifies.
bool is_row_major_quads(const OwnedArray<double>& copy) {
    constexpr std::array<std::int64_t, 3> row_major{8, 2, 1};
    for (int axis = 0; axis < 3; ++axis) {
        if (copy.shape[axis] == 0) {
            return true;
        }
    }
    for (int axis = 0; axis < 3; ++axis) {
        if (copy.shape[axis] != 1 && copy.strides[axis] != row_major[axis]) {
            return false;
        }
    }
    return true;
}

// The copy of `values` runs forward with unit stride, or has at most one
// element.
bool is_unit_stride_values(const OwnedArray<double>& copy) { return copy.shape[0] <= 1 || copy.strides[0] == 1; }

}  // namespace

Result<py::Handle> rebin_quads_body(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, slot_count> slots{};
    PEL_CHECK(bind_arguments(parameters, args, kwargs, slots.data()));

    // Conversions, in parameter order; the first failure ends the call and
    // the views already taken are released on the way out.
    PEL_TRY(const ArrayView quads, convert_argument("quads", accept_quads(slots[slot_quads])));
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

    // Checks 1 to 7, in order.
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

    // The grid's buffers are sized before anything is copied: a grid that no
    // allocation can hold fails here, at once, as MemoryError.
    std::uint64_t cells = 0;
    if (!checked_mul(mx, my, cells)) {
        throw OutOfMemory("rebin_quads output: cannot allocate " + std::to_string(mx) + " x " + std::to_string(my) +
                          " cells of 8 bytes (past the largest possible allocation)");
    }
    checked_bytes<double>(cells, "rebin_quads output");

    // The kernel reads only these copies, never the caller's arrays, so other
    // threads may change those while the lock is released.
    const OwnedArray<double> quads_copy = numpy::owned_copy<double>(quads);
    const OwnedArray<double> values_copy = numpy::owned_copy<double>(values);
    // Checks 8 and 9: a gap-free input keeps its own strides in the copy, so
    // a contiguous array in another order than row-major is refused here.
    if (!is_row_major_quads(quads_copy)) {
        return value_error("quads could not be flattened to a contiguous slice");
    }
    if (!is_unit_stride_values(values_copy)) {
        return value_error("values could not be flattened to a contiguous slice");
    }
    // Row-major (N, 4, 2) from the first element on; with N <= 1 the first
    // axis's stride is never used.
    const std::span<const double> quad_data(quads_copy.first(), static_cast<std::size_t>(n) * 8);
    const std::span<const double> value_data(values_copy.first(), static_cast<std::size_t>(n));

    OwnedBuffer<double> out = py::without_lock([&] {
        return rebin::rebin_quads_kernel(quad_data, value_data, origin_x, origin_y, bin_x, bin_y, mx, my, mode,
                                         skip_partial);
    });
    const std::array<std::uint64_t, 2> shape{mx, my};
    return numpy::array_from_buffer<double>(std::move(out), shape);
}

}  // namespace pellorin
