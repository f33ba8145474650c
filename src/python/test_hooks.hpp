#pragma once
// A hidden fault switch for the test suite, compiled in only with
// PLIM_FFI_TEST_HOOKS; release builds get a no-op.
#include <Python.h>

namespace plim::python {

// Returns 0, or -1 with the Python error set.
int install_test_hooks(PyObject* module);

}  // namespace plim::python
