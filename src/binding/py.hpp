// The one place that selects the stable ABI and includes Python.h.
// Holds the owning PyObject handle and the scoped release of the interpreter
// lock. Only CPython's stable ABI as of 3.9 is used.
#pragma once

#define Py_LIMITED_API 0x03090000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace pellorin::py {

// True while the current thread holds the interpreter lock as far as the
// binding layer knows (set by entry_guard and by ScopedRelease).
bool lock_marked() noexcept;
void set_lock_mark(bool held) noexcept;

// Drops a reference. With the lock marked as held this is Py_DecRef; without
// it the release is deferred until the next entry or lock re-acquisition.
void release_reference(PyObject* obj) noexcept;
// Applies the deferred releases; the lock must be held.
void apply_deferred_releases() noexcept;

// Owning reference to a PyObject (or null). Move-only.
class Handle {
public:
    Handle() noexcept = default;
    static Handle steal(PyObject* obj) noexcept { return Handle(obj); }
    static Handle borrow(PyObject* obj) noexcept {
        if (obj != nullptr) {
            Py_IncRef(obj);
        }
        return Handle(obj);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Handle() { reset(); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() noexcept {
        if (PyObject* old = std::exchange(obj_, nullptr)) {
            release_reference(old);
        }
    }

private:
    explicit Handle(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, exceptions included. Inside it: no Python API and no Handle
// destructors; take views and sizes before constructing it.
class ScopedRelease {
public:
    ScopedRelease() noexcept;
    ~ScopedRelease();
    ScopedRelease(const ScopedRelease&) = delete;
    ScopedRelease& operator=(const ScopedRelease&) = delete;

private:
    PyThreadState* state_;
    bool was_marked_;
};

// Runs `work()` with the lock released and returns its value.
template <class Work>
decltype(auto) without_lock(Work&& work) {
    ScopedRelease release;
    return std::forward<Work>(work)();
}

// Process-wide value created once, on first use, and never torn down.
// `make()` runs with the lock held and returns the value, or null on failure
// (it may also throw). A thread that finds another thread initialising
// releases the interpreter lock while it waits, so the initialising thread
// (which may itself drop the lock, e.g. while importing) is never blocked.
template <class T, class Make>
T* init_once(std::atomic<T*>& slot, std::mutex& mutex, Make&& make) {
    if (T* value = slot.load(std::memory_order_acquire)) {
        return value;
    }
    std::unique_lock<std::mutex> guard(mutex, std::try_to_lock);
    if (!guard.owns_lock()) {
        PyThreadState* state = PyEval_SaveThread();
        guard.lock();
        PyEval_RestoreThread(state);
    }
    if (T* value = slot.load(std::memory_order_acquire)) {
        return value;
    }
    T* value = make();
    if (value != nullptr) {
        slot.store(value, std::memory_order_release);
    }
    return value;
}

}  // namespace pellorin::py
