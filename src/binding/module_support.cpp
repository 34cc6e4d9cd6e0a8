#include "binding/module_support.hpp"

#include <string>

#include "kernels/common/panic.hpp"

namespace pellorin {
namespace {

using py::Handle;

// Reads module.__all__, creating an empty list when it is missing.
Result<Handle> all_list(PyObject* module) {
    PyObject* key = interned("__all__");
    if (key == nullptr) {
        return ErrorState::fetch();
    }
    Handle all = Handle::steal(PyObject_GetAttr(module, key));
    if (!all) {
        ErrorState error = ErrorState::fetch();
        if (PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError) == 0) {
            return error;
        }
        all = Handle::steal(PyList_New(0));
        if (!all) {
            return ErrorState::fetch();
        }
        if (PyObject_SetAttr(module, key, all.get()) != 0) {
            return ErrorState::fetch();
        }
    }
    if (!PyList_Check(all.get())) {
        return type_mismatch(all.get(), "list");
    }
    return all;
}

Status add_function(PyObject* module, PyMethodDef* record) {
    Handle module_name = Handle::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return ErrorState::fetch();
    }
    Handle function = Handle::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
    module_name.reset();
    if (!function) {
        return ErrorState::fetch();
    }
    Handle name = attribute(function.get(), "__name__");
    if (!name) {
        return ErrorState::fetch();
    }
    if (!PyUnicode_Check(name.get())) {
        return type_mismatch(name.get(), "str");
    }
    PEL_TRY(Handle all, all_list(module));
    if (PyList_Append(all.get(), name.get()) != 0) {
        std::string detail = describe(ErrorState::fetch());
        panic("could not append __name__ to __all__: " + detail);
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) != 0) {
        return ErrorState::fetch();
    }
    return ok_status();
}

}  // namespace

Result<Handle> add_functions(PyObject* module, std::span<PyMethodDef> table) {
    if (!PyModule_Check(module)) {
        return type_mismatch(module, "module");
    }
    for (PyMethodDef& record : table) {
        PEL_CHECK(add_function(module, &record));
    }
    return Handle::borrow(Py_None);
}

int guarded_exec(PyObject* module, EntryBody body) noexcept {
    PyObject* done = entry_guard(body, module, nullptr);
    if (done == nullptr) {
        return -1;
    }
    Py_DecRef(done);
    return 0;
}

}  // namespace pellorin
