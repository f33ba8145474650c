#pragma once
// The ObjectLink class: Link's engine and claim, with Python values in place
// of JSON text.
#include <Python.h>

namespace plim::python {

// The process-wide ObjectLink class (a borrowed reference), built on first
// use. nullptr with the Python error set when building fails.
PyObject* object_link_type();

}  // namespace plim::python
