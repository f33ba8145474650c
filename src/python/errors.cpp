#include "python/errors.hpp"

#include <string>

#include "python/fault_boundary.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

constexpr std::string_view JSON_PREFIX = "Serde JSON error: ";
constexpr std::string_view ENGINE_PREFIX = "plim-api error: ";
constexpr std::string_view ALREADY_BORROWED = "Already borrowed";
constexpr std::string_view NOT_BYTES_LIKE = "a bytes-like object is required, not '";
constexpr std::string_view UNKNOWN_TYPE_NAME = "<failed to extract type name>";
constexpr std::string_view MODULE_GONE = "the module of plim_ffi's classes has been torn down";
constexpr std::string_view NO_EXCEPTION_SET = "attempted to fetch exception but none was set";

constexpr const char* PANIC_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_DOC =
    "\n"
    "The exception raised when C++ code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::string call_error_text(const CallError& error) {
    if (const auto* json = std::get_if<JsonInputError>(&error)) {
        return std::string(JSON_PREFIX) + json_error_text(*json);
    }
    return std::string(ENGINE_PREFIX) + link_error_text(std::get<LinkError>(error));
}

// Appends the __qualname__ of `type`; a name that cannot be read stands as a
// fixed placeholder and leaves no Python error behind. Reading the name may
// run Python code (a metaclass can compute it), so an exception that is not
// an Exception (KeyboardInterrupt, SystemExit) is left pending and false
// returned: losing a Ctrl-C there would be a fault. A MemoryError is passed
// on too.
bool append_qualname(std::string& text, PyObject* type) {
    PyRef attribute = PyRef::steal(require(PyUnicode_FromStringAndSize("__qualname__", 12)));
    PyRef name = PyRef::steal(PyObject_GetAttr(type, attribute.get()));
    if (name && PyUnicode_Check(name.get())) {
        PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(name.get()));
        if (utf8) {
            text.append(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
            return true;
        }
    }
    if (PyErr_Occurred() != nullptr && (!PyErr_ExceptionMatches(PyExc_Exception) || memory_error_pending())) {
        return false;
    }
    clear_error();
    text.append(UNKNOWN_TYPE_NAME);
    return true;
}

}  // namespace

PendingException build_call_error(const CallError& error) {
    std::string text = call_error_text(error);
    PyRef message = PyRef::steal(require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    return {require(PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr))};
}

void raise_pending(PendingException pending) noexcept {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(pending.exception)), pending.exception);
    Py_DecRef(pending.exception);
}

void raise_call_error(const CallError& error) { raise_pending(build_call_error(error)); }

void raise_message(PyObject* type, std::string_view message) {
    PyObject* text = require(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyErr_SetObject(type, text);
    Py_DecRef(text);
}

void raise_already_borrowed() { raise_message(PyExc_RuntimeError, ALREADY_BORROWED); }

void raise_module_gone() { raise_message(PyExc_SystemError, MODULE_GONE); }

void raise_type_mismatch(PyObject* value, PyObject* expected_type) {
    std::string text;
    if (value == Py_None) {
        text = "'None' is not an instance of '";
    } else {
        text = "'";
        if (!append_qualname(text, reinterpret_cast<PyObject*>(Py_TYPE(value)))) return;
        text += "' object is not an instance of '";
    }
    if (!append_qualname(text, expected_type)) return;
    text += "'";
    raise_message(PyExc_TypeError, text);
}

void raise_not_bytes_like(PyObject* value) {
    std::string text(NOT_BYTES_LIKE);
    if (!append_qualname(text, reinterpret_cast<PyObject*>(Py_TYPE(value)))) return;
    text += "'";
    raise_message(PyExc_TypeError, text);
}

PyObject* new_panic_type() {
    return PyErr_NewExceptionWithDoc(PANIC_NAME, PANIC_DOC, PyExc_BaseException, nullptr);
}

bool memory_error_pending() noexcept { return PyErr_ExceptionMatches(PyExc_MemoryError) != 0; }

void ensure_error_set() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* text = PyUnicode_FromStringAndSize(NO_EXCEPTION_SET.data(), static_cast<Py_ssize_t>(NO_EXCEPTION_SET.size()));
    if (text == nullptr) return;  // the failure to build the text is itself pending
    PyErr_SetObject(PyExc_SystemError, text);
    Py_DecRef(text);
}

}  // namespace plim::python
