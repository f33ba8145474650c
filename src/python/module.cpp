// Placeholder entry point until the Link class lands.
#include <Python.h>

static PyModuleDef_Slot plim_ffi_slots[] = {{0, nullptr}};

static PyModuleDef plim_ffi_module = {
    PyModuleDef_HEAD_INIT, "plim_ffi", "", 0, nullptr, plim_ffi_slots, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_plim_ffi(void) { return PyModuleDef_Init(&plim_ffi_module); }
