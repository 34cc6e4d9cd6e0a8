// Entry of screen(xs, ys, *, threads=1): the pixels of a corner lattice that
// one quad represents (whole) and those to cut (candidates), as two new
// (ny, nx) bool arrays (kernels/geometry/screen.hpp states the rule). The
// screen runs with the interpreter lock released, its pixel rows spread
// over `threads` threads; every flag depends on the lattice alone, so the
// bits do not depend on the thread count.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/geometry/screen.hpp"
#include "kernels/parallel/partition.hpp"
#include "modules/_engine/arguments.hpp"
#include "modules/_engine/entries.hpp"

namespace pellorin::engine {

namespace {

constexpr const char* positional_names[] = {"xs", "ys"};
constexpr KeywordParam keyword_names[] = {{"threads", false}};
constexpr ParameterTable parameter_table{"screen", positional_names, std::size(positional_names), keyword_names};
constexpr std::size_t threads_slot = std::size(positional_names);

// Rows handed to a thread at a time, at least: a chunk recomputes the
// second differences of one lattice row that its neighbour also computes.
constexpr std::uint64_t minimum_rows = 8;

constexpr numpy::ElementType float64[] = {numpy::ElementType::Float64};

[[gnu::cold, gnu::noinline]] ErrorState not_a_lattice(const char* name) {
    return type_error(std::string(name) + " must be a 2-D float64 array");
}

// A 2-D float64 array, C-contiguous and aligned, read in place.
Result<numpy::ArrayView> lattice_argument(PyObject* obj, const char* name) {
    PEL_TRY(const std::optional<numpy::ElementType> matched, numpy::match_array(obj, 2, float64));
    if (!matched) {
        return not_a_lattice(name);
    }
    numpy::ArrayView view = numpy::borrow_view(obj, *matched, 2);
    if (!view.is_c_contiguous() || !view.is_aligned()) {
        return value_error(std::string(name) + " must be C-contiguous and aligned");
    }
    return view;
}

}  // namespace

Result<py::Handle> screen_body(PyObject* args, PyObject* kwargs) {
    PyObject* slots[std::size(positional_names) + std::size(keyword_names)] = {};
    PEL_CHECK(bind_arguments(parameter_table, args, kwargs, slots));
    unsigned threads = 1;
    if (slots[threads_slot] != nullptr && slots[threads_slot] != Py_None) {
        PEL_TRY(threads, threads_argument(slots[threads_slot]));
    }
    PEL_TRY(const numpy::ArrayView xs, lattice_argument(slots[0], "xs"));
    if (xs.shape(0) == 0 || xs.shape(1) == 0) {
        return value_error("xs must have at least one row and one column of corners");
    }
    PEL_TRY(const numpy::ArrayView ys, lattice_argument(slots[1], "ys"));
    if (ys.shape(0) != xs.shape(0) || ys.shape(1) != xs.shape(1)) {
        return value_error("ys must have the shape of xs, (" + std::to_string(xs.shape(0)) + ", " +
                           std::to_string(xs.shape(1)) + ")");
    }
    const geometry::Lattice lattice{reinterpret_cast<const double*>(xs.data()),
                                    reinterpret_cast<const double*>(ys.data()), xs.shape(0) - 1, xs.shape(1) - 1};
    // ny * nx < the lattice's element count, which fits in memory; the
    // buffers check their byte sizes (OutOfMemory: MemoryError) before they
    // allocate, with the lock held.
    const std::uint64_t pixels = lattice.ny * lattice.nx;
    OwnedBuffer<bool> whole = OwnedBuffer<bool>::uninitialized(pixels, "screen whole");
    OwnedBuffer<bool> candidates = OwnedBuffer<bool>::uninitialized(pixels, "screen candidates");
    const Isa isa = best_isa();
    py::without_lock([&] {
        const std::uint64_t grain = parallel::balanced_grain(lattice.ny, threads, minimum_rows);
        parallel::for_each_chunk(lattice.ny, grain, threads, [&](std::uint64_t begin, std::uint64_t end, unsigned) {
            geometry::screen_rows(lattice, begin, end, whole.data(), candidates.data(), isa);
        });
    });
    const std::uint64_t shape[2] = {lattice.ny, lattice.nx};
    PEL_TRY(py::Handle whole_array, numpy::array_from_buffer<bool>(std::move(whole), shape));
    PEL_TRY(py::Handle candidate_array, numpy::array_from_buffer<bool>(std::move(candidates), shape));
    py::Handle pair = py::Handle::steal(PyTuple_New(2));
    if (!pair) {
        return ErrorState::fetch();
    }
    // PyTuple_SetItem takes over the references.
    PyTuple_SetItem(pair.get(), 0, whole_array.release());
    PyTuple_SetItem(pair.get(), 1, candidate_array.release());
    return pair;
}

}  // namespace pellorin::engine
