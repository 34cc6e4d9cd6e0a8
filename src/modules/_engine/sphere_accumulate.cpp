// Entry of sphere_accumulate(corners_in, corners_out, spans, values, sums,
// weight, flux, *, patches_in=None, patch_index_in=None, patches_out=None,
// patch_index_out=None, threads=1, pixel_weights=None, variance=None,
// variance_sums=None, per_cell=False): adds the spherical overlaps of input pixels
// with output cells to the accumulators given (None skips one) and returns
// the signed solid angle of every output cell, a new (ny_out, nx_out)
// float64 array (kernels/sphere/sphere.hpp states the rule). The work runs
// with the interpreter lock released, the output rows spread over `threads`
// threads; each cell receives its terms in the order of the input pixels,
// so the bits do not depend on the thread count.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/parallel/partition.hpp"
#include "kernels/sphere/sphere.hpp"
#include "modules/_engine/arguments.hpp"
#include "modules/_engine/entries.hpp"

namespace pellorin::engine {

namespace {

constexpr const char* positional_names[] = {"corners_in", "corners_out", "spans", "values", "sums", "weight", "flux"};
constexpr KeywordParam keyword_names[] = {
    {"patches_in", false},      {"patch_index_in", false}, {"patches_out", false},
    {"patch_index_out", false}, {"threads", false},        {"pixel_weights", false},
    {"variance", false},        {"variance_sums", false},  {"per_cell", false}};
constexpr ParameterTable parameter_table{"sphere_accumulate", positional_names, std::size(positional_names),
                                         keyword_names};
constexpr std::size_t patches_slot = std::size(positional_names);
constexpr std::size_t threads_slot = patches_slot + 4;
constexpr std::size_t pixel_weights_slot = threads_slot + 1;
constexpr std::size_t variance_slot = threads_slot + 2;
constexpr std::size_t variance_sums_slot = threads_slot + 3;
constexpr std::size_t per_cell_slot = threads_slot + 4;

// Output rows handed to a thread at a time, at least: every chunk reads
// the spans of all input pixels.
constexpr std::uint64_t minimum_rows = 16;

constexpr numpy::ElementType float64[] = {numpy::ElementType::Float64};
constexpr numpy::ElementType int64[] = {numpy::ElementType::Int64};

[[gnu::cold, gnu::noinline]] ErrorState wrong_shape(const char* name, std::span<const std::uint64_t> shape) {
    std::string text = std::string(name) + " must have shape (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + (shape[i] == 0 ? std::string("any") : std::to_string(shape[i]));
    }
    return value_error(text + ")");
}

// A read-only C-contiguous, aligned array of `shape` (an extent of 0 in
// `shape` accepts any).
Result<numpy::ArrayView> read_argument(PyObject* obj, const char* name, std::span<const numpy::ElementType> accepted,
                                       const char* dtype, std::span<const std::uint64_t> shape) {
    PEL_TRY(numpy::ArrayView view, read_array(obj, name, static_cast<int>(shape.size()), accepted, dtype));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] != 0 && view.shape(static_cast<int>(i)) != shape[i]) {
            return wrong_shape(name, shape);
        }
    }
    return view;
}

// None, or a writeable C-contiguous float64 array of `shape`.
Result<std::optional<numpy::WritableView>> accumulator(PyObject* obj, const char* name,
                                                       std::span<const std::uint64_t> shape) {
    PEL_TRY(std::optional<numpy::WritableView> view, float64_accumulator(obj, name));
    for (std::size_t i = 0; view && i < shape.size(); ++i) {
        if (shape[i] != 0 && view->shape(static_cast<int>(i)) != shape[i]) {
            return wrong_shape(name, shape);
        }
    }
    return view;
}

// Optional patches of a lattice of ny x nx pixels: (m, max_vertices, 3)
// float64 and an (ny, nx) int64 index, both or neither, every index -1 or
// below m (checked here: the kernel reads the patch an index names).
struct PatchArguments {
    std::optional<numpy::ArrayView> patches;
    std::optional<numpy::ArrayView> index;
};

Result<PatchArguments> patch_arguments(PyObject* patches_obj, PyObject* index_obj, const char* patches_name,
                                       const char* index_name, std::uint64_t ny, std::uint64_t nx) {
    PatchArguments found;
    if (absent(patches_obj) != absent(index_obj)) {
        return value_error(std::string(patches_name) + " and " + index_name + " go together");
    }
    if (absent(patches_obj)) {
        return found;
    }
    const std::uint64_t patches_shape[3] = {0, static_cast<std::uint64_t>(sphere::max_vertices), 3};
    PEL_TRY(numpy::ArrayView patches, read_argument(patches_obj, patches_name, float64, "float64", patches_shape));
    const std::uint64_t index_shape[2] = {ny, nx};
    PEL_TRY(numpy::ArrayView index, read_argument(index_obj, index_name, int64, "int64", index_shape));
    const auto* entries = reinterpret_cast<const std::int64_t*>(index.data());
    const auto count = static_cast<std::int64_t>(patches.shape(0));
    for (std::uint64_t k = 0; k < ny * nx; ++k) {
        if (entries[k] < -1 || entries[k] >= count) {
            return value_error(std::string(index_name) + " must hold -1 or indices below " + std::to_string(count));
        }
    }
    found.patches.emplace(std::move(patches));
    found.index.emplace(std::move(index));
    return found;
}

template <class T>
const T* data_or_null(const std::optional<numpy::ArrayView>& v) {
    return v ? reinterpret_cast<const T*>(v->data()) : nullptr;
}

double* data_of(const std::optional<numpy::WritableView>& v) {
    return v ? reinterpret_cast<double*>(v->data()) : nullptr;
}

}  // namespace

Result<py::Handle> sphere_accumulate_body(PyObject* args, PyObject* kwargs) {
    PyObject* slots[std::size(positional_names) + std::size(keyword_names)] = {};
    PEL_CHECK(bind_arguments(parameter_table, args, kwargs, slots));
    unsigned threads = 1;
    if (!absent(slots[threads_slot])) {
        PEL_TRY(threads, threads_argument(slots[threads_slot]));
    }
    const std::uint64_t any_lattice[3] = {0, 0, 3};
    PEL_TRY(const numpy::ArrayView corners_in, read_argument(slots[0], "corners_in", float64, "float64", any_lattice));
    PEL_TRY(const numpy::ArrayView corners_out,
            read_argument(slots[1], "corners_out", float64, "float64", any_lattice));
    if (corners_in.shape(0) < 1 || corners_in.shape(1) < 1 || corners_out.shape(0) < 1 || corners_out.shape(1) < 1) {
        return value_error("a corner lattice must have at least one row and one column");
    }
    const std::uint64_t ny = corners_in.shape(0) - 1;
    const std::uint64_t nx = corners_in.shape(1) - 1;
    const std::uint64_t ny_out = corners_out.shape(0) - 1;
    const std::uint64_t nx_out = corners_out.shape(1) - 1;
    const std::uint64_t spans_shape[3] = {ny, nx, 4};
    PEL_TRY(const numpy::ArrayView spans, read_argument(slots[2], "spans", int64, "int64", spans_shape));
    const std::uint64_t values_shape[3] = {0, ny, nx};
    PEL_TRY(const numpy::ArrayView values, read_argument(slots[3], "values", float64, "float64", values_shape));
    const std::uint64_t planes = values.shape(0);
    if (planes < 1) {
        return value_error("values must have at least one plane");
    }
    const std::uint64_t out_shape[3] = {planes, ny_out, nx_out};
    const std::uint64_t weight_shape[3] = {0, ny_out, nx_out};
    PEL_TRY(const std::optional<numpy::WritableView> sums, accumulator(slots[4], "sums", out_shape));
    PEL_TRY(const std::optional<numpy::WritableView> weight, accumulator(slots[5], "weight", weight_shape));
    PEL_TRY(const std::optional<numpy::WritableView> flux, accumulator(slots[6], "flux", out_shape));
    const std::uint64_t weight_planes = weight ? weight->shape(0) : 1;
    if (weight_planes != 1 && weight_planes != planes) {
        return value_error("weight must have 1 plane or one per plane of values");
    }
    const std::uint64_t pixels_shape[2] = {ny, nx};
    std::optional<numpy::ArrayView> pixel_weights;
    if (!absent(slots[pixel_weights_slot])) {
        PEL_TRY(numpy::ArrayView view,
                read_argument(slots[pixel_weights_slot], "pixel_weights", float64, "float64", pixels_shape));
        pixel_weights.emplace(std::move(view));
    }
    PEL_TRY(const std::optional<numpy::WritableView> variance_sums,
            accumulator(slots[variance_sums_slot], "variance_sums", out_shape));
    if (absent(slots[variance_slot]) != !variance_sums) {
        return value_error("variance and variance_sums go together");
    }
    std::optional<numpy::ArrayView> variance;
    if (variance_sums) {
        const std::uint64_t variance_shape[3] = {planes, ny, nx};
        PEL_TRY(numpy::ArrayView view,
                read_argument(slots[variance_slot], "variance", float64, "float64", variance_shape));
        variance.emplace(std::move(view));
    }
    bool per_cell = false;
    if (!absent(slots[per_cell_slot])) {
        PEL_TRY(per_cell, convert_argument("per_cell", extract_bool(slots[per_cell_slot])));
    }
    PEL_TRY(const PatchArguments patches_in,
            patch_arguments(slots[patches_slot], slots[patches_slot + 1], "patches_in", "patch_index_in", ny, nx));
    PEL_TRY(const PatchArguments patches_out, patch_arguments(slots[patches_slot + 2], slots[patches_slot + 3],
                                                              "patches_out", "patch_index_out", ny_out, nx_out));
    // The cells' solid angles; the buffer checks its byte size (OutOfMemory:
    // MemoryError) before it allocates, with the lock held.
    OwnedBuffer<double> cell_area = OwnedBuffer<double>::uninitialized(ny_out * nx_out, "sphere cell areas");
    const sphere::Lattice pixels{reinterpret_cast<const double*>(corners_in.data()), ny, nx,
                                 data_or_null<std::int64_t>(patches_in.index),
                                 data_or_null<double>(patches_in.patches)};
    const sphere::Lattice cells{reinterpret_cast<const double*>(corners_out.data()), ny_out, nx_out,
                                data_or_null<std::int64_t>(patches_out.index),
                                data_or_null<double>(patches_out.patches)};
    const sphere::Job job{pixels,
                          cells,
                          reinterpret_cast<const std::int64_t*>(spans.data()),
                          reinterpret_cast<const double*>(values.data()),
                          planes,
                          cell_area.data(),
                          data_of(sums),
                          data_of(weight),
                          weight_planes,
                          data_of(flux),
                          data_or_null<double>(pixel_weights),
                          data_or_null<double>(variance),
                          data_of(variance_sums),
                          per_cell};
    py::without_lock([&] {
        const std::uint64_t grain =
            threads == 1 ? std::max<std::uint64_t>(ny_out, 1) : parallel::balanced_grain(ny_out, threads, minimum_rows);
        parallel::for_each_chunk(ny_out, grain, threads, [&](std::uint64_t begin, std::uint64_t end, unsigned) {
            sphere::cell_areas(cells, begin, end, cell_area.data());
        });
        parallel::for_each_chunk(ny_out, grain, threads, [&](std::uint64_t begin, std::uint64_t end, unsigned) {
            sphere::accumulate_rows(job, begin, end);
        });
    });
    const std::uint64_t shape[2] = {ny_out, nx_out};
    return numpy::array_from_buffer<double>(std::move(cell_area), shape);
}

}  // namespace pellorin::engine
