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
// caller can commit its own state change between building and raising.
struct PendingException {
    PyObject* type = nullptr;     // borrowed: an interpreter class
    PyObject* message = nullptr;  // owned
};
PendingException build_call_error(const CallError& error);
void raise_pending(PendingException pending) noexcept;

void raise_call_error(const CallError& error);

// Raises `type` with `message` as its only argument.
void raise_message(PyObject* type, std::string_view message);

void raise_already_borrowed();

// "'int' object is not an instance of 'str'", "'None' is not an instance of 'str'".
// Looking up a type name can run Python code; an exception from there that
// is not an Exception is raised instead.
void raise_type_mismatch(PyObject* value, PyObject* expected_type);

// "a bytes-like object is required, not 'str'", with the same care.
void raise_not_bytes_like(PyObject* value);

// The PanicException class, created on first use (borrowed reference).
PyObject* panic_exception_type();
void raise_panic(std::string_view message);

// Passes an interpreter failure on; a failure that set no exception becomes SystemError.
void ensure_error_set() noexcept;

}  // namespace plim::python
