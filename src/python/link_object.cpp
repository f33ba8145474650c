#include "python/link_object.hpp"

#include <new>

#include "python/fault_boundary.hpp"

namespace plim::python {

PyObject* new_link_object(PyTypeObject* type) {
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
    return self;
}

void dealloc_link_object(PyObject* self) {
    guard_unraisable([&] {
        auto* link = reinterpret_cast<LinkObject*>(self);
        PyTypeObject* type = Py_TYPE(self);
        link->engine.~PlimEngine();
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DecRef(reinterpret_cast<PyObject*>(type));
    });
}

PyObject* build_link_class(const char* name, const char* doc, newfunc make, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(make)},
        {Py_tp_methods, methods},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_link_object)},
        {0, nullptr},
    };
    PyType_Spec type_spec{name, static_cast<int>(sizeof(LinkObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) ensure_error_set();
    return type;
}

}  // namespace plim::python
