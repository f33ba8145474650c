#pragma once
// The fault boundary around every entry point the interpreter calls. Errors
// are values everywhere in this module; a C++ exception reaching the boundary
// is either memory exhaustion (raised as MemoryError, the call having left its
// object unchanged) or a broken invariant (raised as PanicException). No C++
// exception ever crosses into the interpreter.
#include <Python.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace plim::python {

// A broken invariant inside the module, with the text Python will read.
class Fault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the interpreter handed back no object although one is required: the
// pending Python error goes to the unraisable hook, then the call faults.
PyObject* require(PyObject* object);

// Sets the pending Python exception for a fault caught at the boundary. A
// fault while doing so ends the process with a report on stderr.
void raise_fault(std::exception_ptr fault) noexcept;

// The deallocator's form: the fault's exception goes to the unraisable hook.
void report_unraisable_fault(std::exception_ptr fault) noexcept;

// Writes the report for a fault met while a fault was being handled, then ends the process.
[[noreturn]] void fatal_fault(const char* detail) noexcept;

// Entry points returning an object (nullptr on failure) or a status (-1 on failure).
template <class Body>
PyObject* guard_object(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_fault(std::current_exception());
        return nullptr;
    }
}

template <class Body>
int guard_status(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_fault(std::current_exception());
        return -1;
    }
}

template <class Body>
void guard_unraisable(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_unraisable_fault(std::current_exception());
    }
}

}  // namespace plim::python
