#pragma once
// The names a declaration gives (a record's field names, a family's or an
// enum's variant names) as interned str objects, for the Python-object
// conversion. Like the classes, they are built once, on first use, and kept
// for the life of the process; nothing in them changes afterwards.
#include <Python.h>

#include <array>
#include <cstddef>

#include "messages/declare.hpp"
#include "python/once_cell.hpp"

namespace plim::python {

template <class T>
class DeclaredNames {
public:
    static constexpr auto names = declared_names<T>();

    // Borrowed references in declaration order, or nullptr with the Python
    // error raised.
    static PyObject* const* get() {
        if (cell_.get(build) == nullptr) return nullptr;
        return objects_.data();
    }

private:
    // The tuple owns the names; the array holds them for reading without a
    // call. It is filled before the cell publishes the tuple.
    static PyObject* build() {
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
        if (tuple == nullptr) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* name =
                PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
            if (name == nullptr) {
                Py_DecRef(tuple);
                return nullptr;
            }
            PyUnicode_InternInPlace(&name);
            objects_[i] = name;
            PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), name);
        }
        return tuple;
    }

    static inline OnceCell cell_;
    static inline std::array<PyObject*, names.size()> objects_{};
};

}  // namespace plim::python
