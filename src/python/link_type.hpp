#pragma once
// The Link class: one engine per object, claimed exclusively by each call.
#include <Python.h>

namespace plim::python {

// A new Link class belonging to `module`; nullptr with the Python error set.
PyObject* new_link_class(PyObject* module);

}  // namespace plim::python
