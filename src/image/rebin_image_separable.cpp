// Entry of rebin_image_separable(image, h, w, c, out_h, out_w, origin_h,
// origin_w, extent_h, extent_w): conversions, the five checks in order, the
// crop window as overlap weights of both axes, dispatch over the element
// types, and the separable passes with the interpreter lock released.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "../common/buffer.hpp"
#include "../module/binding.hpp"
#include "../module/entries.hpp"
#include "../module/numpy.hpp"
#include "../module/py.hpp"
#include "../weights/axis_weights.hpp"
#include "separable.hpp"

namespace pellorin {
namespace {

constexpr const char* positional_names[] = {"image",  "h",        "w",        "c",        "out_h",
                                            "out_w",  "origin_h", "origin_w", "extent_h", "extent_w"};

constexpr ParameterTable parameter_table{
    "rebin_image_separable",
    positional_names,
    std::size(positional_names),  // all ten required
    {},                           // no keyword-only parameters
};

// Check 5, formatted once the mismatch is certain.
[[gnu::cold, gnu::noinline]] ErrorState length_mismatch(std::uint64_t length, std::uint64_t expected) {
    return value_error("image length " + std::to_string(length) + " does not match h*w*c = " +
                       std::to_string(expected));
}

// Check 5 when h*w*c does not fit in 64 bits: no image has that many
// elements, and the wrapped product must never be compared or used.
[[gnu::cold, gnu::noinline]] ErrorState length_overflow(std::uint64_t length, std::uint64_t h, std::uint64_t w,
                                                        std::uint64_t c) {
    return value_error("image length " + std::to_string(length) + " does not match h*w*c = " + std::to_string(h) +
                       "*" + std::to_string(w) + "*" + std::to_string(c) + ", which overflows 64 bits");
}

[[gnu::cold, gnu::noinline]] ErrorState reshape_error(std::size_t values, std::uint64_t out_h, std::uint64_t out_w,
                                                      std::uint64_t c) {
    return value_error("output reshape: a buffer of " + std::to_string(values) + " values cannot take the shape (" +
                       std::to_string(out_h) + ", " + std::to_string(out_w) + ", " + std::to_string(c) + ")");
}

// Steps after the dispatch, for the matched element type E: the read-only
// view, checks 4 and 5, the passes without the lock, and the result array.
template <class E>
Result<py::Handle> resize_image(PyObject* image, std::uint64_t h, std::uint64_t w, std::uint64_t c,
                                const weights::AxisWeights& h_weights, const weights::AxisWeights& w_weights) {
    using W = image::work_t<E>;
    // Released (borrow, then reference) when this function returns, on every
    // path, with the lock held.
    PEL_TRY(const numpy::ArrayView view, numpy::borrow_view(image, numpy::element_type_of<E>::value, 3));

    const std::uint64_t length = view.size();
    if (length > 0 && !(view.is_c_contiguous() && view.is_aligned())) {
        return value_error("image must be C-contiguous");
    }
    std::uint64_t hw = 0;
    std::uint64_t expected = 0;
    if (!checked_mul(h, w, hw) || !checked_mul(hw, c, expected)) {
        return length_overflow(length, h, w, c);
    }
    if (length != expected) {
        return length_mismatch(length, expected);
    }

    // C-contiguous and aligned with h*w*c >= 1 elements: one flat run of E in
    // row-major order. Read in place while the lock is released; the view
    // keeps the array alive and borrowed until the call ends.
    const std::span<const E> pixels(reinterpret_cast<const E*>(view.data()), static_cast<std::size_t>(length));
    OwnedBuffer<W> values = py::without_lock(
        [&] { return image::separable_resize<E>(pixels, w, c, h_weights, w_weights); });

    const std::array<std::uint64_t, 3> shape{h_weights.rows(), w_weights.rows(), c};
    std::uint64_t shaped = 0;
    if (!checked_mul(shape[0], shape[1], shaped) || !checked_mul(shaped, shape[2], shaped) ||
        shaped != values.size()) [[unlikely]] {
        return reshape_error(values.size(), shape[0], shape[1], shape[2]);
    }
    return numpy::array_from_buffer<W>(std::move(values), shape);
}

}  // namespace

Result<py::Handle> rebin_image_separable_body(PyObject* args, PyObject* kwargs) {
    PyObject* slots[std::size(positional_names)] = {};
    PEL_CHECK(bind_arguments(parameter_table, args, kwargs, slots));

    PyObject* const image = slots[0];  // not converted: the checks below decide
    PEL_TRY(const std::uint64_t h, convert_argument("h", extract_u64(slots[1])));
    PEL_TRY(const std::uint64_t w, convert_argument("w", extract_u64(slots[2])));
    PEL_TRY(const std::uint64_t c, convert_argument("c", extract_u64(slots[3])));
    PEL_TRY(const std::uint64_t out_h, convert_argument("out_h", extract_u64(slots[4])));
    PEL_TRY(const std::uint64_t out_w, convert_argument("out_w", extract_u64(slots[5])));
    PEL_TRY(const double origin_h, convert_argument("origin_h", extract_f64(slots[6])));
    PEL_TRY(const double origin_w, convert_argument("origin_w", extract_f64(slots[7])));
    PEL_TRY(const double extent_h, convert_argument("extent_h", extract_f64(slots[8])));
    PEL_TRY(const double extent_w, convert_argument("extent_w", extract_f64(slots[9])));

    if (h == 0 || w == 0 || c == 0 || out_h == 0 || out_w == 0) {
        return value_error("h, w, c, out_h, out_w must all be > 0");
    }
    // Ordered comparisons: NaN and zero of either sign fail, +inf passes.
    if (!(extent_h > 0.0) || !(extent_w > 0.0)) {
        return value_error("extent_h and extent_w must be > 0");
    }

    // The crop window in input-pixel units: pixels are bins of width 1 from
    // 0; the output bin width is one double division by the count. Built with
    // the lock held, before the image is looked at.
    const weights::AxisWeights h_weights =
        weights::axis_weights(h, out_h, 1.0, 0.0, extent_h / static_cast<double>(out_h), origin_h);
    const weights::AxisWeights w_weights =
        weights::axis_weights(w, out_w, 1.0, 0.0, extent_w / static_cast<double>(out_w), origin_w);

    // First matching element type wins, in this order.
    if (numpy::is_typed_array(image, numpy::ElementType::UInt8, 3)) {
        return resize_image<std::uint8_t>(image, h, w, c, h_weights, w_weights);
    }
    if (numpy::is_typed_array(image, numpy::ElementType::UInt16, 3)) {
        return resize_image<std::uint16_t>(image, h, w, c, h_weights, w_weights);
    }
    if (numpy::is_typed_array(image, numpy::ElementType::Float32, 3)) {
        return resize_image<float>(image, h, w, c, h_weights, w_weights);
    }
    if (numpy::is_typed_array(image, numpy::ElementType::Float64, 3)) {
        return resize_image<double>(image, h, w, c, h_weights, w_weights);
    }
    return value_error("image dtype must be uint8, uint16, float32, or float64");
}

}  // namespace pellorin
