// Stand-in conversion through the JSON text forms, until the direct
// conversion from the message declarations replaces it.
#include "python/object_convert.hpp"

#include <string>
#include <string_view>

#include "json/json_error.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

PyRef json_function(const char* name) {
    PyRef json = PyRef::steal(PyImport_ImportModule("json"));
    if (!json) return {};
    return PyRef::steal(PyObject_GetAttrString(json.get(), name));
}

// json.dumps turns int keys into text; the direct road refuses them.
// 1: every key is a str; 0: one is not; -1: a Python error is pending.
int keys_are_str(PyObject* value) {
    const bool dict = PyDict_Check(value);
    if (!dict && !PyList_Check(value) && !PyTuple_Check(value)) return 1;
    if (Py_EnterRecursiveCall(" while reading a message") != 0) return -1;
    int result = 1;
    if (dict) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (result == 1 && PyDict_Next(value, &position, &key, &item)) {
            result = PyUnicode_Check(key) ? keys_are_str(item) : 0;
        }
    } else {
        const Py_ssize_t size = PyObject_Size(value);
        for (Py_ssize_t i = 0; result == 1 && i < size; ++i) {
            PyRef item = PyRef::steal(PySequence_GetItem(value, i));
            result = item ? keys_are_str(item.get()) : -1;
        }
    }
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

bool host_message_from_object(PyObject* value, host::HostMessage& out) {
    const int plain_keys = keys_are_str(value);
    if (plain_keys < 0) return false;
    if (plain_keys == 0) {
        raise_message(PyExc_TypeError, "dict keys must be str");
        return false;
    }
    PyRef dumps = json_function("dumps");
    if (!dumps) return false;
    PyRef text = PyRef::steal(PyObject_CallFunctionObjArgs(dumps.get(), value, nullptr));
    if (!text) {
        PyObject* type = nullptr;
        PyObject* error = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &error, &traceback);
        const bool ordinary = type != nullptr && PyErr_GivenExceptionMatches(type, PyExc_Exception);
        PyErr_Restore(type, error, traceback);
        if (ordinary && !PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_MemoryError)) {
            clear_error();
            raise_message(PyExc_TypeError, "value cannot be written as JSON");
        }
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return false;
    JsonResult<host::HostMessage> message =
        host::parse_host_message(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!message) {
        raise_call_error(message.error());
        return false;
    }
    out = std::move(*message);
    return true;
}

PyObject* device_message_to_object(const device::DeviceMessage& message) {
    const std::string text = device::write_device_message_json(message);
    PyRef loads = json_function("loads");
    if (!loads) return nullptr;
    PyRef str = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!str) return nullptr;
    return PyObject_CallFunctionObjArgs(loads.get(), str.get(), nullptr);
}

}  // namespace plim::python
