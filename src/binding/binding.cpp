#include "binding/binding.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "kernels/common/buffer.hpp"
#include "kernels/common/panic.hpp"

namespace pellorin {

using py::Handle;

// ---------------------------------------------------------------------------
// Process-wide values

namespace {

constexpr const char* panic_doc =
    "Raised when the native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it is not caught by `except Exception` and typically propagates all\n"
    "the way up, ending the interpreter.";

std::atomic<PyObject*> g_panic_type{nullptr};
std::mutex g_panic_mutex;

bool read_at_least_3_10() noexcept {
    // Py_GetVersion() begins with "major.minor.micro".
    const char* text = Py_GetVersion();
    char* end = nullptr;
    const long major = std::strtol(text, &end, 10);
    const long minor = (end != nullptr && *end == '.') ? std::strtol(end + 1, nullptr, 10) : 0;
    return major > 3 || (major == 3 && minor >= 10);
}

// The UTF-8 text of a str object into `out`; false, with the error cleared,
// when it cannot be encoded.
bool utf8_of(PyObject* text, std::string& out) {
    Handle bytes = Handle::steal(PyUnicode_AsUTF8String(text));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// str(obj) as UTF-8, or `fallback` (the failure is swallowed).
std::string str_or(PyObject* obj, const char* fallback) {
    Handle text = Handle::steal(PyObject_Str(obj));
    std::string out;
    if (!text || !utf8_of(text.get(), out)) {
        PyErr_Clear();
        return fallback;
    }
    return out;
}

// Raises `type` with `message` as a sized str, so that every character,
// an embedded NUL included, reaches Python.
void raise_text(PyObject* type, const std::string& message) noexcept {
    Handle text =
        Handle::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
        return;  // the decoding error (MemoryError) stays pending
    }
    PyErr_SetObject(type, text.get());
}

// Raises the internal-error exception carrying `message`.
void raise_panic(const std::string& message) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (...) {
        type = nullptr;
    }
    if (type == nullptr) {
        PyErr_Clear();
        type = PyExc_SystemError;
    }
    raise_text(type, message);
}

}  // namespace

namespace {

// The internal-error type that another of our modules (each links its own
// copy of this layer) already created in this interpreter, found among
// BaseException's direct subclasses; null when there is none yet.
PyObject* existing_panic_type() {
    Handle subclasses = Handle::steal(PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr));
    if (!subclasses || !PyList_Check(subclasses.get())) {
        PyErr_Clear();
        return nullptr;
    }
    const Py_ssize_t n = PyList_Size(subclasses.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* type = PyList_GetItem(subclasses.get(), i);  // borrowed
        Handle module = attribute(type, "__module__");
        Handle name = module ? attribute(type, "__name__") : Handle();
        if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
            PyErr_Clear();
            continue;
        }
        if (PyUnicode_CompareWithASCIIString(module.get(), "corvane_runtime") == 0 &&
            PyUnicode_CompareWithASCIIString(name.get(), "PanicException") == 0) {
            Py_IncRef(type);  // kept for the life of the process, like a created one
            return type;
        }
    }
    return nullptr;
}

}  // namespace

// What a Panic (a broken invariant in native code) becomes in Python; a BaseException, so `except Exception` misses it.
PyObject* panic_exception_type() {
    return py::init_once(g_panic_type, g_panic_mutex, []() -> PyObject* {
        // One type object per process for every module of ours: the first
        // module to need it creates it, the others find it (a stable place
        // that adds no attribute to any module).
        if (PyObject* found = existing_panic_type()) {
            return found;
        }
        PyObject* type =
            PyErr_NewExceptionWithDoc("corvane_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
        return type;  // kept for the life of the process
    });
}

PyObject* interned(const char* name) {
    // Callers hold the interpreter lock, which serialises access; creating an
    // interned string runs no Python code, so the lock is never dropped here.
    static auto* cache = new std::unordered_map<const char*, PyObject*>();
    auto it = cache->find(name);
    if (it != cache->end()) {
        return it->second;
    }
    PyObject* text = PyUnicode_InternFromString(name);
    if (text == nullptr) {
        return nullptr;
    }
    cache->emplace(name, text);
    return text;
}

Handle attribute(PyObject* obj, const char* name) {
    PyObject* key = interned(name);
    if (key == nullptr) {
        return Handle();  // the interning error stays pending
    }
    return Handle::steal(PyObject_GetAttr(obj, key));
}

bool python_at_least_3_10() noexcept {
    static const bool flag = read_at_least_3_10();
    return flag;
}

// ---------------------------------------------------------------------------
// ErrorState

ErrorState ErrorState::lazy(PyObject* type, std::string message) {
    ErrorState e;
    e.type_ = Handle::borrow(type);
    e.message_ = std::move(message);
    return e;
}

ErrorState ErrorState::from_instance(Handle instance) {
    ErrorState e;
    e.type_ = Handle::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
    e.instance_ = std::move(instance);
    return e;
}

ErrorState ErrorState::fetch() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    if (raw_type == nullptr) {
        return lazy(PyExc_SystemError, "error return without exception set");
    }
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    Handle type = Handle::steal(raw_type);
    Handle value = Handle::steal(raw_value);
    Handle traceback = Handle::steal(raw_traceback);
    if (traceback && value) {
        PyException_SetTraceback(value.get(), traceback.get());
    }
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) {
        PyErr_Clear();
    } else if (PyErr_GivenExceptionMatches(type.get(), panic_type)) {
        // An internal-error exception coming back through the interpreter is
        // not an ordinary error: report it and resume the internal failure.
        std::string message = value ? str_or(value.get(), "internal failure (message unavailable)")
                                    : std::string("internal failure (message unavailable)");
        std::fputs(
            "_pellorin: an internal failure was raised back into native code;\n"
            "_pellorin: it is reported below and resumed as a new internal failure.\n",
            stderr);
        PyErr_Restore(type.release(), value.release(), traceback.release());
        PyErr_PrintEx(0);
        throw Panic(std::move(message));
    }
    if (!value) {
        return lazy(type.get(), "");
    }
    return from_instance(std::move(value));
}

PyObject* ErrorState::type() const noexcept { return type_.get(); }

Handle ErrorState::instance() && {
    if (instance_) {
        return std::move(instance_);
    }
    Handle text = Handle::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!text) {
        return Handle();
    }
    return Handle::steal(PyObject_CallFunctionObjArgs(type_.get(), text.get(), nullptr));
}

void ErrorState::raise() && {
    if (instance_) {
        PyObject* traceback = PyException_GetTraceback(instance_.get());
        PyErr_Restore(type_.release(), instance_.release(), traceback);
        return;
    }
    raise_text(type_.get(), message_);
}

std::string describe(ErrorState error) {
    std::string type_name = qualname_of(error.type());
    Handle instance = std::move(error).instance();
    if (!instance) {
        PyErr_Clear();
        return type_name;
    }
    return type_name + ": " + str_or(instance.get(), "<unprintable>");
}

ErrorState type_error(std::string message) { return ErrorState::lazy(PyExc_TypeError, std::move(message)); }
ErrorState value_error(std::string message) { return ErrorState::lazy(PyExc_ValueError, std::move(message)); }
ErrorState memory_error(std::string message) { return ErrorState::lazy(PyExc_MemoryError, std::move(message)); }

ErrorState internal_error(std::string message) {
    std::fprintf(stderr, "_pellorin: internal failure: %s\n", message.c_str());
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        PyErr_Clear();
        type = PyExc_SystemError;
    }
    return ErrorState::lazy(type, std::move(message));
}

std::string qualname_of(PyObject* type) {
    Handle name = attribute(type, "__qualname__");
    std::string out;
    if (!name || !PyUnicode_Check(name.get()) || !utf8_of(name.get(), out)) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return out;
}

ErrorState type_mismatch(PyObject* obj, const char* target_qualname) {
    if (obj == Py_None) {
        return type_error(std::string("'None' is not an instance of '") + target_qualname + "'");
    }
    std::string from = qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    return type_error("'" + from + "' object is not an instance of '" + target_qualname + "'");
}

ErrorState type_mismatch(PyObject* obj, PyObject* target_type) {
    std::string target = qualname_of(target_type);
    return type_mismatch(obj, target.c_str());
}

// ---------------------------------------------------------------------------
// Binding

namespace {

// A TypeError carrying `message`, a new str made by PyUnicode_FromFormat
// (the reference is stolen); a null `message` means that making it failed,
// and that pending error is returned instead.
[[gnu::cold]] ErrorState formatted_type_error(PyObject* message) {
    if (message == nullptr) {
        return ErrorState::fetch();
    }
    Handle owned = Handle::steal(message);
    Handle instance = Handle::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, owned.get(), nullptr));
    if (!instance) {
        return ErrorState::fetch();
    }
    return ErrorState::from_instance(std::move(instance));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[gnu::cold]] ErrorState missing_error(const char* function, const char* kind, const std::vector<const char*>& names) {
    std::string message = std::string(function) + "() missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ") + join_names(names);
    return type_error(std::move(message));
}

}  // namespace

Status bind_arguments(const ParameterTable& table, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const std::size_t n = table.positional.size();
    const std::size_t total = table.slot_count();
    for (std::size_t i = 0; i < total; ++i) {
        slots[i] = nullptr;
    }
    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    const std::size_t k = given > 0 ? static_cast<std::size_t>(given) : 0;
    for (std::size_t i = 0; i < k && i < n; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (k > n) {
        return type_error(std::string(table.function) + "() takes " + std::to_string(n) + " positional arguments but " +
                          std::to_string(k) + (k == 1 ? " was" : " were") + " given");
    }

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t slot = total;  // none
            if (PyUnicode_Check(key)) {
                for (std::size_t j = 0; j < table.keyword_only.size() && slot == total; ++j) {
                    if (PyUnicode_CompareWithASCIIString(key, table.keyword_only[j].name) == 0) {
                        slot = n + j;
                    }
                }
                for (std::size_t j = 0; j < n && slot == total; ++j) {
                    if (PyUnicode_CompareWithASCIIString(key, table.positional[j]) == 0) {
                        slot = j;
                    }
                }
            }
            if (slot == total) {
                return formatted_type_error(
                    PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", table.function, key));
            }
            if (slots[slot] != nullptr) {
                return formatted_type_error(
                    PyUnicode_FromFormat("%s() got multiple values for argument '%S'", table.function, key));
            }
            slots[slot] = value;
        }
    }

    if (k < table.required_positional) {
        std::vector<const char*> missing;
        for (std::size_t i = 0; i < table.required_positional; ++i) {
            if (slots[i] == nullptr) {
                missing.push_back(table.positional[i]);
            }
        }
        if (!missing.empty()) {
            return missing_error(table.function, "positional", missing);
        }
    }
    std::vector<const char*> missing_keywords;
    for (std::size_t j = 0; j < table.keyword_only.size(); ++j) {
        if (table.keyword_only[j].required && slots[n + j] == nullptr) {
            missing_keywords.push_back(table.keyword_only[j].name);
        }
    }
    if (!missing_keywords.empty()) {
        return missing_error(table.function, "keyword", missing_keywords);
    }
    return ok_status();
}

// ---------------------------------------------------------------------------
// Scalar conversions

Result<std::uint64_t> extract_u64(PyObject* obj) {
    Handle index;
    PyObject* integer = obj;
    if (!PyLong_Check(obj)) {
        index = Handle::steal(PyNumber_Index(obj));
        if (!index) {
            return ErrorState::fetch();
        }
        integer = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return ErrorState::fetch();
    }
    return static_cast<std::uint64_t>(value);
}

Result<double> extract_f64(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return ErrorState::fetch();
    }
    return value;
}

namespace {

// Whether the type's __module__ == "numpy" and __name__ is "bool_" or "bool".
bool is_numpy_bool_type(PyObject* type) {
    Handle module = attribute(type, "__module__");
    Handle name = module ? attribute(type, "__name__") : Handle();
    if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

Result<bool> extract_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (Py_TYPE(obj) == &PyBool_Type) {
        return obj == Py_True;
    }
    if (!is_numpy_bool_type(type)) {
        return type_mismatch(obj, "bool");
    }
    Handle method = attribute(type, "__bool__");
    if (!method) {
        PyErr_Clear();
        return formatted_type_error(
            PyUnicode_FromFormat("object of type '%S' does not define a '__bool__' conversion", type));
    }
    // Bind through the attribute's descriptor-get slot, when its type has one.
    Handle bound;
    PyTypeObject* method_type = Py_TYPE(method.get());
    if (python_at_least_3_10() || (PyType_GetFlags(method_type) & Py_TPFLAGS_HEAPTYPE) != 0) {
        auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(method_type, Py_tp_descr_get));
        if (get != nullptr) {
            bound = Handle::steal(get(method.get(), obj, type));
            if (!bound) {
                return ErrorState::fetch();
            }
        } else {
            bound = std::move(method);
        }
    } else {
        // Before 3.10 slots of static types cannot be read; `__get__` on the
        // attribute's type is the same descriptor-get slot seen from Python.
        Handle get = attribute(reinterpret_cast<PyObject*>(method_type), "__get__");
        if (get) {
            bound = Handle::steal(PyObject_CallFunctionObjArgs(get.get(), method.get(), obj, type, nullptr));
            if (!bound) {
                return ErrorState::fetch();
            }
        } else {
            PyErr_Clear();
            bound = std::move(method);
        }
    }
    Handle result = Handle::steal(PyObject_CallObject(bound.get(), nullptr));
    if (!result) {
        return ErrorState::fetch();
    }
    if (Py_TYPE(result.get()) != &PyBool_Type) {
        return type_mismatch(result.get(), "bool");
    }
    return result.get() == Py_True;
}

Result<std::string> extract_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        return type_mismatch(obj, "str");
    }
    Handle bytes = Handle::steal(PyUnicode_AsUTF8String(obj));
    if (!bytes) {
        return ErrorState::fetch();
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
        return ErrorState::fetch();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

ErrorState argument_error(const char* name, ErrorState error) {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    Handle inner = std::move(error).instance();
    if (!inner) {
        return ErrorState::fetch();
    }
    Handle message = Handle::steal(PyUnicode_FromFormat("argument '%s': %S", name, inner.get()));
    if (!message) {
        return ErrorState::fetch();
    }
    Handle outer = Handle::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!outer) {
        return ErrorState::fetch();
    }
    if (PyObject* cause = PyException_GetCause(inner.get())) {
        PyException_SetCause(outer.get(), cause);  // steals the new reference
    }
    return ErrorState::from_instance(std::move(outer));
}

// ---------------------------------------------------------------------------
// The boundary

PyObject* entry_guard(EntryBody body, PyObject* args, PyObject* kwargs) noexcept {
    const bool previous = py::lock_marked();
    py::set_lock_mark(true);
    py::apply_deferred_releases();
    PyObject* out = nullptr;
    try {
        Result<Handle> result = body(args, kwargs);
        if (result.ok()) {
            out = result.value().release();
        } else {
            std::move(result).error().raise();
        }
    } catch (const Panic& failure) {
        raise_panic(failure.message());
    } catch (const OutOfMemory& failure) {
        raise_text(PyExc_MemoryError, failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(std::string("internal failure: ") + failure.what());
    } catch (...) {
        raise_panic("internal failure without a message");
    }
    py::set_lock_mark(previous);
    return out;
}

}  // namespace pellorin
