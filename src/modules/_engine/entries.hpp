// Bodies of the engine's Python functions, one entry file each, run by
// entry_guard through the wrappers of the function table (module.cpp).
// The functions are private to the pellorin package, which checks every
// argument and gives the messages users see; the entries check only what
// keeps the memory they touch safe, with short messages.
#pragma once

#include "binding/binding.hpp"

namespace pellorin::engine {

Result<py::Handle> resize_body(PyObject* args, PyObject* kwargs);
Result<py::Handle> rebin_axis_body(PyObject* args, PyObject* kwargs);
Result<py::Handle> accumulate_body(PyObject* args, PyObject* kwargs);
Result<py::Handle> screen_body(PyObject* args, PyObject* kwargs);
Result<py::Handle> sphere_accumulate_body(PyObject* args, PyObject* kwargs);

}  // namespace pellorin::engine
