/* The least any extension method can cost: the floor the Link methods are
 * measured against. `send` binds one str from a positional tuple or keyword
 * dictionary and copies its UTF-8 bytes; `poll` returns a 9-byte str.
 *
 * For ObjectLink: `take` binds one bytes object and copies its bytes, `take_object`
 * binds any object and does nothing with it, `packet` returns a 17-byte bytes,
 * and `build_scan` / `build_drive_base` build the message dicts and lists from
 * values decoded beforehand (`set_scan`, `set_drive_base`), with their keys made
 * once: the least a conversion to Python objects can cost. */
#define Py_LIMITED_API 0x030A0000
#include <Python.h>
#include <stdlib.h>
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

/* The one argument of a call, or NULL with TypeError set. */
static PyObject* one_argument(PyObject* args, PyObject* kwargs) {
    if (PyTuple_Size(args) == 1 && (kwargs == NULL || PyDict_Size(kwargs) == 0)) return PyTuple_GetItem(args, 0);
    PyErr_SetString(PyExc_TypeError, "takes one argument");
    return NULL;
}

static PyObject* floor_take(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    PyObject* packet = one_argument(args, kwargs);
    if (packet == NULL) return NULL;
    if (!PyBytes_Check(packet)) {
        PyErr_SetString(PyExc_TypeError, "argument 'packet' must be bytes");
        return NULL;
    }
    char buffer[2048];
    Py_ssize_t size = PyBytes_Size(packet);
    char* copy = size <= (Py_ssize_t)sizeof buffer ? buffer : malloc((size_t)size);
    if (copy == NULL) return PyErr_NoMemory();
    memcpy(copy, PyBytes_AsString(packet), (size_t)size);
    volatile char sink = copy[size > 0 ? size - 1 : 0];
    (void)sink;
    if (copy != buffer) free(copy);
    Py_IncRef(Py_None);
    return Py_None;
}

static PyObject* floor_take_object(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    if (one_argument(args, kwargs) == NULL) return NULL;
    Py_IncRef(Py_None);
    return Py_None;
}

static PyObject* floor_packet(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    static const char packet[17] = {1, 1, 2, 2, 1, 1, 2, 5, 1, 3, (char)192, 63, 1, 3, (char)192, (char)191, 0};
    return PyBytes_FromStringAndSize(packet, sizeof packet);
}

enum { MAX_POINTS = 1024 };
static struct { long quality; double angle, distance; } scan_points[MAX_POINTS];
static Py_ssize_t scan_count;
static double wheels[6];
static PyObject* keys[10]; /* Scan quality angle_rad distance_mm DriveBaseState left right effort velocity position */

static PyObject* floor_set_scan(PyObject* self, PyObject* points) {
    (void)self;
    Py_ssize_t n = PyList_Size(points);
    if (n < 0 || n > MAX_POINTS) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* point = PyList_GetItem(points, i);
        scan_points[i].quality = PyLong_AsLong(PyTuple_GetItem(point, 0));
        scan_points[i].angle = PyFloat_AsDouble(PyTuple_GetItem(point, 1));
        scan_points[i].distance = PyFloat_AsDouble(PyTuple_GetItem(point, 2));
    }
    scan_count = n;
    Py_IncRef(Py_None);
    return Py_None;
}

static PyObject* floor_set_drive_base(PyObject* self, PyObject* values) {
    (void)self;
    for (Py_ssize_t i = 0; i < 6; ++i) wheels[i] = PyFloat_AsDouble(PyTuple_GetItem(values, i));
    Py_IncRef(Py_None);
    return Py_None;
}

/* Steals `value`; returns 0, or -1 with the error set. */
static int set_item(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == NULL) return -1;
    int status = PyDict_SetItem(dict, key, value);
    Py_DecRef(value);
    return status;
}

/* {name: value}, stealing `value`. */
static PyObject* tagged(PyObject* name, PyObject* value) {
    PyObject* outer = PyDict_New();
    if (outer == NULL || set_item(outer, name, value) < 0) {
        Py_DecRef(outer);
        return NULL;
    }
    return outer;
}

static PyObject* floor_build_scan(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    PyObject* list = PyList_New(scan_count);
    if (list == NULL) return NULL;
    for (Py_ssize_t i = 0; i < scan_count; ++i) {
        PyObject* point = PyDict_New();
        if (point == NULL || set_item(point, keys[1], PyLong_FromLong(scan_points[i].quality)) < 0 ||
            set_item(point, keys[2], PyFloat_FromDouble(scan_points[i].angle)) < 0 ||
            set_item(point, keys[3], PyFloat_FromDouble(scan_points[i].distance)) < 0) {
            Py_DecRef(point);
            Py_DecRef(list);
            return NULL;
        }
        PyList_SetItem(list, i, point);
    }
    return tagged(keys[0], list);
}

static PyObject* wheel(const double* values) {
    PyObject* record = PyDict_New();
    if (record == NULL || set_item(record, keys[7], PyFloat_FromDouble(values[0])) < 0 ||
        set_item(record, keys[8], PyFloat_FromDouble(values[1])) < 0 ||
        set_item(record, keys[9], PyFloat_FromDouble(values[2])) < 0) {
        Py_DecRef(record);
        return NULL;
    }
    return record;
}

static PyObject* floor_build_drive_base(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    PyObject* state = PyDict_New();
    if (state == NULL || set_item(state, keys[5], wheel(wheels)) < 0 || set_item(state, keys[6], wheel(wheels + 3)) < 0) {
        Py_DecRef(state);
        return NULL;
    }
    return tagged(keys[4], state);
}

static PyMethodDef floor_methods[] = {
    {"send", (PyCFunction)(void (*)(void))floor_send, METH_VARARGS | METH_KEYWORDS, NULL},
    {"poll", floor_poll, METH_NOARGS, NULL},
    {"take", (PyCFunction)(void (*)(void))floor_take, METH_VARARGS | METH_KEYWORDS, NULL},
    {"take_object", (PyCFunction)(void (*)(void))floor_take_object, METH_VARARGS | METH_KEYWORDS, NULL},
    {"packet", floor_packet, METH_NOARGS, NULL},
    {"set_scan", floor_set_scan, METH_O, NULL},
    {"set_drive_base", floor_set_drive_base, METH_O, NULL},
    {"build_scan", floor_build_scan, METH_NOARGS, NULL},
    {"build_drive_base", floor_build_drive_base, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "plim_floor", NULL, 0, floor_methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_plim_floor(void) {
    static const char* names[10] = {"Scan", "quality", "angle_rad", "distance_mm", "DriveBaseState",
                                    "left", "right", "effort_percent", "velocity_rad_per_s", "position_rad"};
    for (int i = 0; i < 10; ++i) {
        if (keys[i] == NULL) keys[i] = PyUnicode_InternFromString(names[i]);
        if (keys[i] == NULL) return NULL;
    }
    return PyModule_Create(&floor_module);
}
