// Entry of rebin_image_separable(image, h, w, c, out_h, out_w, origin_h,
// origin_w, extent_h, extent_w): conversions, the checks in order, dispatch
// over the element types, and, with the interpreter lock released, the crop
// window as overlap weights of both axes and the separable passes.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/image/separable.hpp"
#include "kernels/weights/axis_weights.hpp"
#include "modules/_pellorin/entries.hpp"

namespace pellorin {
namespace {

constexpr const char* positional_names[] = {"image", "h",        "w",        "c",        "out_h",
                                            "out_w", "origin_h", "origin_w", "extent_h", "extent_w"};

constexpr ParameterTable parameter_table{
    "rebin_image_separable",
    positional_names,
    std::size(positional_names),  // all ten required
    {},                           // no keyword-only parameters
};

// The length check, formatted once the mismatch is certain.
[[gnu::cold, gnu::noinline]] ErrorState length_mismatch(std::uint64_t length, std::uint64_t expected) {
    return value_error("image length " + std::to_string(length) +
                       " does not match h*w*c = " + std::to_string(expected));
}

// The length check when h*w*c does not fit in 64 bits: no image has that many
// elements, and the wrapped product must never be compared or used.
[[gnu::cold, gnu::noinline]] ErrorState length_overflow(std::uint64_t length, std::uint64_t h, std::uint64_t w,
                                                        std::uint64_t c) {
    return value_error("image length " + std::to_string(length) + " does not match h*w*c = " + std::to_string(h) + "*" +
                       std::to_string(w) + "*" + std::to_string(c) + ", which overflows 64 bits");
}

// Every buffer that the call will allocate, sized before any of them is:
// the result (out_h*out_w*c values of W) and the rows of both axes. A size
// that no allocation can meet fails here, at once, as MemoryError.
template <class W>
Status check_sizes(std::uint64_t out_h, std::uint64_t out_w, std::uint64_t c) {
    std::uint64_t plane = 0;
    std::uint64_t values = 0;
    PEL_CHECK(allocatable<W>(checked_mul(out_h, out_w, plane) && checked_mul(plane, c, values),
                             "rebin_image_separable result",
                             std::to_string(out_h) + " x " + std::to_string(out_w) + " x " + std::to_string(c)));
    PEL_CHECK(allocatable<W>(values, "rebin_image_separable result"));
    PEL_CHECK(allocatable<std::uint64_t>(out_h, "rebin_image_separable H rows"));
    return allocatable<std::uint64_t>(out_w, "rebin_image_separable W rows");
}

// The crop window as the overlap weights of one axis: pixels are bins of
// width 1 from 0; the output bin width is one double division by the count.
weights::AxisWeights window_weights(std::uint64_t in_n, std::uint64_t out_n, double origin, double extent) {
    return weights::axis_weights(in_n, out_n, 1.0, 0.0, extent / static_cast<double>(out_n), origin);
}

// Steps after the dispatch, for the matched element type E: the read-only
// view, the layout and length checks, then the weights and the passes
// without the lock, and the result array.
template <class E>
Result<py::Handle> resize_image(PyObject* image, std::uint64_t h, std::uint64_t w, std::uint64_t c, std::uint64_t out_h,
                                std::uint64_t out_w, double origin_h, double origin_w, double extent_h,
                                double extent_w) {
    using W = image::work_t<E>;
    // Released (borrow, then reference) when this function returns, on every
    // path, with the lock held.
    const numpy::ArrayView view = numpy::borrow_view(image, numpy::element_type_of<E>::value, 3);

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
    // h, w and c now describe the buffer that exists; the output counts are
    // arguments, and the buffers they ask for are sized before any work.
    PEL_CHECK(check_sizes<W>(out_h, out_w, c));

    // C-contiguous and aligned with h*w*c >= 1 elements: one flat run of E in
    // row-major order. Read in place while the lock is released; the view
    // keeps the array alive and borrowed until the call ends.
    const std::span<const E> pixels(reinterpret_cast<const E*>(view.data()), static_cast<std::size_t>(length));
    OwnedBuffer<W> values = py::without_lock([&] {
        const weights::AxisWeights h_weights = window_weights(h, out_h, origin_h, extent_h);
        const weights::AxisWeights w_weights = window_weights(w, out_w, origin_w, extent_w);
        return image::separable_resize<E>(pixels, w, c, h_weights, w_weights, best_isa());
    });

    const std::array<std::uint64_t, 3> shape{out_h, out_w, c};
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

    // The first matching element type wins, in this order. The image is
    // examined (dtype, layout, length) before any weight is built, so a size
    // claim that the buffer contradicts costs nothing.
    constexpr numpy::ElementType candidates[] = {numpy::ElementType::UInt8, numpy::ElementType::UInt16,
                                                 numpy::ElementType::Float32, numpy::ElementType::Float64};
    PEL_TRY(const std::optional<numpy::ElementType> matched, numpy::match_array(image, 3, candidates));
    if (matched) {
        switch (*matched) {
            case numpy::ElementType::UInt8:
                return resize_image<std::uint8_t>(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w);
            case numpy::ElementType::UInt16:
                return resize_image<std::uint16_t>(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h,
                                                   extent_w);
            case numpy::ElementType::Float32:
                return resize_image<float>(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w);
            case numpy::ElementType::Float64:
                return resize_image<double>(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w);
            // Not among the candidates.
            case numpy::ElementType::Bool:
            case numpy::ElementType::Int64:
            case numpy::ElementType::UInt64: break;
        }
    }
    return value_error("image dtype must be uint8, uint16, float32, or float64");
}

}  // namespace pellorin
