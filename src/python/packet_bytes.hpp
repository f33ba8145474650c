#pragma once
// The bytes of a received packet given as a Python object.
#include <Python.h>

#include "link/bytes.hpp"
#include "python/py_ref.hpp"

namespace plim::python {

// bytes and bytearray are read in place; any other object that exports a
// buffer (memoryview, array.array, mmap, ...) through one copy. Iterables of
// ints, which bytes() would also take, are refused: a packet is a buffer.
class PacketBytes {
public:
    // Returns false with a TypeError (or the interpreter's own error) raised.
    bool load(PyObject* value);
    // Valid while the loaded object lives and no Python code has run since.
    ByteView view() const noexcept { return view_; }

private:
    PyRef copy_;
    ByteView view_;
};

}  // namespace plim::python
