#include "python/fault_boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "python/errors.hpp"

namespace plim::python {
namespace {

constexpr std::string_view FAULT_WITHOUT_TEXT = "panic from C++ code";
constexpr const char* NULL_OBJECT = "PyObject pointer is null";

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

// Leaves the exception for `fault` pending. Throws when even that fails.
void set_fault_exception(std::exception_ptr fault) {
    try {
        std::rethrow_exception(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic(FAULT_WITHOUT_TEXT);
    }
}

}  // namespace

PyObject* require(PyObject* object) {
    if (object != nullptr) return object;
    write_pending_unraisable();
    throw Fault(NULL_OBJECT);
}

void raise_fault(std::exception_ptr fault) noexcept {
    try {
        set_fault_exception(fault);
    } catch (const std::exception& nested) {
        fatal_fault(nested.what());
    } catch (...) {
        fatal_fault(FAULT_WITHOUT_TEXT.data());
    }
}

void report_unraisable_fault(std::exception_ptr fault) noexcept {
    raise_fault(fault);
    PyErr_WriteUnraisable(nullptr);
}

void fatal_fault(const char* detail) noexcept {
    std::fprintf(stderr, "fatal: uncaught panic at ffi boundary: %s\n", detail);
    std::fflush(stderr);
    std::abort();
}

}  // namespace plim::python
