#pragma once
// A process-wide cell for a Python object that is built on first use and kept
// for the life of the process (the Link class, the PanicException class).
#include <Python.h>

#include <atomic>
#include <mutex>

namespace plim::python {

class OnceCell {
public:
    using Builder = PyObject* (*)();

    // Returns the cell's object (a borrowed reference), building it with
    // `build` on first use. On failure returns nullptr with the builder's
    // Python error set, and a later call tries again.
    PyObject* get(Builder build) {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        return build_once(build);
    }

private:
    PyObject* build_once(Builder build);

    std::atomic<PyObject*> value_{nullptr};
    std::recursive_mutex building_;
};

}  // namespace plim::python
