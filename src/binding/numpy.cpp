#include "binding/numpy.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

#include "kernels/common/panic.hpp"

namespace pellorin::numpy {

using py::Handle;

namespace {

// Leading fields of NumPy's array object; the layout is the same in NumPy
// 1.x and 2.x.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

constexpr int flag_c_contiguous = 0x0001;
constexpr int flag_f_contiguous = 0x0002;
constexpr int flag_aligned = 0x0100;
constexpr int flag_writeable = 0x0400;

// Indices into NumPy's C-API table.
constexpr int api_array_type = 2;
constexpr int api_descr_from_type = 45;
constexpr int api_new_from_descr = 94;
constexpr int api_equiv_types = 182;
constexpr int api_set_base_object = 282;

using DescrFromType = PyObject* (*)(int);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*, void*, int,
                                   PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

std::atomic<void**> g_api{nullptr};
std::mutex g_api_mutex;
std::atomic<std::string*> g_core_name{nullptr};
std::mutex g_core_name_mutex;

// A step of finding NumPy's table failed: the text of the internal error,
// with what the interpreter reported (or the step itself).
[[gnu::cold, gnu::noinline]] void api_failure(std::string& failure, const std::string& step) {
    const std::string detail = PyErr_Occurred() != nullptr ? describe(ErrorState::fetch()) : step;
    failure = "Failed to access NumPy array API capsule: " + detail;
}

Handle import(const char* name, std::string& failure) {
    Handle module = Handle::steal(PyImport_ImportModule(name));
    if (!module) {
        api_failure(failure, std::string("cannot import ") + name);
    }
    return module;
}

Handle named_attribute(PyObject* obj, const char* name, std::string& failure) {
    Handle value = Handle::steal(PyObject_GetAttrString(obj, name));
    if (!value) {
        api_failure(failure, std::string("cannot read ") + name);
    }
    return value;
}

// "numpy._core" for NumPy 2 and later, "numpy.core" before; null, with
// `failure` set, when NumPy or its version cannot be read.
const std::string* core_module_name(std::string& failure) {
    return py::init_once(g_core_name, g_core_name_mutex, [&]() -> std::string* {
        Handle numpy = import("numpy", failure);
        Handle version = numpy ? named_attribute(numpy.get(), "__version__", failure) : Handle();
        Handle lib = version ? import("numpy.lib", failure) : Handle();
        Handle numpy_version = lib ? named_attribute(lib.get(), "NumpyVersion", failure) : Handle();
        if (!numpy_version) {
            return nullptr;
        }
        Handle parsed = Handle::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
        if (!parsed) {
            api_failure(failure, "cannot parse the NumPy version");
            return nullptr;
        }
        Handle major_obj = named_attribute(parsed.get(), "major", failure);
        if (!major_obj) {
            return nullptr;
        }
        const unsigned long major = PyLong_AsUnsignedLong(major_obj.get());
        if ((major == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) || major > 255) {
            api_failure(failure, "NumPy major version is not an 8-bit unsigned integer");
            return nullptr;
        }
        return new std::string(major > 1 ? "numpy._core" : "numpy.core");
    });
}

// NumPy's C-API table, found once per process; the internal error when NumPy
// cannot be loaded or its table read.
Result<void**> array_api() {
    std::string failure;
    void** api = py::init_once(g_api, g_api_mutex, [&]() -> void** {
        const std::string* core = core_module_name(failure);
        Handle module = core != nullptr ? import((*core + ".multiarray").c_str(), failure) : Handle();
        Handle capsule = module ? named_attribute(module.get(), "_ARRAY_API", failure) : Handle();
        if (!capsule) {
            return nullptr;
        }
        if (!PyCapsule_CheckExact(capsule.get())) {
            api_failure(failure, "_ARRAY_API is not a capsule");
            return nullptr;
        }
        void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
        if (table == nullptr) {
            api_failure(failure, "the _ARRAY_API capsule holds no table");
            return nullptr;
        }
        return static_cast<void**>(table);  // kept for the life of the process
    });
    if (api == nullptr) {
        return internal_error(failure.empty() ? std::string("Failed to access NumPy array API capsule") : failure);
    }
    return api;
}

PyTypeObject* array_type(void** api) { return static_cast<PyTypeObject*>(api[api_array_type]); }

const ArrayFields* fields(PyObject* obj) { return reinterpret_cast<const ArrayFields*>(obj); }

// Process-wide registry of borrows: per array object, the number of
// read-only borrows (>= 1) or -1 for an exclusive borrow. Our modules only
// take read-only borrows; all access happens with the interpreter lock held.
std::unordered_map<PyObject*, long>& borrow_registry() {
    static auto* registry = new std::unordered_map<PyObject*, long>();
    return *registry;
}

bool acquire_exclusive(PyObject* array) {
    auto& registry = borrow_registry();
    if (registry.find(array) != registry.end()) {
        return false;
    }
    registry.emplace(array, -1);
    return true;
}

void release_exclusive(PyObject* array) noexcept {
    auto& registry = borrow_registry();
    auto it = registry.find(array);
    if (it != registry.end() && it->second < 0) {
        registry.erase(it);
    }
}

bool acquire_readonly(PyObject* array) {
    long& count = borrow_registry()[array];
    if (count < 0) {
        return false;
    }
    ++count;
    return true;
}

void release_readonly(PyObject* array) noexcept {
    auto& registry = borrow_registry();
    auto it = registry.find(array);
    if (it == registry.end() || it->second <= 0) {
        return;
    }
    if (--it->second == 0) {
        registry.erase(it);
    }
}

}  // namespace

std::size_t element_size(ElementType type) noexcept {
    switch (type) {
        case ElementType::Bool:
        case ElementType::UInt8: return 1;
        case ElementType::UInt16: return 2;
        case ElementType::Float32: return 4;
        case ElementType::Int64:
        case ElementType::UInt64:
        case ElementType::Float64: return 8;
    }
    return 1;
}

Result<std::optional<ElementType>> match_array(PyObject* obj, int ndim, std::span<const ElementType> candidates) {
    PEL_TRY(void** const api, array_api());
    if (!PyObject_TypeCheck(obj, array_type(api)) || fields(obj)->nd != ndim) {
        return std::optional<ElementType>();
    }
    PyObject* const descr = fields(obj)->descr;
    for (const ElementType type : candidates) {
        Handle wanted =
            Handle::steal(reinterpret_cast<DescrFromType>(api[api_descr_from_type])(static_cast<int>(type)));
        if (!wanted) {
            return ErrorState::fetch();
        }
        if (wanted.get() == descr || reinterpret_cast<EquivTypes>(api[api_equiv_types])(descr, wanted.get()) != 0) {
            return std::optional<ElementType>(type);
        }
    }
    return std::optional<ElementType>();
}

Result<std::optional<int>> match_type_number(PyObject* obj, int ndim, std::span<const int> type_numbers) {
    PEL_TRY(void** const api, array_api());
    if (!PyObject_TypeCheck(obj, array_type(api)) || fields(obj)->nd != ndim || ndim > max_dims) {
        return std::optional<int>();
    }
    PyObject* const descr = fields(obj)->descr;
    for (const int number : type_numbers) {
        Handle wanted = Handle::steal(reinterpret_cast<DescrFromType>(api[api_descr_from_type])(number));
        if (!wanted) {
            return ErrorState::fetch();
        }
        if (wanted.get() == descr || reinterpret_cast<EquivTypes>(api[api_equiv_types])(descr, wanted.get()) != 0) {
            return std::optional<int>(number);
        }
    }
    return std::optional<int>();
}

Result<WritableView> borrow_writable(PyObject* obj, int type_number, int ndim, const char* name) {
    const ArrayFields* array = fields(obj);
    if (ndim > max_dims || array->nd != ndim) {
        panic("borrow_writable: array of unexpected dimensionality");
    }
    constexpr int wanted = flag_c_contiguous | flag_aligned | flag_writeable;
    if ((array->flags & wanted) != wanted) {
        return value_error(std::string(name) + " must be C-contiguous, aligned and writeable");
    }
    if (!acquire_exclusive(obj)) {
        return value_error(std::string(name) + " is in use by another call");
    }
    WritableView view;
    view.array_ = Handle::borrow(obj);
    view.type_number_ = type_number;
    view.ndim_ = ndim;
    view.data_ = array->data;
    for (int axis = 0; axis < ndim; ++axis) {
        view.shape_[axis] = static_cast<std::uint64_t>(array->dimensions[axis]);
    }
    view.borrowed_ = true;
    return view;
}

WritableView::WritableView(WritableView&& other) noexcept
    : array_(std::move(other.array_)),
      type_number_(other.type_number_),
      ndim_(other.ndim_),
      shape_(other.shape_),
      data_(other.data_),
      borrowed_(std::exchange(other.borrowed_, false)) {}

WritableView::~WritableView() {
    // The borrow is dropped before the reference.
    if (borrowed_) {
        release_exclusive(array_.get());
    }
}

std::uint64_t WritableView::size() const noexcept {
    std::uint64_t n = 1;
    for (int axis = 0; axis < ndim_; ++axis) {
        n *= shape_[axis];
    }
    return n;
}

ArrayView borrow_view(PyObject* obj, ElementType type, int ndim) {
    const ArrayFields* array = fields(obj);
    if (ndim > max_dims || array->nd != ndim) {
        panic("borrow_view: array of unexpected dimensionality");
    }
    ArrayView view;
    view.array_ = Handle::borrow(obj);
    view.type_ = type;
    view.ndim_ = ndim;
    view.data_ = array->data;
    view.flags_ = array->flags;
    for (int axis = 0; axis < ndim; ++axis) {
        view.shape_[axis] = static_cast<std::uint64_t>(array->dimensions[axis]);
        view.byte_strides_[axis] = static_cast<std::int64_t>(array->strides[axis]);
    }
    if (!acquire_readonly(obj)) {
        panic("read-only access to an array was refused: it is exclusively borrowed elsewhere");
    }
    view.borrowed_ = true;
    return view;
}

Result<ArrayView> extract_readonly_array(PyObject* obj, ElementType type, int ndim) {
    PEL_TRY(const std::optional<ElementType> matched, match_array(obj, ndim, std::span<const ElementType>(&type, 1)));
    if (!matched) {
        PEL_TRY(void** const api, array_api());
        return type_mismatch(obj, reinterpret_cast<PyObject*>(array_type(api)));
    }
    return borrow_view(obj, type, ndim);
}

ArrayView::ArrayView(ArrayView&& other) noexcept
    : array_(std::move(other.array_)),
      type_(other.type_),
      ndim_(other.ndim_),
      shape_(other.shape_),
      byte_strides_(other.byte_strides_),
      data_(other.data_),
      flags_(other.flags_),
      borrowed_(std::exchange(other.borrowed_, false)) {}

ArrayView::~ArrayView() {
    // The borrow is dropped before the reference.
    if (borrowed_) {
        release_readonly(array_.get());
    }
}

std::uint64_t ArrayView::size() const noexcept {
    std::uint64_t n = 1;
    for (int axis = 0; axis < ndim_; ++axis) {
        n *= shape_[axis];
    }
    return n;
}

bool ArrayView::is_aligned() const noexcept { return (flags_ & flag_aligned) != 0; }
bool ArrayView::is_c_contiguous() const noexcept { return (flags_ & flag_c_contiguous) != 0; }
bool ArrayView::is_f_contiguous() const noexcept { return (flags_ & flag_f_contiguous) != 0; }

template <class T>
Result<std::span<const T>> contiguous_slice(const ArrayView& view) {
    const std::uint64_t n = view.size();
    if (n == 0) {
        return std::span<const T>();
    }
    if (!view.is_aligned() || !(view.is_c_contiguous() || view.is_f_contiguous())) {
        return type_error("The given array is not contiguous or is misaligned.");
    }
    return std::span<const T>(reinterpret_cast<const T*>(view.data()), static_cast<std::size_t>(n));
}

namespace {

// Gap-free: taking the axes by increasing absolute byte stride, every axis of
// length other than 1 has |stride| == element size * product of the lengths
// of the axes before it. Then the elements fill one block with no holes.
bool is_gap_free(const ArrayView& view) {
    const int nd = view.ndim();
    std::array<int, max_dims> order{};
    for (int axis = 0; axis < nd; ++axis) {
        order[axis] = axis;
    }
    auto magnitude = [&](int axis) {
        std::int64_t s = view.byte_stride(axis);
        return s < 0 ? -static_cast<std::uint64_t>(s) : static_cast<std::uint64_t>(s);
    };
    std::stable_sort(order.begin(), order.begin() + nd, [&](int a, int b) { return magnitude(a) < magnitude(b); });
    std::uint64_t expected = element_size(view.type());
    for (int i = 0; i < nd; ++i) {
        const int axis = order[i];
        if (view.shape(axis) != 1 && magnitude(axis) != expected) {
            return false;
        }
        expected *= view.shape(axis);
    }
    return true;
}

// Row-major byte strides: the last axis one element, each earlier axis the
// product of the later lengths. Axes of length 1 may have any stride.
bool has_row_major_strides(const ArrayView& view) {
    std::int64_t expected = static_cast<std::int64_t>(element_size(view.type()));
    for (int axis = view.ndim() - 1; axis >= 0; --axis) {
        if (view.shape(axis) != 1 && view.byte_stride(axis) != expected) {
            return false;
        }
        expected *= static_cast<std::int64_t>(view.shape(axis));
    }
    return true;
}

}  // namespace

bool is_contiguous_out_of_order(const ArrayView& view) {
    return view.size() != 0 && is_gap_free(view) && !has_row_major_strides(view);
}

template <class T>
OwnedBuffer<T> row_major_copy(const ArrayView& view) {
    const std::uint64_t n = view.size();
    OwnedBuffer<T> copy = OwnedBuffer<T>::uninitialized(n, "owned copy");
    if (n == 0) {
        return copy;
    }
    if (is_gap_free(view) && has_row_major_strides(view)) {
        // Row-major and without holes: the block starts at the first element
        // (an axis of length 1 moves nothing, whatever its stride).
        std::memcpy(copy.data(), view.data(), static_cast<std::size_t>(n) * sizeof(T));
        return copy;
    }
    // Gather in row-major index order by byte offsets; loads go through
    // memcpy, so misaligned data and strides that are not multiples of the
    // element size are read exactly.
    std::array<std::uint64_t, max_dims> index{};
    T* out = copy.data();
    const int last = view.ndim() - 1;
    const std::int64_t last_stride = view.byte_stride(last);
    const std::uint64_t last_len = view.shape(last);
    for (std::uint64_t done = 0; done < n; done += last_len) {
        const char* row = view.data();
        for (int axis = 0; axis < last; ++axis) {
            row += static_cast<std::int64_t>(index[axis]) * view.byte_stride(axis);
        }
        for (std::uint64_t i = 0; i < last_len; ++i) {
            std::memcpy(out++, row + static_cast<std::int64_t>(i) * last_stride, sizeof(T));
        }
        for (int axis = last - 1; axis >= 0; --axis) {
            if (++index[axis] < view.shape(axis)) {
                break;
            }
            index[axis] = 0;
        }
    }
    return copy;
}

// ---------------------------------------------------------------------------
// Result arrays

namespace {

struct SliceContainer {
    PyObject ob_base;
    void (*release)(void*);
    void* data;
};

void slice_container_dealloc(PyObject* self) {
    // Called by the interpreter with the lock held; nothing here can fail.
    // The buffer is released, then the object, then the type's reference.
    const bool previous = py::lock_marked();
    py::set_lock_mark(true);
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->data != nullptr && container->release != nullptr) {
        container->release(container->data);
    }
    container->data = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
    py::set_lock_mark(previous);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of a result buffer; frees it when the last array using it goes away.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "_pellorin.PySliceContainer", static_cast<int>(sizeof(SliceContainer)), 0, Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

std::atomic<PyObject*> g_container_type{nullptr};
std::mutex g_container_mutex;

PyObject* container_type() {
    return py::init_once(g_container_type, g_container_mutex,
                         []() -> PyObject* { return PyType_FromSpec(&slice_container_spec); });
}

void release_with_free(void* data) { std::free(data); }

}  // namespace

namespace {

// A result array that cannot be made is memory the interpreter could not
// give: MemoryError, naming the step and what the interpreter reported.
[[gnu::cold, gnu::noinline]] ErrorState result_failure(const char* step) {
    std::string detail = PyErr_Occurred() != nullptr ? describe(ErrorState::fetch()) : "no object returned";
    return ErrorState::lazy(PyExc_MemoryError, std::string(step) + ": " + detail);
}

}  // namespace

template <class T>
Result<Handle> array_from_buffer(OwnedBuffer<T> buffer, std::span<const std::uint64_t> shape) {
    PEL_TRY(void** const api, array_api());
    PyObject* type = container_type();
    Handle container;
    if (type != nullptr) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
        container = Handle::steal(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
    }
    if (!container) {
        // `buffer` frees itself on the way out.
        return result_failure("Failed to create slice container");
    }
    auto* slot = reinterpret_cast<SliceContainer*>(container.get());
    slot->release = &release_with_free;
    slot->data = buffer.release();  // the container owns the block from here

    const int nd = static_cast<int>(shape.size());
    std::array<Py_ssize_t, max_dims> dims{};
    std::array<Py_ssize_t, max_dims> strides{};
    Py_ssize_t stride = static_cast<Py_ssize_t>(sizeof(T));
    for (int axis = nd - 1; axis >= 0; --axis) {
        dims[axis] = static_cast<Py_ssize_t>(shape[axis]);
        strides[axis] = stride;
        stride *= std::max<Py_ssize_t>(dims[axis], 1);
    }
    PyObject* descr =
        reinterpret_cast<DescrFromType>(api[api_descr_from_type])(static_cast<int>(element_type_of<T>::value));
    if (descr == nullptr) {
        return result_failure("cannot create the result array");  // the container frees the buffer
    }
    // PyArray_NewFromDescr takes over the descriptor reference.
    Handle array = Handle::steal(reinterpret_cast<NewFromDescr>(api[api_new_from_descr])(
        array_type(api), descr, nd, dims.data(), strides.data(), slot->data, flag_writeable, nullptr));
    if (!array) {
        return result_failure("cannot create the result array");  // the container frees the buffer
    }
    // The array takes over the container's reference, also on failure.
    if (reinterpret_cast<SetBaseObject>(api[api_set_base_object])(array.get(), container.release()) != 0) {
        return result_failure("cannot attach the buffer owner to the result array");
    }
    return array;
}

// The instantiations the entries use.
template Result<std::span<const double>> contiguous_slice<double>(const ArrayView&);
template OwnedBuffer<double> row_major_copy<double>(const ArrayView&);
template Result<Handle> array_from_buffer<double>(OwnedBuffer<double>, std::span<const std::uint64_t>);
template Result<Handle> array_from_buffer<float>(OwnedBuffer<float>, std::span<const std::uint64_t>);
template Result<Handle> array_from_buffer<bool>(OwnedBuffer<bool>, std::span<const std::uint64_t>);

}  // namespace pellorin::numpy
