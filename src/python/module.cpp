// The module entry: multi-phase initialisation with per-module state, whose
// exec slot makes the module's classes and publishes them.
#include <Python.h>

#include <cstdlib>
#include <string_view>

#include "python/errors.hpp"
#include "python/fault_boundary.hpp"
#include "python/link_type.hpp"
#include "python/module_state.hpp"
#include "python/object_link_type.hpp"
#include "python/py_ref.hpp"
#include "python/test_hooks.hpp"

#ifndef PLIM_FFI_VERSION
#error "PLIM_FFI_VERSION must be defined by the build (the project's version)"
#endif

namespace plim::python {
namespace {

constexpr const char* APPEND_FAILED = "could not append __name__ to __all__";
constexpr std::string_view VERSION = PLIM_FFI_VERSION;

PyRef interned(std::string_view text) {
    PyObject* name = require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyUnicode_InternInPlace(&name);
    return PyRef::steal(name);
}

// The module's __all__, created empty when it does not exist yet; nullptr
// with the Python error set otherwise.
PyRef module_all(PyObject* module) {
    PyRef all_name = interned("__all__");
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name.get()));
    if (!all) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        if (type == nullptr || !PyErr_GivenExceptionMatches(type, PyExc_AttributeError)) {
            PyErr_Restore(type, value, traceback);
            ensure_error_set();
            return {};
        }
        Py_DecRef(type);
        Py_DecRef(value);
        Py_DecRef(traceback);
        all = PyRef::steal(require(PyList_New(0)));
        if (PyObject_SetAttr(module, all_name.get(), all.get()) < 0) {
            ensure_error_set();
            return {};
        }
        return all;
    }
    if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
        return {};
    }
    return all;
}

// Appends the class's name to __all__ and sets it as a module attribute; -1
// with the Python error set.
int publish_class(PyObject* module, PyObject* all, std::string_view name, PyObject* type) {
    PyRef interned_name = interned(name);
    if (PyList_Append(all, interned_name.get()) < 0) {
        if (memory_error_pending()) return -1;
        clear_error();
        throw Fault(APPEND_FAILED);
    }
    if (PyObject_SetAttr(module, interned_name.get(), type) < 0) {
        ensure_error_set();
        return -1;
    }
    return 0;
}

int set_version(PyObject* module) {
    PyRef name = interned("__version__");
    PyRef version = PyRef::steal(require(PyUnicode_FromStringAndSize(VERSION.data(), static_cast<Py_ssize_t>(VERSION.size()))));
    if (PyObject_SetAttr(module, name.get(), version.get()) < 0) {
        ensure_error_set();
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        return guard_status(nullptr, [&]() -> int {
            raise_type_mismatch(module, reinterpret_cast<PyObject*>(&PyModule_Type));
            return -1;
        });
    }
    ModuleState* state = module_state(module);
    if (init_module_state(*state) < 0) return -1;
    return guard_status(state, [&]() -> int {
        state->link_type = new_link_class(module);
        if (state->link_type == nullptr) return -1;
        state->object_link_type = new_object_link_class(module);
        if (state->object_link_type == nullptr) return -1;
        PyRef all = module_all(module);
        if (!all) return -1;
        if (publish_class(module, all.get(), "Link", state->link_type) < 0) return -1;
        if (publish_class(module, all.get(), "ObjectLink", state->object_link_type) < 0) return -1;
        if (set_version(module) < 0) return -1;
        return install_test_hooks(module);
    });
}

// The slot that lets an isolated subinterpreter, one with its own GIL, load
// the module. Interpreters before 3.12 refuse a module with a slot they do
// not know, so the one stable-ABI library offers it only to those that know it.
constexpr int MULTIPLE_INTERPRETERS_SLOT = 3;                    // Py_mod_multiple_interpreters
void* const PER_INTERPRETER_GIL_SUPPORTED = reinterpret_cast<void*>(2);  // Py_MOD_PER_INTERPRETER_GIL_SUPPORTED

PyModuleDef_Slot slots_with_interpreters[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {MULTIPLE_INTERPRETERS_SLOT, PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef_Slot slots_before_interpreters[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef def_with_interpreters = {
    PyModuleDef_HEAD_INIT, "plim_ffi", "", sizeof(ModuleState), nullptr, slots_with_interpreters,
    traverse_module_state, clear_module_state, free_module_state,
};

PyModuleDef def_before_interpreters = {
    PyModuleDef_HEAD_INIT, "plim_ffi", "", sizeof(ModuleState), nullptr, slots_before_interpreters,
    traverse_module_state, clear_module_state, free_module_state,
};

// Whether the running interpreter is 3.12 or later. Its version number as
// data (Py_Version) is not in the 3.10 stable ABI; its version text is.
bool knows_interpreter_slot() {
    const char* version = Py_GetVersion();
    char* end = nullptr;
    const long major = std::strtol(version, &end, 10);
    const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
    return major > 3 || (major == 3 && minor >= 12);
}

}  // namespace
}  // namespace plim::python

PyMODINIT_FUNC PyInit_plim_ffi(void) {
    using namespace plim::python;
    return PyModuleDef_Init(knows_interpreter_slot() ? &def_with_interpreters : &def_before_interpreters);
}
