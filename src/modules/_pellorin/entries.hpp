// Bodies of the three Python functions, one entry file each, run by
// entry_guard through the wrappers of the function table.
#pragma once

#include "binding/binding.hpp"

namespace pellorin {

Result<py::Handle> rebin_quads_body(PyObject* args, PyObject* kwargs);
Result<py::Handle> rebin_axis_weights_body(PyObject* args, PyObject* kwargs);
Result<py::Handle> rebin_image_separable_body(PyObject* args, PyObject* kwargs);

}  // namespace pellorin
