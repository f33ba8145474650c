#pragma once
// Every failure a Link call can meet, turned into its Python exception. Each
// exception created here carries exactly one argument: its message as a str.
#include <Python.h>

#include <string_view>
#include <variant>

#include "json/json_error.hpp"
#include "link/link_error.hpp"

namespace plim::python {

// What a method hands to the boundary: a refused JSON text or an engine error.
using CallError = std::variant<JsonInputError, LinkError>;

// Builds the complete exception for a call error without raising it, so the
// caller can commit its own state change between building and raising:
// raising a built exception allocates nothing, so it cannot turn into a
// MemoryError once the state has changed.
struct PendingException {
    PyObject* exception = nullptr;  // owned: the instance to raise
};
PendingException build_call_error(const CallError& error);
void raise_pending(PendingException pending) noexcept;

void raise_call_error(const CallError& error);

// Raises `type` with `message` as its only argument.
void raise_message(PyObject* type, std::string_view message);

void raise_already_borrowed();

// Raised by a call that reaches its module while the interpreter tears it down.
void raise_module_gone();

// "'int' object is not an instance of 'str'", "'None' is not an instance of 'str'".
// Looking up a type name can run Python code; an exception from there that
// is not an Exception is raised instead.
void raise_type_mismatch(PyObject* value, PyObject* expected_type);

// "a bytes-like object is required, not 'str'", with the same care.
void raise_not_bytes_like(PyObject* value);

// A new PanicException class, one per module object; nullptr with the
// Python error set.
PyObject* new_panic_type();

// Whether the pending Python error is a MemoryError: it is passed on as it
// is wherever another error would be replaced or ignored.
bool memory_error_pending() noexcept;

// Passes an interpreter failure on; a failure that set no exception becomes SystemError.
void ensure_error_set() noexcept;

}  // namespace plim::python
