// The _engine module, private to the pellorin package: its function table,
// docstrings, definition and the exported initialisation function. Each
// entry lives in a file named after its function; a new entry adds a body
// to entries.hpp, a docstring, a wrapper and a record below. Internal
// failures raise the one internal-error type of the process, shared with
// _pellorin by the binding layer (panic_exception_type).
#include "binding/binding.hpp"
#include "binding/module_support.hpp"
#include "binding/py.hpp"
#include "modules/_engine/entries.hpp"

namespace pellorin::engine {
namespace {

// Docstrings: a text-signature header ("name(params)\n--\n\n"), then the text.
constexpr const char doc_resize[] =
    R"doc(resize(image, out, top, left, height, width, threads, *, mask=None, out_mask=None)
--

Area means of image (h, w, c; uint8, uint16, float32 or float64,
C-contiguous) over the out_h x out_w pixels of the window (top, left,
height, width), written into out (out_h, out_w, c; any integer or floating
dtype, C-contiguous). mask (h, w, c uint8, non-zero = missing) needs
out_mask (out_h, out_w, c uint8), which receives 1 where nothing present
overlaps. Private: pellorin.resize checks the arguments and documents the
results.)doc";

constexpr const char doc_rebin_axis[] =
    R"doc(rebin_axis(values, out, in_origin, in_bw, out_origin, out_bw, total, threads, *, mask=None, out_mask=None)
--

Values (before, in_n, after; float32 or float64, C-contiguous) rebinned
along the middle axis into out (before, out_n, after; the same dtype):
overlap-weighted means, or with total=True shares of the totals. Masks as
for resize. Private: pellorin.rebin_axis checks the arguments and documents
the results.)doc";

constexpr const char doc_accumulate[] =
    R"doc(accumulate(xs, ys, values, sums, weight, flux, variance_sums, *, take=None, piece_quads=None, piece_source=None, piece_share=None, weights=None, variance=None, per_plane=False, threads=1, block=None)
--

Adds the area overlaps of mapped pixels with the cells of an output grid
to the accumulators given (None skips one). xs, ys (ny + 1, nx + 1) are the
corner lattice in output pixel coordinates; values (k, ny, nx); sums, flux,
variance_sums (k, ny_out, nx_out) and weight (1 or, with per_plane, k,
ny_out, nx_out), all float64 and C-contiguous:
    sums += (w v) a, weight += w a, flux += (w v) (a / A),
    variance_sums += ((w a)(w a)) s,
a the overlap with a cell, A the pixel's area over its share, w its weight
(weights (ny, nx), pixels with w not > 0 skipped), s its variance
(variance (k, ny, nx)). take (ny, nx) selects the pixels taken whole;
piece_quads (m, 4, 2), piece_source (m,) and piece_share (m,) add parts of
pixels. A NaN value skips its plane, or every plane unless per_plane.
block (grid_rows, grid_cols, row0, col0): the accumulators hold the cells
from (row0, col0) of a larger grid, on whole tiles; each gets the bits it
gets when the whole grid is accumulated. The
bits do not depend on threads. Private: pellorin's functions check the
arguments and document the results.)doc";

constexpr const char doc_screen[] =
    R"doc(screen(xs, ys, *, threads=1)
--

(whole, candidates), two new (ny, nx) bool arrays, from the corner lattice
xs, ys (ny + 1, nx + 1; float64, C-contiguous; output pixel coordinates,
NaN or infinite off the sky): the pixels whose quad is finite, convex and
nearly straight-edged (taken whole), and the others that have a finite
corner within one pixel (to be cut into pieces). The bits do not depend on
threads. Private: pellorin's functions check the arguments and document
the results.)doc";

constexpr const char doc_sphere_accumulate[] =
    R"doc(sphere_accumulate(corners_in, corners_out, spans, values, sums, weight, flux, *, patches_in=None, patch_index_in=None, patches_out=None, patch_index_out=None, threads=1, pixel_weights=None, variance=None, variance_sums=None, per_cell=False)
--

Adds the overlaps of input pixels with output cells, both taken as
spherical polygons (corners joined by great-circle arcs, areas as solid
angles), to the accumulators given (None skips one), and returns the
signed solid angle of every output cell (a new (ny_out, nx_out) float64
array, NaN for a cell with no polygon). corners_in (ny + 1, nx + 1, 3)
and corners_out (ny_out + 1, nx_out + 1, 3) are unit vectors of the
corners; a pixel whose patch_index (ny, nx; int64, -1 for none) names a
polygon of patches (m, 6, 3; its leading finite vectors) is that polygon
instead of its quad, and likewise for the cells; spans (ny, nx, 4) int64 the output rows [s0, s1) and columns
[s2, s3) each pixel may overlap; values (k, ny, nx); sums and flux (k,
ny_out, nx_out), weight (1 or k, ny_out, nx_out), all float64 and
C-contiguous:
    sums += v t, weight += t, flux += u (v (a / A)),
    variance_sums += (t t) var,
a the overlap with a cell, A the pixel's solid angle, u the pixel's
weight (pixel_weights (ny, nx), 1 when None; a weight not > 0 skips the
pixel) and t = u a, with a divided by the cell's solid angle when
per_cell is true; variance (k, ny, nx) and variance_sums (k, ny_out,
nx_out) go together. A NaN value skips
its plane, or every plane when weight has one plane. The bits do not
depend on threads. Private: pellorin's functions check the arguments and
document the results.)doc";

PyObject* resize_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&resize_body, args, kwargs);
}
PyObject* rebin_axis_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&rebin_axis_body, args, kwargs);
}
PyObject* accumulate_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&accumulate_body, args, kwargs);
}

PyObject* screen_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&screen_body, args, kwargs);
}

PyObject* sphere_accumulate_wrapper(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry_guard(&sphere_accumulate_body, args, kwargs);
}

constexpr int function_flags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef function_table[] = {
    {"resize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&resize_wrapper)), function_flags,
     doc_resize},
    {"rebin_axis", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rebin_axis_wrapper)), function_flags,
     doc_rebin_axis},
    {"accumulate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&accumulate_wrapper)), function_flags,
     doc_accumulate},
    {"screen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&screen_wrapper)), function_flags,
     doc_screen},
    {"sphere_accumulate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sphere_accumulate_wrapper)),
     function_flags, doc_sphere_accumulate},
};

Result<py::Handle> exec_body(PyObject* module, PyObject*) { return add_functions(module, function_table); }

int module_exec(PyObject* module) { return guarded_exec(module, &exec_body); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "pellorin._engine", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace pellorin::engine

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__engine(void) {
    return PyModuleDef_Init(&pellorin::engine::module_definition);
}
