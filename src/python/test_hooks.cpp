#include "python/test_hooks.hpp"

#ifdef PLIM_FFI_TEST_HOOKS

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "python/errors.hpp"
#include "python/fault_boundary.hpp"
#include "python/module_state.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

// _test_fault(kind) raises a C++ fault inside each flavour of the boundary:
//   "text"        a fault with a message, in a method's boundary
//   "plain"       a fault without a message (not a std::exception)
//   "memory"      std::bad_alloc
//   "null"        the interpreter hands back no object, with an error pending
//   "status"      a fault in the exec slot's boundary (returns -1)
//   "unraisable"  a fault in the deallocator's boundary (reported, returns None)
//   "nested"      a fault while a fault is being handled: the process ends
std::string kind_of(PyObject* arg) {
    if (!PyUnicode_Check(arg)) throw Fault("_test_fault takes a str");
    PyRef utf8 = PyRef::steal(require(PyUnicode_AsUTF8String(arg)));
    return {PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get()))};
}

void fault(const std::string& kind) {
    if (kind == "text") throw Fault("test fault with text");
    if (kind == "plain") throw 7;
    if (kind == "memory") throw std::bad_alloc();
    if (kind == "null") {
        raise_message(PyExc_ValueError, "interpreter error behind a null object");
        require(nullptr);
    }
    // A message that is not UTF-8 cannot become the PanicException's str.
    if (kind == "nested") throw Fault("\xff\xfe not text");
    throw Fault("unknown test fault kind");
}

PyObject* test_fault(PyObject* module, PyObject* arg) {
    const ModuleState* state = module_state(module);
    return guard_object(state, [&]() -> PyObject* {
        const std::string kind = kind_of(arg);
        if (kind == "status") {
            const int status = guard_status(state, []() -> int { throw Fault("test fault in a status entry"); });
            return status < 0 ? nullptr : (Py_IncRef(Py_None), Py_None);
        }
        if (kind == "unraisable") {
            guard_unraisable(state, [] { throw Fault("test fault in a deallocator"); });
            Py_IncRef(Py_None);
            return Py_None;
        }
        fault(kind);
        return nullptr;
    });
}

PyMethodDef test_fault_def = {"_test_fault", test_fault, METH_O, nullptr};

}  // namespace

int install_test_hooks(PyObject* module) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(&test_fault_def, module, nullptr));
    if (!function) return -1;
    PyRef name = PyRef::steal(require(PyUnicode_FromStringAndSize("_test_fault", 11)));
    return PyObject_SetAttr(module, name.get(), function.get());
}

}  // namespace plim::python

#else

namespace plim::python {

int install_test_hooks(PyObject*) { return 0; }

}  // namespace plim::python

#endif
