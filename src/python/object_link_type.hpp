#pragma once
// The ObjectLink class: Link's engine and claim, with Python values in place
// of JSON text.
#include <Python.h>

namespace plim::python {

// A new ObjectLink class belonging to `module`; nullptr with the Python error set.
PyObject* new_object_link_class(PyObject* module);

}  // namespace plim::python
