// The _pellorin module: its function table, docstrings, definition and the
// exported initialisation function. The entries live in files named after
// the functions they implement.
#include "binding/binding.hpp"
#include "binding/module_support.hpp"
#include "binding/py.hpp"
#include "modules/_pellorin/entries.hpp"

namespace pellorin {
namespace {

// Docstrings: a text-signature header ("name(params)\n--\n\n") that the
// interpreter splits off into __text_signature__, then the documentation.
constexpr const char doc_rebin_quads[] =
    R"doc(rebin_quads(quads, values, *, output_x, output_y, mode="sum", skip_partial=False)
--

Rebin a list of pre-transformed quadrilaterals onto a regular grid.

Parameters
----------
quads : np.ndarray, shape (N, 4, 2), dtype float64
    The vertices of each input quadrilateral, already expressed in output
    coordinates. Each row holds four `(x, y)` corners in *any* convex
    winding order.
values : np.ndarray, shape (N,), dtype float64
    The scalar value carried by each quadrilateral.
output_x, output_y : np.ndarray, shape (Mx,) and (My,), dtype float64
    The cell-*centre* coordinates of the regular output grid. Both must be
    uniformly spaced (only the first two entries are inspected for the bin
    width); both must have at least two entries.
mode : {"sum", "mean"}
    ``"sum"`` redistributes each input value across overlapping output
    bins by area fraction, conserving the total. ``"mean"`` returns the
    area-weighted mean of input values per output bin.
skip_partial : bool
    If ``True``, drop any quad whose bounding box leaves the output grid
    entirely (Fortran-legacy behaviour). The default ``False`` clamps the
    iteration range and uses only the in-grid fraction.

Returns
-------
np.ndarray, shape (Mx, My), dtype float64)doc";

constexpr const char doc_rebin_axis_weights[] =
    R"doc(rebin_axis_weights(in_n, in_bw, in_origin, out_n, out_bw, out_origin)
--

Build the dense 1D overlap weight matrix for separable, axis-aligned
rebinning. See [`weights::axis_weights`] for the mathematical details.

Returns an `(out_n, in_n)` matrix whose rows sum to 1 (whenever the
corresponding output bin overlaps any input bin), so ``out = W @ input``
is the area-weighted mean of the input pixels covered by each output bin.)doc";

constexpr const char doc_rebin_image_separable[] =
    R"doc(rebin_image_separable(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w)
--

Resize an `(H, W, C)` image by separable area-weighted rebinning.

The image must be C-contiguous; supported dtypes are `uint8`, `uint16`,
`float32`, and `float64`. The first three are processed entirely in `f32`
(accumulator and weights); `float64` stays in `f64`. The returned array
shares the work dtype.

`origin_h / origin_w` and `extent_h / extent_w` describe the crop window
(in input-pixel units) that should be mapped onto the output grid. The
caller is responsible for any aspect-ratio / centring decisions.)doc";

PyObject* rebin_quads_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&rebin_quads_body, args, kwargs);
}
PyObject* rebin_axis_weights_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&rebin_axis_weights_body, args, kwargs);
}
PyObject* rebin_image_separable_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&rebin_image_separable_body, args, kwargs);
}

// Varargs with keywords; the function objects are bound to the module, so
// `__self__` is the module object.
constexpr int function_flags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef function_table[] = {
    {"rebin_quads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rebin_quads_wrapper)), function_flags,
     doc_rebin_quads},
    {"rebin_axis_weights", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rebin_axis_weights_wrapper)),
     function_flags, doc_rebin_axis_weights},
    {"rebin_image_separable",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rebin_image_separable_wrapper)), function_flags,
     doc_rebin_image_separable},
};

Result<py::Handle> exec_body(PyObject* module, PyObject*) { return add_functions(module, function_table); }

int module_exec(PyObject* module) { return guarded_exec(module, &exec_body); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_pellorin", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace pellorin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__pellorin(void) {
    return PyModuleDef_Init(&pellorin::module_definition);
}
