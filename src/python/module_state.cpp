#include "python/module_state.hpp"

#include "python/errors.hpp"

namespace plim::python {
namespace {

template <class Visit>
int each_reference(ModuleState& state, Visit&& visit) {
    for (PyObject** slot : {&state.link_type, &state.object_link_type, &state.panic_type}) {
        if (int status = visit(*slot)) return status;
    }
    for (PyObject*& name : state.names) {
        if (int status = visit(name)) return status;
    }
    return 0;
}

}  // namespace

int init_module_state(ModuleState& state) {
    for (std::size_t i = 0; i < NAME_COUNT; ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(NAME_TEXTS[i].data(), static_cast<Py_ssize_t>(NAME_TEXTS[i].size()));
        if (name == nullptr) return -1;
        // Interned, like the names a program writes, so most keys match by identity.
        PyUnicode_InternInPlace(&name);
        state.names[i] = name;
    }
    state.panic_type = new_panic_type();
    return state.panic_type == nullptr ? -1 : 0;
}

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    return each_reference(*state, [&](PyObject* object) { return object != nullptr ? visit(object, arg) : 0; });
}

int clear_module_state(PyObject* module) {
    ModuleState* state = module_state(module);
    if (state == nullptr) return 0;
    return each_reference(*state, [](PyObject*& object) {
        PyObject* old = object;
        object = nullptr;
        Py_DecRef(old);
        return 0;
    });
}

void free_module_state(void* module) { clear_module_state(static_cast<PyObject*>(module)); }

}  // namespace plim::python
