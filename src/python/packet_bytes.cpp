#include "python/packet_bytes.hpp"

#include <cstdint>

#include "python/errors.hpp"

namespace plim::python {
namespace {

ByteView bytes_view(PyObject* bytes) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(bytes)), static_cast<std::size_t>(PyBytes_Size(bytes))};
}

}  // namespace

bool PacketBytes::load(PyObject* value) {
    if (PyBytes_Check(value)) {
        view_ = bytes_view(value);
        return true;
    }
    if (PyByteArray_Check(value)) {
        view_ = {reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(value)),
                 static_cast<std::size_t>(PyByteArray_Size(value))};
        return true;
    }
    // The limited API has no direct buffer access before 3.11: a memoryview
    // proves the object exports a buffer, and bytes() of it is the one copy.
    PyRef memory = PyRef::steal(PyUnicode_Check(value) ? nullptr : PyMemoryView_FromObject(value));
    if (!memory) {
        if (PyErr_Occurred() == nullptr || PyErr_ExceptionMatches(PyExc_TypeError)) {
            clear_error();
            raise_not_bytes_like(value);
        }
        return false;
    }
    copy_ = PyRef::steal(PyBytes_FromObject(memory.get()));
    if (!copy_) return false;
    view_ = bytes_view(copy_.get());
    return true;
}

}  // namespace plim::python
