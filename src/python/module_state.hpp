#pragma once
// What one module object holds for the interpreter that imported it: its two
// classes, its PanicException and the names of the message declarations as
// str objects. Nothing is shared between module objects, so each
// interpreter, isolated or not, works with objects of its own.
#include <Python.h>

#include "python/name_table.hpp"

namespace plim::python {

// Laid out in the memory the interpreter gives a module's state, which it
// zero-fills; every member is a strong reference or nullptr.
struct ModuleState {
    PyObject* link_type;
    PyObject* object_link_type;
    // Made when the module is, so that raising a fault never has to build it.
    PyObject* panic_type;
    PyObject* names[NAME_COUNT];
};

inline ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// The state of the module that made `type`, one of the two link classes.
// They cannot be subclassed, so a receiver's own class is always the one that
// defines the method being called. nullptr with the Python error set.
inline ModuleState* class_state(PyTypeObject* type) { return static_cast<ModuleState*>(PyType_GetModuleState(type)); }

// The names of `T` in declaration order (borrowed references).
template <class T>
PyObject* const* names_of(const ModuleState& state) {
    return state.names + NAME_OFFSET<T>;
}

// Fills the names and the PanicException; 0, or -1 with the Python error set.
int init_module_state(ModuleState& state);

int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);
void free_module_state(void* module);

}  // namespace plim::python
