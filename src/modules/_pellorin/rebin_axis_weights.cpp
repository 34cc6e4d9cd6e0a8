// rebin_axis_weights(in_n, in_bw, in_origin, out_n, out_bw, out_origin)
#include <array>
#include <cmath>

#include "binding/binding.hpp"
#include "binding/numpy.hpp"
#include "kernels/common/buffer.hpp"
#include "kernels/weights/axis_weights.hpp"
#include "modules/_pellorin/entries.hpp"

namespace pellorin {
namespace {

constexpr const char* positional[] = {"in_n", "in_bw", "in_origin", "out_n", "out_bw", "out_origin"};
constexpr ParameterTable parameters{"rebin_axis_weights", positional, 6, {}};

bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

}  // namespace

Result<py::Handle> rebin_axis_weights_body(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 6> slots{};
    PEL_CHECK(bind_arguments(parameters, args, kwargs, slots.data()));
    PEL_TRY(const std::uint64_t in_n, convert_argument("in_n", extract_u64(slots[0])));
    PEL_TRY(const double in_bw, convert_argument("in_bw", extract_f64(slots[1])));
    PEL_TRY(const double in_origin, convert_argument("in_origin", extract_f64(slots[2])));
    PEL_TRY(const std::uint64_t out_n, convert_argument("out_n", extract_u64(slots[3])));
    PEL_TRY(const double out_bw, convert_argument("out_bw", extract_f64(slots[4])));
    PEL_TRY(const double out_origin, convert_argument("out_origin", extract_f64(slots[5])));

    if (in_n == 0 || out_n == 0) {
        return value_error("in_n and out_n must be > 0");
    }
    if (!positive_finite(in_bw)) {
        return value_error("in_bw must be a positive finite number");
    }
    if (!positive_finite(out_bw)) {
        return value_error("out_bw must be a positive finite number");
    }

    // The matrix's size is settled before any numeric work: an element count
    // past 64 bits is refused as a shape error, a byte size past the largest
    // allocation as MemoryError, both at once.
    std::uint64_t count = 0;
    if (!checked_mul(in_n, out_n, count)) {
        return value_error("weight matrix reshape: ShapeError/Overflow: arithmetic overflow");
    }
    PEL_CHECK(allocatable<double>(count, "weight matrix"));
    // Without the lock: the matrix is allocated before the weights, so a
    // matrix that cannot be had fails before any work.
    OwnedBuffer<double> matrix = py::without_lock([&] {
        OwnedBuffer<double> dense = OwnedBuffer<double>::zeroed(count, "weight matrix");
        weights::fill_dense(weights::axis_weights(in_n, out_n, in_bw, in_origin, out_bw, out_origin), in_n,
                            dense.data());
        return dense;
    });
    const std::array<std::uint64_t, 2> shape{out_n, in_n};
    return numpy::array_from_buffer<double>(std::move(matrix), shape);
}

}  // namespace pellorin
