// A device message as the Python values json.loads gives for its JSON text,
// walked from the declarations: records become dicts with every member in
// declaration order, sequences lists, unit variants and enum values their
// name, other variants one-member dicts, absent options None.
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "json/float_format.hpp"
#include "python/module_state.hpp"
#include "python/object_convert.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

// A name from a declaration, as a new reference.
template <class T>
PyObject* declared_name(const ModuleState& state, std::size_t index) {
    PyObject* name = names_of<T>(state)[index];
    Py_INCREF(name);
    return name;
}

template <class T>
PyObject* to_object(const ModuleState& state, const T& value);

// A one-member dict {name: value}, taking over `value`.
PyObject* tagged(PyObject* name, PyObject* value) {
    if (value == nullptr) return nullptr;
    PyObject* dict = PyDict_New();
    if (dict == nullptr || PyDict_SetItem(dict, name, value) < 0) {
        Py_XDECREF(dict);
        dict = nullptr;
    }
    Py_DECREF(value);
    return dict;
}

template <Struct R>
PyObject* record_to_object(const ModuleState& state, const R& record) {
    PyObject* const* keys = names_of<R>(state);
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    const bool complete = all_fields<R>([&](auto i) {
        PyObject* member = to_object(state, record.*field_at<R, i>.member);
        if (member == nullptr) return false;
        const int stored = PyDict_SetItem(dict, keys[i], member);
        Py_DECREF(member);
        return stored == 0;
    });
    if (complete) return dict;
    Py_DECREF(dict);
    return nullptr;
}

template <class T>
PyObject* sequence_to_object(const ModuleState& state, const std::vector<T>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_object(state, items[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

template <Family F>
PyObject* family_to_object(const ModuleState& state, const F& value) {
    PyObject* result = nullptr;
    with_alternative<F>(value.index(), [&](auto i) {
        PyObject* name = declared_name<F>(state, i);
        if constexpr (Unit<std::variant_alternative_t<i, F>>) {
            result = name;
        } else {
            result = tagged(name, to_object(state, *std::get_if<i>(&value)));
            Py_DECREF(name);
        }
    });
    return result;
}

template <class T>
PyObject* to_object(const ModuleState& state, const T& value) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        return PyLong_FromLong(value);
    } else if constexpr (std::is_same_v<T, float>) {
        // The JSON text writes NaN and the infinities as null.
        if (!std::isfinite(value)) return none();
        return PyFloat_FromDouble(f32_shortest_value(value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        // Texts were checked to be UTF-8 when their body was read.
        return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    } else if constexpr (is_optional<T>) {
        return value ? to_object(state, *value) : none();
    } else if constexpr (is_vector<T>) {
        return sequence_to_object(state, value);
    } else if constexpr (is_box<T>) {
        // Decoding always fills the box; a hand-built empty one stands for
        // the record's defaults, as in the JSON text.
        return value ? to_object(state, *value) : to_object(state, typename T::element_type{});
    } else if constexpr (Enumeration<T>) {
        const auto index = static_cast<std::size_t>(value);
        return declared_name<T>(state, index < Declare<T>::variants.size() ? index : 0);
    } else if constexpr (Family<T>) {
        return family_to_object(state, value);
    } else if constexpr (Newtype<T>) {
        return to_object(state, value.*field_at<T, 0>.member);
    } else {
        static_assert(Struct<T>, "a message value must be declared");
        return record_to_object(state, value);
    }
}

}  // namespace

PyObject* device_message_to_object(const ModuleState& state, const device::DeviceMessage& message) {
    return to_object(state, message);
}

}  // namespace plim::python
