#pragma once
// The Link class: one engine per object, claimed exclusively by each call.
#include <Python.h>

namespace plim::python {

// The process-wide Link class (a borrowed reference), built on first use.
// nullptr with the Python error set when building fails.
PyObject* link_type();

}  // namespace plim::python
