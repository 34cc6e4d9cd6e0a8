// Entry of accumulate(xs, ys, values, sums, weight, flux, variance_sums, *,
// take=None, piece_quads=None, piece_source=None, piece_share=None,
// weights=None, variance=None, per_plane=False, threads=1, block=None,
// mean=False): the area overlaps of an image's mapped pixels (and of explicit
// pieces of pixels) with the cells of an output grid, added to the
// accumulators S, W, F, V that are given (kernels/quadsum/quadsum.hpp states
// the sums). With mean=True, S is given and F, V are not: `sums` is then
// set to S / W (NaN where W is 0; what it held is not read), and W is
// added to `weight` when that is given. The plan
// and the accumulation run with the interpreter lock released, the plan's
// tiles spread over `threads` threads; each tile's cells are summed by one
// thread in the kernel's fixed order, so the bits do not depend on the
// thread count.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "binding/py.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/parallel/partition.hpp"
#include "kernels/quadsum/quadsum.hpp"
#include "modules/_engine/arguments.hpp"
#include "modules/_engine/entries.hpp"

namespace pellorin::engine {

namespace {

constexpr const char* positional_names[] = {"xs", "ys", "values", "sums", "weight", "flux", "variance_sums"};
constexpr KeywordParam keyword_names[] = {
    {"take", false},     {"piece_quads", false}, {"piece_source", false}, {"piece_share", false}, {"weights", false},
    {"variance", false}, {"per_plane", false},   {"threads", false},      {"block", false},       {"mean", false}};
constexpr ParameterTable parameter_table{"accumulate", positional_names, std::size(positional_names), keyword_names};

// Slots of the keyword-only parameters.
enum Slot : std::size_t {
    take_slot = std::size(positional_names),
    piece_quads_slot,
    piece_source_slot,
    piece_share_slot,
    weights_slot,
    variance_slot,
    per_plane_slot,
    threads_slot,
    block_slot,
    mean_slot,
};

// Output tiles are tile_side x tile_side cells: large enough that a tile's
// fixed cost (its window, its lists) is small against its cells, small
// enough that a 1024 x 1024 grid gives two threads 64 tiles to share. The
// bits of a cell depend on the tile size, so it is a constant, never a
// function of the thread count.
constexpr std::uint64_t tile_side = 128;

// Where the accumulators lie in the grid: they hold its cells [row0, row0 +
// rows) x [col0, col0 + cols), rows x cols being their own shape.
struct Block {
    std::uint64_t grid_rows, grid_cols, row0, col0;
};

// `block`: a tuple (grid_rows, grid_cols, row0, col0) of integers >= 0.
Result<Block> block_argument(PyObject* obj) {
    if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 4) {
        return type_error("block must be a tuple (grid_rows, grid_cols, row0, col0)");
    }
    std::uint64_t parts[4] = {};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        Result<std::uint64_t> part = extract_u64(PyTuple_GetItem(obj, i));
        if (!part.ok()) {
            return value_error("block must hold four integers >= 0");
        }
        parts[i] = part.value();
    }
    return Block{parts[0], parts[1], parts[2], parts[3]};
}

// Whether [first, first + cells) of a side of `grid` cells is made of whole
// tiles: it starts on a tile boundary and ends on one or at the grid's end.
bool whole_tiles(std::uint64_t first, std::uint64_t cells, std::uint64_t grid) {
    return first % tile_side == 0 && first <= grid && cells <= grid - first &&
           ((first + cells) % tile_side == 0 || first + cells == grid);
}

[[gnu::cold, gnu::noinline]] ErrorState shape_mismatch(const char* name, std::span<const std::uint64_t> shape) {
    std::string text = std::string(name) + " must have shape (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(shape[i]);
    }
    return value_error(text + (shape.size() == 1 ? ",)" : ")"));
}

template <class View>
Status has_extents(const View& view, const char* name, std::span<const std::uint64_t> shape) {
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (view.shape(static_cast<int>(i)) != shape[i]) {
            return shape_mismatch(name, shape);
        }
    }
    return ok_status();
}

constexpr numpy::ElementType float64[] = {numpy::ElementType::Float64};

Result<numpy::ArrayView> read_f64(PyObject* obj, const char* name, int ndim) {
    return read_array(obj, name, ndim, float64, "float64");
}

Result<std::optional<numpy::ArrayView>> optional_f64(PyObject* obj, const char* name, int ndim) {
    if (absent(obj)) {
        return std::optional<numpy::ArrayView>();
    }
    PEL_TRY(numpy::ArrayView view, read_f64(obj, name, ndim));
    return std::optional<numpy::ArrayView>(std::move(view));
}

// The bytes an array spans, for the test that no accumulator shares memory
// with another argument.
struct Extent {
    const char* name;
    std::uintptr_t begin, end;
    bool written;
};

Extent extent_of(const char* name, const char* data, std::uint64_t elements, std::uint64_t element_size, bool written) {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    return {name, begin, begin + static_cast<std::uintptr_t>(elements * element_size), written};
}

Status check_disjoint(std::span<const Extent> extents) {
    for (std::size_t a = 0; a < extents.size(); ++a) {
        for (std::size_t b = a + 1; b < extents.size(); ++b) {
            const Extent& x = extents[a];
            const Extent& y = extents[b];
            if ((x.written || y.written) && x.begin < y.end && y.begin < x.end) {
                return value_error(std::string(x.name) + " and " + y.name + " share memory");
            }
        }
    }
    return ok_status();
}

}  // namespace

Result<py::Handle> accumulate_body(PyObject* args, PyObject* kwargs) {
    PyObject* slots[std::size(positional_names) + std::size(keyword_names)] = {};
    PEL_CHECK(bind_arguments(parameter_table, args, kwargs, slots));
    unsigned threads = 1;
    if (!absent(slots[threads_slot])) {
        PEL_TRY(threads, threads_argument(slots[threads_slot]));
    }
    bool per_plane = false;
    if (slots[per_plane_slot] != nullptr) {
        PEL_TRY(per_plane, convert_argument("per_plane", extract_bool(slots[per_plane_slot])));
    }
    bool mean = false;
    if (slots[mean_slot] != nullptr) {
        PEL_TRY(mean, convert_argument("mean", extract_bool(slots[mean_slot])));
    }

    // Every read-only view is taken before any writeable one: an
    // accumulator that is also an input is then refused as in use.
    PEL_TRY(const numpy::ArrayView xs, read_f64(slots[0], "xs", 2));
    const std::uint64_t lattice[2] = {xs.shape(0), xs.shape(1)};
    if (lattice[0] == 0 || lattice[1] == 0) {
        return value_error("xs must have at least one row and one column of corners");
    }
    const std::uint64_t ny = lattice[0] - 1;
    const std::uint64_t nx = lattice[1] - 1;
    PEL_TRY(const numpy::ArrayView ys, read_f64(slots[1], "ys", 2));
    PEL_CHECK(has_extents(ys, "ys", lattice));
    PEL_TRY(const numpy::ArrayView values, read_f64(slots[2], "values", 3));
    const std::uint64_t k = values.shape(0);
    if (k == 0) {
        return value_error("values must have at least one plane");
    }
    const std::uint64_t planes_shape[3] = {k, ny, nx};
    const std::uint64_t pixels_shape[2] = {ny, nx};
    PEL_CHECK(has_extents(values, "values", planes_shape));

    std::optional<numpy::ArrayView> take;
    if (!absent(slots[take_slot])) {
        constexpr numpy::ElementType bytes[] = {numpy::ElementType::UInt8, numpy::ElementType::Bool};
        PEL_TRY(numpy::ArrayView view, read_array(slots[take_slot], "take", 2, bytes, "uint8 or bool"));
        PEL_CHECK(has_extents(view, "take", pixels_shape));
        take.emplace(std::move(view));
    }

    const bool any_piece =
        !absent(slots[piece_quads_slot]) || !absent(slots[piece_source_slot]) || !absent(slots[piece_share_slot]);
    const bool all_pieces =
        !absent(slots[piece_quads_slot]) && !absent(slots[piece_source_slot]) && !absent(slots[piece_share_slot]);
    if (any_piece && !all_pieces) {
        return value_error("piece_quads, piece_source and piece_share must be given together");
    }
    std::optional<numpy::ArrayView> piece_quads, piece_source, piece_share;
    std::uint64_t m = 0;
    if (all_pieces) {
        PEL_TRY(numpy::ArrayView quads, read_f64(slots[piece_quads_slot], "piece_quads", 3));
        m = quads.shape(0);
        const std::uint64_t quads_shape[3] = {m, 4, 2};
        PEL_CHECK(has_extents(quads, "piece_quads", quads_shape));
        constexpr numpy::ElementType indices[] = {numpy::ElementType::UInt64, numpy::ElementType::Int64};
        PEL_TRY(numpy::ArrayView source,
                read_array(slots[piece_source_slot], "piece_source", 1, indices, "uint64 or int64"));
        const std::uint64_t list_shape[1] = {m};
        PEL_CHECK(has_extents(source, "piece_source", list_shape));
        PEL_TRY(numpy::ArrayView share, read_f64(slots[piece_share_slot], "piece_share", 1));
        PEL_CHECK(has_extents(share, "piece_share", list_shape));
        piece_quads.emplace(std::move(quads));
        piece_source.emplace(std::move(source));
        piece_share.emplace(std::move(share));
    }
    PEL_TRY(const std::optional<numpy::ArrayView> weights, optional_f64(slots[weights_slot], "weights", 2));
    if (weights) {
        PEL_CHECK(has_extents(*weights, "weights", pixels_shape));
    }
    PEL_TRY(const std::optional<numpy::ArrayView> variance, optional_f64(slots[variance_slot], "variance", 3));
    if (variance) {
        PEL_CHECK(has_extents(*variance, "variance", planes_shape));
    }

    PEL_TRY(const std::optional<numpy::WritableView> sums, float64_accumulator(slots[3], "sums"));
    PEL_TRY(const std::optional<numpy::WritableView> weight, float64_accumulator(slots[4], "weight"));
    PEL_TRY(const std::optional<numpy::WritableView> flux, float64_accumulator(slots[5], "flux"));
    PEL_TRY(const std::optional<numpy::WritableView> variance_sums, float64_accumulator(slots[6], "variance_sums"));
    const numpy::WritableView* first = sums ? &*sums : weight ? &*weight : flux ? &*flux : nullptr;
    if (first == nullptr && variance_sums) {
        first = &*variance_sums;
    }
    if (first == nullptr) {
        return value_error("at least one of sums, weight, flux and variance_sums must be given");
    }
    if (variance_sums && !variance) {
        return value_error("variance_sums needs variance");
    }
    if (mean && (!sums || flux || variance_sums)) {
        return value_error("mean=True takes sums (and weight) only");
    }
    const std::uint64_t ny_out = first->shape(1);
    const std::uint64_t nx_out = first->shape(2);
    Block block{ny_out, nx_out, 0, 0};
    if (!absent(slots[block_slot])) {
        PEL_TRY(block, block_argument(slots[block_slot]));
        if (!whole_tiles(block.row0, ny_out, block.grid_rows) || !whole_tiles(block.col0, nx_out, block.grid_cols)) {
            return value_error("block must place the accumulators on whole tiles of " + std::to_string(tile_side) +
                               " x " + std::to_string(tile_side) + " cells of the grid");
        }
    }
    const std::uint64_t out_shape[3] = {k, ny_out, nx_out};
    const std::uint64_t weight_shape[3] = {per_plane ? k : 1, ny_out, nx_out};
    if (sums) {
        PEL_CHECK(has_extents(*sums, "sums", out_shape));
    }
    if (weight) {
        PEL_CHECK(has_extents(*weight, "weight", weight_shape));
    }
    if (flux) {
        PEL_CHECK(has_extents(*flux, "flux", out_shape));
    }
    if (variance_sums) {
        PEL_CHECK(has_extents(*variance_sums, "variance_sums", out_shape));
    }

    // Threads write the accumulators while others read the inputs: no two
    // may share a byte where one of them is written.
    std::vector<Extent> extents;
    const auto add_read = [&](const char* name, const std::optional<numpy::ArrayView>& v) {
        if (v) {
            extents.push_back(extent_of(name, v->data(), v->size(), numpy::element_size(v->type()), false));
        }
    };
    const auto add_written = [&](const char* name, const std::optional<numpy::WritableView>& v) {
        if (v) {
            extents.push_back(extent_of(name, v->data(), v->size(), sizeof(double), true));
        }
    };
    extents.push_back(extent_of("xs", xs.data(), xs.size(), sizeof(double), false));
    extents.push_back(extent_of("ys", ys.data(), ys.size(), sizeof(double), false));
    extents.push_back(extent_of("values", values.data(), values.size(), sizeof(double), false));
    add_read("take", take);
    add_read("piece_quads", piece_quads);
    add_read("piece_source", piece_source);
    add_read("piece_share", piece_share);
    add_read("weights", weights);
    add_read("variance", variance);
    add_written("sums", sums);
    add_written("weight", weight);
    add_written("flux", flux);
    add_written("variance_sums", variance_sums);
    PEL_CHECK(check_disjoint(extents));

    // The pieces' sources and shares, which the kernel takes as given. A
    // non-negative int64 has the bits of the same uint64, so the signed
    // array is read in place once no index is negative.
    const std::uint64_t npix = ny * nx;
    const std::uint64_t* sources = nullptr;
    if (m > 0) {
        sources = reinterpret_cast<const std::uint64_t*>(piece_source->data());
        const bool is_signed = piece_source->type() == numpy::ElementType::Int64;
        const auto* shares = reinterpret_cast<const double*>(piece_share->data());
        for (std::uint64_t p = 0; p < m; ++p) {
            const bool negative = is_signed && static_cast<std::int64_t>(sources[p]) < 0;
            if (negative || sources[p] >= npix) {
                return value_error("piece_source must hold flat pixel indices in [0, ny * nx)");
            }
            if (!(shares[p] > 0.0 && shares[p] <= 1.0)) {
                return value_error("piece_share must lie in (0, 1]");
            }
        }
    }

    quadsum::Inputs in;
    in.ny = ny;
    in.nx = nx;
    in.xs = reinterpret_cast<const double*>(xs.data());
    in.ys = reinterpret_cast<const double*>(ys.data());
    if (take) {
        in.take = reinterpret_cast<const std::uint8_t*>(take->data());
    }
    in.pieces = m;
    if (m > 0) {
        in.piece_quads = reinterpret_cast<const double*>(piece_quads->data());
        in.piece_source = sources;
        in.piece_share = reinterpret_cast<const double*>(piece_share->data());
    }
    in.planes = k;
    in.values = reinterpret_cast<const double*>(values.data());
    if (weights) {
        in.weights = reinterpret_cast<const double*>(weights->data());
    }
    if (variance) {
        in.variance = reinterpret_cast<const double*>(variance->data());
    }
    quadsum::Accumulators acc;
    acc.ny_out = ny_out;
    acc.nx_out = nx_out;
    acc.row0 = block.row0;
    acc.col0 = block.col0;
    acc.coverage = per_plane ? quadsum::Coverage::PerPlane : quadsum::Coverage::Shared;
    acc.mean = mean;
    const auto data_of = [](const std::optional<numpy::WritableView>& v) {
        return v ? reinterpret_cast<double*>(v->data()) : nullptr;
    };
    acc.sum = data_of(sums);
    acc.weight = data_of(weight);
    acc.flux = data_of(flux);
    acc.variance = data_of(variance_sums);
    const Isa isa = best_isa();
    // The plan is the only memory the call allocates beyond each thread's
    // scratch (80 KiB of logged cells with several planes, one tile's W per
    // W plane for a mean): one list start per tile and a box per 8 x 8
    // pixels (both far smaller than the arrays given), and the tile lists, whose size the kernel counts and checks
    // before it allocates them (OutOfMemory, raised as MemoryError once the
    // lock is held again).
    py::without_lock([&] {
        const quadsum::Plan plan = quadsum::make_plan(in, block.grid_rows, block.grid_cols, tile_side, threads);
        const std::uint64_t tiles = plan.block_tile_count(acc);
        const std::uint64_t grain = parallel::balanced_grain(tiles, threads, 1);
        parallel::for_each_chunk(tiles, grain, threads, [&](std::uint64_t begin, std::uint64_t end, unsigned) {
            quadsum::accumulate_tiles(in, plan, acc, begin, end, isa);
        });
    });
    return py::Handle::borrow(Py_None);
}

}  // namespace pellorin::engine
