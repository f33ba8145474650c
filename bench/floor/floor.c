/* The least any extension method can cost: the floor the Link methods are
 * measured against. `send` binds one str from a positional tuple or keyword
 * dictionary and copies its UTF-8 bytes; `poll` returns a 9-byte str. */
#define Py_LIMITED_API 0x030A0000
#include <Python.h>
#include <string.h>

static PyObject* floor_send(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    PyObject* message = NULL;
    if (PyTuple_Size(args) == 1 && (kwargs == NULL || PyDict_Size(kwargs) == 0)) {
        message = PyTuple_GetItem(args, 0);
    } else {
        PyErr_SetString(PyExc_TypeError, "send() takes one argument");
        return NULL;
    }
    if (!PyUnicode_Check(message)) {
        PyErr_SetString(PyExc_TypeError, "argument 'message' must be str");
        return NULL;
    }
    PyObject* utf8 = PyUnicode_AsUTF8String(message);
    if (utf8 == NULL) return NULL;
    char buffer[256];
    Py_ssize_t size = PyBytes_Size(utf8);
    char* copy = size <= (Py_ssize_t)sizeof buffer ? buffer : malloc((size_t)size);
    if (copy == NULL) {
        Py_DecRef(utf8);
        return PyErr_NoMemory();
    }
    memcpy(copy, PyBytes_AsString(utf8), (size_t)size);
    Py_DecRef(utf8);
    /* Keep the copy observable so the compiler cannot drop it. */
    volatile char sink = copy[size > 0 ? size - 1 : 0];
    (void)sink;
    if (copy != buffer) free(copy);
    Py_IncRef(Py_None);
    return Py_None;
}

static PyObject* floor_poll(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    return PyUnicode_FromStringAndSize("[1,2,3,4]", 9);
}

static PyMethodDef floor_methods[] = {
    {"send", (PyCFunction)(void (*)(void))floor_send, METH_VARARGS | METH_KEYWORDS, NULL},
    {"poll", floor_poll, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "plim_floor", NULL, 0, floor_methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_plim_floor(void) { return PyModule_Create(&floor_module); }
