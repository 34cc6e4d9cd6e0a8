#include "binding/py.hpp"

#include <vector>

namespace pellorin::py {
namespace {

thread_local bool t_lock_marked = false;

// References dropped while the lock was not marked as held; applied at the
// next entry or lock re-acquisition. Guarded by its own mutex because it is
// touched without the interpreter lock.
std::mutex g_deferred_mutex;
std::vector<PyObject*>* g_deferred = nullptr;

}  // namespace

bool lock_marked() noexcept { return t_lock_marked; }
void set_lock_mark(bool held) noexcept { t_lock_marked = held; }

void release_reference(PyObject* obj) noexcept {
    if (t_lock_marked) {
        Py_DecRef(obj);
        return;
    }
    std::lock_guard<std::mutex> guard(g_deferred_mutex);
    try {
        if (g_deferred == nullptr) {
            g_deferred = new std::vector<PyObject*>();
        }
        g_deferred->push_back(obj);
    } catch (...) {
        // Out of memory while deferring: the reference is leaked rather than
        // dropped without the lock.
    }
}

void apply_deferred_releases() noexcept {
    std::vector<PyObject*> pending;
    {
        std::lock_guard<std::mutex> guard(g_deferred_mutex);
        if (g_deferred == nullptr || g_deferred->empty()) {
            return;
        }
        pending.swap(*g_deferred);
    }
    for (PyObject* obj : pending) {
        Py_DecRef(obj);
    }
}

ScopedRelease::ScopedRelease() noexcept : was_marked_(t_lock_marked) {
    t_lock_marked = false;
    state_ = PyEval_SaveThread();
}

ScopedRelease::~ScopedRelease() {
    PyEval_RestoreThread(state_);
    t_lock_marked = was_marked_;
    if (was_marked_) {
        apply_deferred_releases();
    }
}

}  // namespace pellorin::py
