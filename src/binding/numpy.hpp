// Every contact of our compiled modules with NumPy: the C-API table (fetched
// at run time from the _ARRAY_API capsule), read-only views of accepted
// arrays with their registered borrows, flat access, owned copies, and
// result arrays that take over a filled buffer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/binding.hpp"
#include "binding/py.hpp"
#include "kernels/common/buffer.hpp"

namespace pellorin::numpy {

// NumPy type numbers (the 64-bit integers as `long long`, which match int64
// and uint64 on every platform: equivalent types compare equal).
enum class ElementType : int { Bool = 0, UInt8 = 2, UInt16 = 4, Int64 = 9, UInt64 = 10, Float32 = 11, Float64 = 12 };

template <class T>
struct element_type_of;
template <>
struct element_type_of<bool> {
    static constexpr ElementType value = ElementType::Bool;
};
template <>
struct element_type_of<std::uint8_t> {
    static constexpr ElementType value = ElementType::UInt8;
};
template <>
struct element_type_of<std::uint16_t> {
    static constexpr ElementType value = ElementType::UInt16;
};
template <>
struct element_type_of<float> {
    static constexpr ElementType value = ElementType::Float32;
};
template <>
struct element_type_of<double> {
    static constexpr ElementType value = ElementType::Float64;
};

std::size_t element_size(ElementType type) noexcept;

inline constexpr int max_dims = 3;

// A read-only view of an accepted array, holding a reference to it and a
// registered read-only borrow until it is destroyed (with the lock held).
// Byte strides are kept exactly as NumPy reports them.
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
    const char* data() const noexcept { return data_; }
    // Product of the extents. It cannot wrap: NumPy keeps the product of an
    // array's nonzero extents (times the item size) below 2^63.
    std::uint64_t size() const noexcept;
    bool is_aligned() const noexcept;
    bool is_c_contiguous() const noexcept;
    bool is_f_contiguous() const noexcept;

private:
    friend ArrayView borrow_view(PyObject*, ElementType, int);
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

// The three tests of acceptance, each made once: an ndarray (or subclass),
// exactly `ndim` dimensions, and a dtype equivalent to the native-order
// dtype of one of `candidates`, the first such candidate being returned.
// nullopt when a test fails; an error only when NumPy's C-API table, or the
// dtype of a candidate, cannot be had.
Result<std::optional<ElementType>> match_array(PyObject* obj, int ndim, std::span<const ElementType> candidates);

// The view of an array that `match_array` accepted as `type`, its read-only
// borrow registered. Panics when the array is exclusively borrowed
// elsewhere.
ArrayView borrow_view(PyObject* obj, ElementType type, int ndim);

// Accepts `obj` as a read-only view of `type`, or fails with the
// type-mismatch TypeError "'{type}' object is not an instance of 'ndarray'"
// (unprefixed).
Result<ArrayView> extract_readonly_array(PyObject* obj, ElementType type, int ndim);

// The elements as one flat run in memory order: empty for an empty array;
// otherwise the array must be aligned and C- or F-contiguous, or the call
// fails with TypeError "The given array is not contiguous or is misaligned."
template <class T>
Result<std::span<const T>> contiguous_slice(const ArrayView& view);

// Whether the view's elements fill one block of memory, without holes, in an
// order other than row-major: Fortran order, transposed axes, or a reversed
// axis of length > 1. Axes of length 1 have no order; an empty view has none.
bool is_contiguous_out_of_order(const ArrayView& view);

// The view's elements in row-major index order, in a buffer owned by the
// call: one block copy when the view is contiguous in row-major order,
// otherwise gathered by byte offsets with unaligned-safe loads.
template <class T>
OwnedBuffer<T> row_major_copy(const ArrayView& view);

// NumPy's number of the array's dtype when it is equivalent to one of
// `type_numbers` (in native byte order), tried in order; nullopt when `obj`
// is not an ndarray of `ndim` dimensions or matches none. An error only when
// NumPy's table cannot be had. For types that ElementType does not name
// (the integer types results may be written as, for instance).
Result<std::optional<int>> match_type_number(PyObject* obj, int ndim, std::span<const int> type_numbers);

// A view of an array that a call writes its result into, holding a
// reference to it and an exclusive borrow until it is destroyed (with the
// lock held). The array is C-contiguous, aligned and writeable.
class WritableView {
public:
    WritableView(WritableView&& other) noexcept;
    WritableView& operator=(WritableView&&) = delete;
    WritableView(const WritableView&) = delete;
    ~WritableView();

    int type_number() const noexcept { return type_number_; }
    int ndim() const noexcept { return ndim_; }
    std::uint64_t shape(int axis) const noexcept { return shape_[axis]; }
    std::uint64_t size() const noexcept;
    char* data() const noexcept { return data_; }

private:
    friend Result<WritableView> borrow_writable(PyObject*, int, int, const char*);
    WritableView() = default;
    py::Handle array_;
    int type_number_ = 0;
    int ndim_ = 0;
    std::array<std::uint64_t, max_dims> shape_{};
    char* data_ = nullptr;
    bool borrowed_ = false;
};

// Accepts an array that `match_type_number` matched as `type_number` for
// writing: ValueError "{name} must be C-contiguous, aligned and writeable"
// otherwise, and "{name} is in use by another call" when it is borrowed.
Result<WritableView> borrow_writable(PyObject* obj, int type_number, int ndim, const char* name);

// Wraps a filled row-major buffer of `shape` into a new writeable NumPy array
// whose base, a PySliceContainer, frees the buffer exactly once.
template <class T>
Result<py::Handle> array_from_buffer(OwnedBuffer<T> buffer, std::span<const std::uint64_t> shape);

}  // namespace pellorin::numpy
