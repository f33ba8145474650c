#include "python/once_cell.hpp"

namespace plim::python {

PyObject* OnceCell::build_once(Builder build) {
    // Never wait for the build mutex while holding the interpreter lock: the
    // thread that is building may need the lock to finish (its builder runs
    // Python code that can switch threads). The mutex is recursive because a
    // builder can re-enter through a finalizer on the same thread.
    PyThreadState* saved = PyEval_SaveThread();
    std::unique_lock lock(building_);
    PyEval_RestoreThread(saved);

    if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
    PyObject* built = build();
    if (built == nullptr) return nullptr;
    // A re-entrant build on this thread may have filled the cell meanwhile;
    // the first object stored is the one everybody shares.
    if (PyObject* ready = value_.load(std::memory_order_acquire)) {
        Py_DecRef(built);
        return ready;
    }
    value_.store(built, std::memory_order_release);
    return built;
}

}  // namespace plim::python
