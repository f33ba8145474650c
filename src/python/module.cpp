// The module entry: multi-phase initialisation whose exec slot publishes the
// Link and ObjectLink classes.
#include <Python.h>

#include <string_view>

#include "python/errors.hpp"
#include "python/fault_boundary.hpp"
#include "python/link_type.hpp"
#include "python/object_link_type.hpp"
#include "python/py_ref.hpp"
#include "python/test_hooks.hpp"

namespace plim::python {
namespace {

constexpr const char* APPEND_FAILED = "could not append __name__ to __all__";

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
        clear_error();
        throw Fault(APPEND_FAILED);
    }
    if (PyObject_SetAttr(module, interned_name.get(), type) < 0) {
        ensure_error_set();
        return -1;
    }
    return 0;
}

int exec_module(PyObject* module) {
    return guard_status([&]() -> int {
        if (!PyModule_Check(module)) {
            raise_type_mismatch(module, reinterpret_cast<PyObject*>(&PyModule_Type));
            return -1;
        }
        PyObject* link = link_type();
        if (link == nullptr) return -1;
        PyObject* object_link = object_link_type();
        if (object_link == nullptr) return -1;
        PyRef all = module_all(module);
        if (!all) return -1;
        if (publish_class(module, all.get(), "Link", link) < 0) return -1;
        if (publish_class(module, all.get(), "ObjectLink", object_link) < 0) return -1;
        return install_test_hooks(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "plim_ffi", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace plim::python

PyMODINIT_FUNC PyInit_plim_ffi(void) { return PyModuleDef_Init(&plim::python::module_def); }
