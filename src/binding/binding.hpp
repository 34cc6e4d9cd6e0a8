// Errors as values, argument binding, scalar conversion and the one boundary
// (entry_guard) where errors become Python exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "binding/py.hpp"
#include "kernels/common/buffer.hpp"

namespace pellorin {

// The error value every fallible step returns instead of raising.
// lazy: a type and a UTF-8 message, materialised only when raised;
// fetched/normalised: an exception taken out of the interpreter (held as a
// normalised instance). Created and destroyed with the lock held.
class ErrorState {
public:
    static ErrorState lazy(PyObject* type, std::string message);
    static ErrorState from_instance(py::Handle instance);
    // Takes the pending exception out of the interpreter's error indicator.
    // A pending internal-error exception is not an ordinary error: its banner
    // and traceback are printed and a new internal failure (Panic) with the
    // same message is thrown.
    static ErrorState fetch();

    // The exception type (borrowed).
    PyObject* type() const noexcept;
    // Stores the error into the interpreter's error indicator.
    void raise() &&;
    // Materialises the exception instance (new reference), or null with an
    // error pending when that fails.
    py::Handle instance() &&;

private:
    ErrorState() = default;
    py::Handle type_;
    std::string message_;
    py::Handle instance_;
};

struct Unit {};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ErrorState error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    ErrorState& error() & { return std::get<1>(v_); }
    ErrorState&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, ErrorState> v_;
};

using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

#define PEL_CONCAT_(a, b) a##b
#define PEL_CONCAT(a, b) PEL_CONCAT_(a, b)
// PEL_TRY(auto x, expr): evaluates a Result, returns its error from the
// enclosing function, or binds the value to the declaration.
#define PEL_TRY(decl, expr) PEL_TRY_IMPL(decl, expr, PEL_CONCAT(pel_try_, __LINE__))
#define PEL_TRY_IMPL(decl, expr, tmp)             \
    auto tmp = (expr);                            \
    if (!tmp.ok()) return std::move(tmp).error(); \
    decl = std::move(tmp).value()
// PEL_CHECK(expr): returns the error of a Status (or any Result), if any.
#define PEL_CHECK(expr)                                                   \
    do {                                                                  \
        auto pel_check_tmp = (expr);                                      \
        if (!pel_check_tmp.ok()) return std::move(pel_check_tmp).error(); \
    } while (0)

// Cold constructors of lazy errors; the message is formatted by the caller
// only once the failure is certain.
[[gnu::cold]] ErrorState type_error(std::string message);
[[gnu::cold]] ErrorState value_error(std::string message);
[[gnu::cold]] ErrorState memory_error(std::string message);

// A buffer of `count` (its text) elements of T that no allocation can hold
// fails with MemoryError naming it, before anything is allocated.
template <class T>
Status allocatable(bool fits, const char* what, const std::string& count) {
    if (fits) [[likely]] {
        return ok_status();
    }
    return memory_error(allocation_failure_text(what, count, sizeof(T), true));
}
template <class T>
Status allocatable(std::uint64_t n, const char* what) {
    return allocatable<T>(within_allocation_limit<T>(n), what, std::to_string(n));
}
// The internal-error exception with `message`, as a value, for a failure met
// with the lock held (NumPy that cannot be loaded); its diagnostic is written
// to standard error as it happens.
[[gnu::cold]] ErrorState internal_error(std::string message);
// "'{from}' object is not an instance of '{target}'" (or "'None' is not an
// instance of '{target}'"), {from} the __qualname__ of obj's type.
[[gnu::cold]] ErrorState type_mismatch(PyObject* obj, const char* target_qualname);
[[gnu::cold]] ErrorState type_mismatch(PyObject* obj, PyObject* target_type);

// __qualname__ of a type object, or "<failed to extract type name>".
std::string qualname_of(PyObject* type);

// "{type name}: {str(exception)}" of an error, for internal-failure texts.
std::string describe(ErrorState error);

struct KeywordParam {
    const char* name;
    bool required;
};

struct ParameterTable {
    const char* function;                     // used as "{function}()"
    std::span<const char* const> positional;  // names, in order
    std::size_t required_positional;
    std::span<const KeywordParam> keyword_only;  // in order

    std::size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
};

// Binds the positional tuple and keyword dict (or null) into `slots`
// (slot_count() borrowed references, null when empty).
Status bind_arguments(const ParameterTable& table, PyObject* args, PyObject* kwargs, PyObject** slots);

Result<std::uint64_t> extract_u64(PyObject* obj);
Result<double> extract_f64(PyObject* obj);
Result<bool> extract_bool(PyObject* obj);
Result<std::string> extract_str(PyObject* obj);

// A TypeError (exactly) becomes TypeError "argument '{name}': {message}";
// anything else passes unchanged.
ErrorState argument_error(const char* name, ErrorState error);

// Applies argument_error to a failed conversion of parameter `name`.
template <class T>
Result<T> convert_argument(const char* name, Result<T> converted) {
    if (converted.ok()) {
        return converted;
    }
    return argument_error(name, std::move(converted).error());
}

using EntryBody = Result<py::Handle> (*)(PyObject* args, PyObject* kwargs);

// The one boundary: runs `body`, returns its object or raises its error.
// Panic and other internal failures become the internal-error exception,
// std::bad_alloc becomes MemoryError.
PyObject* entry_guard(EntryBody body, PyObject* args, PyObject* kwargs) noexcept;

// The internal-error type (created on first need, kept for the process).
PyObject* panic_exception_type();

// Interned attribute names, created on first use and cached; null, with the
// interpreter's error pending, when the name cannot be created.
PyObject* interned(const char* name);

// obj.<name> through the interned name (new reference), or null with the
// error pending, also when the name itself cannot be created.
py::Handle attribute(PyObject* obj, const char* name);

// Interpreter version flag, computed once from Py_GetVersion.
bool python_at_least_3_10() noexcept;

}  // namespace pellorin
