#include "python/link_object.hpp"

#include <new>

#include "python/fault_boundary.hpp"

namespace plim::python {

PyObject* new_link_object(PyTypeObject* type, const ModuleState* state) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        ensure_error_set();
        return nullptr;
    }
    auto* link = reinterpret_cast<LinkObject*>(self);
    try {
        new (&link->engine) PlimEngine();
    } catch (...) {
        // The engine never existed, so the deallocator must not run.
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));
        throw;
    }
    new (&link->claim_flag) std::atomic<std::uintptr_t>(CLAIM_FREE);
    link->state = state;
    return self;
}

void dealloc_link_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guard_unraisable(receiver_state(self), [&] {
        auto* link = reinterpret_cast<LinkObject*>(self);
        link->engine.~PlimEngine();
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));
    });
}

PyObject* build_link_class(PyObject* module, const char* name, const char* doc, newfunc make, PyMethodDef* methods,
                           PyGetSetDef* getset) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(make)},
        {Py_tp_methods, methods},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_link_object)},
        {getset != nullptr ? Py_tp_getset : 0, getset},
        {0, nullptr},
    };
    PyType_Spec type_spec{name, static_cast<int>(sizeof(LinkObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    // The class keeps its module, and through it the state its methods read.
    PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
    if (type == nullptr) ensure_error_set();
    return type;
}

}  // namespace plim::python
