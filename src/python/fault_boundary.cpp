#include "python/fault_boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

constexpr std::string_view FAULT_WITHOUT_TEXT = "panic from C++ code";
constexpr const char* NULL_OBJECT = "PyObject pointer is null";
constexpr const char* UNREADABLE_TEXT = "a fault's text is not UTF-8";

// Hands any pending Python error to the unraisable hook; does nothing when none is set.
void write_pending_unraisable() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(nullptr);
}

// Raises the module's PanicException with `text`. Building the text is the
// only allocation: when it fails for want of memory, that MemoryError stands;
// a text that cannot become a str at all is a fault of the fault handling.
void raise_panic(const ModuleState* state, std::string_view text) {
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message) {
        if (memory_error_pending()) return;
        clear_error();
        throw Fault(UNREADABLE_TEXT);
    }
    if (state == nullptr || state->panic_type == nullptr) {
        raise_module_gone();  // only while the interpreter tears the module down
        return;
    }
    PyErr_SetObject(state->panic_type, message.get());
}

// Leaves the exception for `fault` pending. Throws when even that fails.
void set_fault_exception(const ModuleState* state, std::exception_ptr fault) {
    try {
        std::rethrow_exception(fault);
    } catch (const InterpreterError&) {
        ensure_error_set();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(state, error.what());
    } catch (...) {
        raise_panic(state, FAULT_WITHOUT_TEXT);
    }
}

}  // namespace

PyObject* require(PyObject* object) {
    if (object != nullptr) return object;
    if (memory_error_pending()) throw InterpreterError{};
    write_pending_unraisable();
    throw Fault(NULL_OBJECT);
}

void raise_fault(const ModuleState* state, std::exception_ptr fault) noexcept {
    try {
        set_fault_exception(state, fault);
    } catch (const InterpreterError&) {
        // Memory ran out while raising: that MemoryError is pending and stands.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& nested) {
        fatal_fault(nested.what());
    } catch (...) {
        fatal_fault(FAULT_WITHOUT_TEXT.data());
    }
}

void report_unraisable_fault(const ModuleState* state, std::exception_ptr fault) noexcept {
    raise_fault(state, fault);
    PyErr_WriteUnraisable(nullptr);
}

void fatal_fault(const char* detail) noexcept {
    std::fprintf(stderr, "fatal: uncaught panic at ffi boundary: %s\n", detail);
    std::fflush(stderr);
    std::abort();
}

}  // namespace plim::python
