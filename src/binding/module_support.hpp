// What every module of ours does at import: its exec step adds the functions
// of its table to the module and lists them in __all__, under the same guard
// as a function call.
#pragma once

#include <span>

#include "binding/binding.hpp"
#include "binding/py.hpp"

namespace pellorin {

// Adds each record of `table`, in order, as a function bound to `module`
// (`__self__` is the module) and appends its name to `module.__all__`
// (created empty when missing). Returns None.
Result<py::Handle> add_functions(PyObject* module, std::span<PyMethodDef> table);

// Runs an exec step `body(module, nullptr)` through entry_guard, so that an
// internal failure becomes an exception instead of ending the process; the
// Py_mod_exec convention: 0, or -1 with the exception set.
int guarded_exec(PyObject* module, EntryBody body) noexcept;

}  // namespace pellorin
