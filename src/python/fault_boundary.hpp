#pragma once
// The fault boundary around every entry point the interpreter calls. Errors
// are values everywhere in this module; a C++ exception reaching the boundary
// is memory exhaustion (raised as MemoryError, the call having left its
// object unchanged), an interpreter error to pass on as it is, or a broken
// invariant (raised as the module's PanicException). No C++ exception ever
// crosses into the interpreter.
//
// Everything the boundary needs is made with the module, before the first
// call; on its way out it builds only the fault's message, and when even
// that fails the MemoryError is what the caller sees.
#include <Python.h>

#include <exception>
#include <stdexcept>
#include <string>

#include "python/module_state.hpp"

namespace plim::python {

// A broken invariant inside the module, with the text Python will read.
class Fault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown where the interpreter handed back no object and its pending error
// (a MemoryError) is what the caller must see.
struct InterpreterError {};

// Where the interpreter handed back no object although one is required: a
// pending MemoryError propagates as it is; any other pending error goes to
// the unraisable hook, then the call faults.
PyObject* require(PyObject* object);

// Sets the pending Python exception for a fault caught at the boundary of a
// module whose state is `state` (nullptr: the state could not be found, its
// error is pending). A fault while doing so ends the process with a report
// on stderr.
void raise_fault(const ModuleState* state, std::exception_ptr fault) noexcept;

// The deallocator's form: the fault's exception goes to the unraisable hook.
void report_unraisable_fault(const ModuleState* state, std::exception_ptr fault) noexcept;

// Writes the report for a fault met while a fault was being handled, then ends the process.
[[noreturn]] void fatal_fault(const char* detail) noexcept;

// Entry points returning an object (nullptr on failure) or a status (-1 on failure).
template <class Body>
PyObject* guard_object(const ModuleState* state, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_fault(state, std::current_exception());
        return nullptr;
    }
}

template <class Body>
int guard_status(const ModuleState* state, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_fault(state, std::current_exception());
        return -1;
    }
}

template <class Body>
void guard_unraisable(const ModuleState* state, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        report_unraisable_fault(state, std::current_exception());
    }
}

}  // namespace plim::python
