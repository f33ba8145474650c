#include "python/binding.hpp"

#include <cstring>
#include <string>

#include "python/errors.hpp"
#include "python/fault_boundary.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

std::string display_name(const ParameterSpec& params) {
    std::string text(params.class_name);
    text += '.';
    text += params.name;
    text += "()";
    return text;
}

// A keyword's text. A key the interpreter cannot encode (a lone surrogate)
// is shown as its repr without the quotes, so the TypeError still names it.
// The repr is str's own, even for a str subclass: a subclass's __repr__ could
// raise or return text that cannot be encoded either. False with the
// interpreter's error pending when even that fails.
bool keyword_text(PyObject* key, std::string& text) {
    if (PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(key))) {
        text.append(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
        return true;
    }
    if (memory_error_pending()) return false;
    clear_error();
    // Calls from Python only ever pass str keys; the C API allows others.
    auto str_repr = PyUnicode_Check(key) ? reinterpret_cast<reprfunc>(PyType_GetSlot(&PyUnicode_Type, Py_tp_repr))
                                         : PyObject_Repr;
    PyRef repr = PyRef::steal(str_repr(key));
    if (!repr) return false;
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(repr.get()));
    if (!utf8) return false;
    std::string_view quoted(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
    if (quoted.size() >= 2) quoted = quoted.substr(1, quoted.size() - 2);
    text += quoted;
    return true;
}

constexpr Py_ssize_t NO_PARAMETER = -1;
constexpr Py_ssize_t OUT_OF_MEMORY = -2;

// Index of the positional parameter named `key`, NO_PARAMETER, or
// OUT_OF_MEMORY with the MemoryError pending.
Py_ssize_t parameter_index(const ParameterSpec& params, PyObject* key) {
    if (!PyUnicode_Check(key)) return NO_PARAMETER;
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(key));
    if (!utf8) {
        if (memory_error_pending()) return OUT_OF_MEMORY;
        clear_error();
        return NO_PARAMETER;  // parameter names are plain ASCII
    }
    std::string_view text(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
    for (std::size_t i = 0; i < params.positional.size(); ++i) {
        if (params.positional[i] == text) return static_cast<Py_ssize_t>(i);
    }
    return NO_PARAMETER;
}

bool too_many_positional(const ParameterSpec& params, Py_ssize_t given) {
    std::string text = display_name(params);
    text += " takes " + std::to_string(params.positional.size()) + " positional arguments but " +
            std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise_message(PyExc_TypeError, text);
    return false;
}

bool keyword_error(const ParameterSpec& params, const char* what, PyObject* key) {
    std::string text = display_name(params);
    text += what;
    if (!keyword_text(key, text)) return false;
    text += '\'';
    raise_message(PyExc_TypeError, text);
    return false;
}

bool missing_required(const ParameterSpec& params, std::span<PyObject*, MAX_PARAMETERS> slots) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (missing > 0) names += ", ";
        names += '\'';
        names += params.positional[i];
        names += '\'';
        ++missing;
    }
    if (missing == 0) return true;
    std::string text = display_name(params);
    text += " missing " + std::to_string(missing) + " required positional " +
            (missing == 1 ? "argument: " : "arguments: ") + names;
    raise_message(PyExc_TypeError, text);
    return false;
}

// Puts a keyword's value in its slot; false with the binding error raised.
bool bind_keyword(const ParameterSpec& params, PyObject* key, PyObject* value,
                  std::span<PyObject*, MAX_PARAMETERS> slots) {
    const Py_ssize_t index = parameter_index(params, key);
    if (index == OUT_OF_MEMORY) return false;
    if (index < 0) return keyword_error(params, " got an unexpected keyword argument '", key);
    PyObject*& slot = slots[static_cast<std::size_t>(index)];
    if (slot != nullptr) return keyword_error(params, " got multiple values for argument '", key);
    slot = value;
    return true;
}

}  // namespace

bool bind_arguments(const ParameterSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*, MAX_PARAMETERS> slots) {
    for (PyObject*& slot : slots) slot = nullptr;
    if (static_cast<std::size_t>(nargs) > params.positional.size()) return too_many_positional(params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!bind_keyword(params, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) return false;
        }
    }
    return missing_required(params, slots);
}

bool bind_arguments(const ParameterSpec& params, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*, MAX_PARAMETERS> slots) {
    for (PyObject*& slot : slots) slot = nullptr;

    const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > params.positional.size()) return too_many_positional(params, given);
    for (Py_ssize_t i = 0; i < given; ++i) slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(params, key, value, slots)) return false;
        }
    }
    return missing_required(params, slots);
}

bool ArgumentText::load(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        raise_type_mismatch(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        return false;
    }
    // The interpreter keeps a str's UTF-8 form with the str (an ASCII str is
    // its own UTF-8), so the text is copied exactly once, into the call's buffer.
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(value, &size);
    if (bytes == nullptr) return false;
    size_ = static_cast<std::size_t>(size);
    if (size_ <= INLINE_CAPACITY) {
        data_ = inline_.data();
    } else {
        heap_.reset(new char[size_]);
        data_ = heap_.get();
    }
    std::memcpy(const_cast<char*>(data_), bytes, size_);
    return true;
}

void argument_error(std::string_view name) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        ensure_error_set();
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        // Making the TypeError's instance ran out of memory: that is the error now.
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyRef caught = PyRef::steal(value);
    Py_DecRef(type);
    Py_DecRef(traceback);

    PyRef caught_text = PyRef::steal(require(PyObject_Str(caught.get())));
    PyRef caught_utf8 = PyRef::steal(require(PyUnicode_AsUTF8String(caught_text.get())));
    std::string text = "argument '";
    text += name;
    text += "': ";
    text.append(PyBytes_AsString(caught_utf8.get()), static_cast<std::size_t>(PyBytes_Size(caught_utf8.get())));

    raise_message(PyExc_TypeError, text);
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    // The set-cause call also marks __suppress_context__, hiding the caught
    // TypeError itself from the traceback.
    PyException_SetCause(value, PyException_GetCause(caught.get()));
    PyErr_Restore(type, value, traceback);
}

}  // namespace plim::python
