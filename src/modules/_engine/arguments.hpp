// Arguments shared by the engine's entries: the input array read in place,
// the arrays results are written into, the optional masks, the thread count.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "kernels/area/writers.hpp"

namespace pellorin::engine {

// A 3-D input read in place: C-contiguous, aligned, not empty.
struct Input {
    numpy::ArrayView view;
    area::Element element;
};
Result<Input> input_argument(PyObject* obj, const char* name, std::span<const numpy::ElementType> accepted);

// A 3-D array a result is written into; the caller checks its shape.
struct Output {
    numpy::WritableView view;
    area::Target target;
};
// Any integer or floating target type, or only those in `only`.
Result<Output> output_argument(PyObject* obj, const char* name, std::span<const area::Target> only = {});

// ValueError "{name} must have shape (a, b, c)" unless the view has it.
template <class View>
Status check_shape(const View& view, const char* name, const std::array<std::uint64_t, 3>& shape);

// A uint8 mask of `shape` read in place (None: no mask).
Result<std::optional<numpy::ArrayView>> mask_argument(PyObject* obj, const char* name,
                                                      const std::array<std::uint64_t, 3>& shape);
// A uint8 array of `shape` written in place (None: none).
Result<std::optional<numpy::WritableView>> mask_output_argument(PyObject* obj, const char* name,
                                                                const std::array<std::uint64_t, 3>& shape);

// A thread count >= 1.
Result<unsigned> threads_argument(PyObject* obj);

// Whether an optional argument was left out (not given, or None).
inline bool absent(PyObject* obj) { return obj == nullptr || obj == Py_None; }

// A read-only array of `ndim` dimensions and one of `accepted` (described
// as `dtypes` in the message), C-contiguous and aligned.
Result<numpy::ArrayView> read_array(PyObject* obj, const char* name, int ndim,
                                    std::span<const numpy::ElementType> accepted, const char* dtypes);

// An accumulator: None (nullopt), or a writeable C-contiguous float64
// array of 3 dimensions.
Result<std::optional<numpy::WritableView>> float64_accumulator(PyObject* obj, const char* name);

}  // namespace pellorin::engine
