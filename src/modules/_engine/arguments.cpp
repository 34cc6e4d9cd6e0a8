#include "modules/_engine/arguments.hpp"

#include <optional>
#include <string>
#include <utility>

namespace pellorin::engine {

namespace {

[[gnu::cold, gnu::noinline]] ErrorState wrong_array(const char* name, int ndim, const char* dtypes) {
    return type_error(std::string(name) + " must be a " + std::to_string(ndim) + "-D " + dtypes + " array");
}

// NumPy's type numbers, with the 64-bit integers as `long long` so that they
// match int64 and uint64 on every platform (equivalent types compare equal).
struct TargetType {
    int number;
    area::Target target;
};
constexpr TargetType target_types[] = {
    {2, area::Target::U8},   {4, area::Target::U16},  {6, area::Target::U32}, {10, area::Target::U64},
    {1, area::Target::I8},   {3, area::Target::I16},  {5, area::Target::I32}, {9, area::Target::I64},
    {11, area::Target::F32}, {12, area::Target::F64},
};

[[gnu::cold, gnu::noinline]] ErrorState shape_mismatch(const char* name, const std::array<std::uint64_t, 3>& shape) {
    return value_error(std::string(name) + " must have shape (" + std::to_string(shape[0]) + ", " +
                       std::to_string(shape[1]) + ", " + std::to_string(shape[2]) + ")");
}

area::Element element_of(numpy::ElementType type) {
    switch (type) {
        case numpy::ElementType::UInt8: return area::Element::U8;
        case numpy::ElementType::UInt16: return area::Element::U16;
        case numpy::ElementType::Float32: return area::Element::F32;
        case numpy::ElementType::Float64: return area::Element::F64;
        // Never accepted as an image.
        case numpy::ElementType::Bool:
        case numpy::ElementType::Int64:
        case numpy::ElementType::UInt64: break;
    }
    return area::Element::F64;
}

template <class View>
bool has_shape(const View& view, const std::array<std::uint64_t, 3>& shape) {
    return view.shape(0) == shape[0] && view.shape(1) == shape[1] && view.shape(2) == shape[2];
}

}  // namespace

Result<Input> input_argument(PyObject* obj, const char* name, std::span<const numpy::ElementType> accepted) {
    PEL_TRY(const std::optional<numpy::ElementType> matched, numpy::match_array(obj, 3, accepted));
    if (!matched) {
        return type_error(std::string(name) + " must be a 3-D array of a supported dtype");
    }
    numpy::ArrayView view = numpy::borrow_view(obj, *matched, 3);
    if (view.size() == 0 || !view.is_c_contiguous() || !view.is_aligned()) {
        return value_error(std::string(name) + " must be non-empty, C-contiguous and aligned");
    }
    return Input{std::move(view), element_of(*matched)};
}

template <class View>
Status check_shape(const View& view, const char* name, const std::array<std::uint64_t, 3>& shape) {
    if (!has_shape(view, shape)) {
        return shape_mismatch(name, shape);
    }
    return ok_status();
}
template Status check_shape<numpy::ArrayView>(const numpy::ArrayView&, const char*,
                                              const std::array<std::uint64_t, 3>&);
template Status check_shape<numpy::WritableView>(const numpy::WritableView&, const char*,
                                                 const std::array<std::uint64_t, 3>&);

Result<Output> output_argument(PyObject* obj, const char* name, std::span<const area::Target> only) {
    int numbers[std::size(target_types)] = {};
    std::size_t n = 0;
    for (const TargetType& t : target_types) {
        bool wanted = only.empty();
        for (const area::Target o : only) {
            wanted = wanted || o == t.target;
        }
        if (wanted) {
            numbers[n++] = t.number;
        }
    }
    PEL_TRY(const std::optional<int> matched, numpy::match_type_number(obj, 3, std::span<const int>(numbers, n)));
    if (!matched) {
        return type_error(std::string(name) + " must be a 3-D array of a supported dtype");
    }
    PEL_TRY(numpy::WritableView view, numpy::borrow_writable(obj, *matched, 3, name));
    area::Target target = area::Target::F64;
    for (const TargetType& t : target_types) {
        if (t.number == *matched) {
            target = t.target;
        }
    }
    return Output{std::move(view), target};
}

Result<std::optional<numpy::ArrayView>> mask_argument(PyObject* obj, const char* name,
                                                      const std::array<std::uint64_t, 3>& shape) {
    if (obj == nullptr || obj == Py_None) {
        return std::optional<numpy::ArrayView>();
    }
    constexpr numpy::ElementType bytes[] = {numpy::ElementType::UInt8};
    PEL_TRY(const std::optional<numpy::ElementType> matched, numpy::match_array(obj, 3, bytes));
    if (!matched) {
        return type_error(std::string(name) + " must be a 3-D uint8 array");
    }
    numpy::ArrayView view = numpy::borrow_view(obj, *matched, 3);
    if (!view.is_c_contiguous() || !view.is_aligned()) {
        return value_error(std::string(name) + " must be C-contiguous and aligned");
    }
    if (!has_shape(view, shape)) {
        return shape_mismatch(name, shape);
    }
    return std::optional<numpy::ArrayView>(std::move(view));
}

Result<std::optional<numpy::WritableView>> mask_output_argument(PyObject* obj, const char* name,
                                                                const std::array<std::uint64_t, 3>& shape) {
    if (obj == nullptr || obj == Py_None) {
        return std::optional<numpy::WritableView>();
    }
    constexpr int bytes[] = {2};
    PEL_TRY(const std::optional<int> matched, numpy::match_type_number(obj, 3, bytes));
    if (!matched) {
        return type_error(std::string(name) + " must be a 3-D uint8 array");
    }
    PEL_TRY(numpy::WritableView view, numpy::borrow_writable(obj, *matched, 3, name));
    if (!has_shape(view, shape)) {
        return shape_mismatch(name, shape);
    }
    return std::optional<numpy::WritableView>(std::move(view));
}

Result<unsigned> threads_argument(PyObject* obj) {
    PEL_TRY(const std::uint64_t threads, convert_argument("threads", extract_u64(obj)));
    if (threads == 0 || threads > 4096) {
        return value_error("threads must be between 1 and 4096");
    }
    return static_cast<unsigned>(threads);
}

Result<numpy::ArrayView> read_array(PyObject* obj, const char* name, int ndim,
                                    std::span<const numpy::ElementType> accepted, const char* dtypes) {
    PEL_TRY(const std::optional<numpy::ElementType> matched, numpy::match_array(obj, ndim, accepted));
    if (!matched) {
        return wrong_array(name, ndim, dtypes);
    }
    numpy::ArrayView view = numpy::borrow_view(obj, *matched, ndim);
    if (!view.is_c_contiguous() || !view.is_aligned()) {
        return value_error(std::string(name) + " must be C-contiguous and aligned");
    }
    return view;
}

Result<std::optional<numpy::WritableView>> float64_accumulator(PyObject* obj, const char* name) {
    if (absent(obj)) {
        return std::optional<numpy::WritableView>();
    }
    constexpr int float64_number[] = {static_cast<int>(numpy::ElementType::Float64)};
    PEL_TRY(const std::optional<int> matched, numpy::match_type_number(obj, 3, float64_number));
    if (!matched) {
        return wrong_array(name, 3, "float64");
    }
    PEL_TRY(numpy::WritableView view, numpy::borrow_writable(obj, *matched, 3, name));
    return std::optional<numpy::WritableView>(std::move(view));
}

}  // namespace pellorin::engine
