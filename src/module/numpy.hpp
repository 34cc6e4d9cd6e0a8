// The module's only contact with NumPy: the C-API table (fetched at run time
// from the _ARRAY_API capsule), read-only views of accepted arrays with their
// registered borrows, flat access, owned copies, and result arrays that take
// over a filled buffer.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "../common/buffer.hpp"
#include "binding.hpp"
#include "py.hpp"

namespace pellorin::numpy {

// NumPy type numbers.
enum class ElementType : int { UInt8 = 2, UInt16 = 4, Float32 = 11, Float64 = 12 };

template <class T> struct element_type_of;
template <> struct element_type_of<std::uint8_t> { static constexpr ElementType value = ElementType::UInt8; };
template <> struct element_type_of<std::uint16_t> { static constexpr ElementType value = ElementType::UInt16; };
template <> struct element_type_of<float> { static constexpr ElementType value = ElementType::Float32; };
template <> struct element_type_of<double> { static constexpr ElementType value = ElementType::Float64; };

std::size_t element_size(ElementType type) noexcept;

inline constexpr int max_dims = 3;

// A read-only view of an accepted array, holding a reference to it and a
// registered read-only borrow until it is destroyed (with the lock held).
// Byte strides are kept exactly; element strides are NumPy's byte strides
// divided by the element size and are meaningful only when
// `strides_in_elements()` holds.
class ArrayView {
public:
    ArrayView(ArrayView&& other) noexcept;
    ArrayView& operator=(ArrayView&&) = delete;
    ArrayView(const ArrayView&) = delete;
    ~ArrayView();

    ElementType type() const noexcept { return type_; }
    int ndim() const noexcept { return ndim_; }
    std::uint64_t shape(int axis) const noexcept { return shape_[axis]; }
    std::int64_t byte_stride(int axis) const noexcept { return byte_strides_[axis]; }
    // Element stride with its sign (byte stride / element size).
    std::int64_t stride(int axis) const noexcept { return byte_strides_[axis] / static_cast<std::int64_t>(element_size(type_)); }
    bool strides_in_elements() const noexcept;
    const char* data() const noexcept { return data_; }
    // Product of the extents (saturating at 2^64 - 1 cannot happen for a real array).
    std::uint64_t size() const noexcept;
    bool is_aligned() const noexcept;
    bool is_c_contiguous() const noexcept;
    bool is_f_contiguous() const noexcept;

private:
    friend Result<ArrayView> borrow_view(PyObject*, ElementType, int);
    ArrayView() = default;
    py::Handle array_;
    ElementType type_ = ElementType::Float64;
    int ndim_ = 0;
    std::array<std::uint64_t, max_dims> shape_{};
    std::array<std::int64_t, max_dims> byte_strides_{};
    const char* data_ = nullptr;
    int flags_ = 0;
    bool borrowed_ = false;
};

// The three tests of acceptance: an ndarray (or subclass), exactly `ndim`
// dimensions, a dtype equivalent to the native `type`. No error is reported.
// (Fetching NumPy's table may end in an internal failure.)
bool is_typed_array(PyObject* obj, ElementType type, int ndim);

// Accepts `obj` as a read-only view, or fails with the type-mismatch
// TypeError "'{type}' object is not an instance of 'ndarray'" (unprefixed).
Result<ArrayView> extract_readonly_array(PyObject* obj, ElementType type, int ndim);

// Registers the read-only borrow of an array that `is_typed_array` accepted.
Result<ArrayView> borrow_view(PyObject* obj, ElementType type, int ndim);

// The elements as one flat run in memory order: empty for an empty array;
// otherwise the array must be aligned and C- or F-contiguous, or the call
// fails with TypeError "The given array is not contiguous or is misaligned."
template <class T>
Result<std::span<const T>> contiguous_slice(const ArrayView& view);

// An array owned by the call. `strides` are in elements; element
// (i0, i1, ...) sits at data() + offset + i0*strides[0] + ...
template <class T>
struct OwnedArray {
    OwnedBuffer<T> buffer;
    std::int64_t offset = 0;  // elements from the start of the buffer to element (0, 0, ...)
    int ndim = 0;
    std::array<std::uint64_t, max_dims> shape{};
    std::array<std::int64_t, max_dims> strides{};

    const T* first() const noexcept { return buffer.data() + offset; }
};

// Copies the view: a gap-free view (any axis order or direction) as one
// block keeping its strides; any other view gathered by byte offsets in
// row-major order into a row-major buffer, with unaligned-safe loads.
template <class T>
OwnedArray<T> owned_copy(const ArrayView& view);

// Wraps a filled row-major buffer of `shape` into a new writeable NumPy array
// whose base, a PySliceContainer, frees the buffer exactly once.
template <class T>
Result<py::Handle> array_from_buffer(OwnedBuffer<T> buffer, std::span<const std::uint64_t> shape);

}  // namespace pellorin::numpy
