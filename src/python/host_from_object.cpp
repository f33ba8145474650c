// A host message read from the Python value json.loads gives for its JSON
// text, walked from the declarations. It accepts exactly what the JSON reader
// accepts of json.dumps(value): a variant name or a one-member dict naming
// the variant, a record as a dict (members in any order, unknown members
// ignored but still required to be JSON) or as a list or tuple of the field
// values in order. Refusals say where and what: a ValueError for a value
// JSON can hold but the message cannot take, a TypeError for a value JSON
// cannot hold at all.
//
// Containers are read through the view json.dumps reads: an exact dict (or
// an empty one) directly, another dict subclass through its items(); an
// exact list or tuple directly, a subclass through its iterator. A member
// whose reading can run Python code (a subclass's items() or __iter__ deep
// inside it) is held by a reference of its own meanwhile, since that code
// may change the container under the walk.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "json/describe.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/object_convert.hpp"
#include "python/py_ref.hpp"

namespace plim::python {
namespace {

using host::HostMessage;

constexpr std::string_view MESSAGE = "message";
constexpr std::string_view UNKNOWN_TYPE_NAME = "<failed to extract type name>";

// Where a refusal happened: "SetUid.uid", "SetUid", "message".
struct Where {
    std::string_view record = MESSAGE;
    std::string_view field;
    std::string text() const {
        std::string out(record);
        if (!field.empty()) (out += '.') += field;
        return out;
    }
};

bool refuse(PyObject* type, const Where& where, std::string_view what) {
    raise_message(type, where.text() + ": " + std::string(what));
    return false;
}

// The kind of a value as JSON sees it, or nullptr for a value JSON cannot
// hold. Subclasses count as their base, as they do for json.dumps.
const char* json_kind(PyObject* value) {
    if (value == Py_None) return "None";
    if (PyBool_Check(value)) return "bool";
    if (PyLong_Check(value)) return "int";
    if (PyFloat_Check(value)) return "float";
    if (PyUnicode_Check(value)) return "str";
    if (PyDict_Check(value)) return "dict";
    if (PyList_Check(value)) return "list";
    if (PyTuple_Check(value)) return "tuple";
    return nullptr;
}

// What a value was refused for, kept apart from raising it: a refusal deep
// inside a nested value is raised only once the walk has unwound, since on
// newer interpreters an exception made at the depth limit fails that limit
// itself. An empty type means a Python error is already pending (an
// interrupt), to be passed on as it is.
struct Refusal {
    PyObject* type = nullptr;
    std::string what;
};

Refusal key_refusal(PyObject* key) {
    const char* kind = json_kind(key);
    return {PyExc_TypeError, std::string("dict keys must be str, got ") + (kind != nullptr ? kind : "another type")};
}

// "expected a str, got int" as a ValueError; for a value JSON cannot hold,
// "expected a str, got bytes, which JSON cannot hold" as a TypeError. Reading
// the name of such a type runs Python code: an ordinary failure there stands
// as a placeholder, an interrupt propagates.
Refusal kind_refusal(std::string_view expected, PyObject* value) {
    std::string text = "expected " + std::string(expected) + ", got ";
    if (const char* kind = json_kind(value)) return {PyExc_ValueError, text + kind};
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    Py_ssize_t size = 0;
    const char* utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 != nullptr) {
        text.append(utf8, static_cast<std::size_t>(size));
    } else {
        if (PyErr_Occurred() != nullptr && (!PyErr_ExceptionMatches(PyExc_Exception) || memory_error_pending())) {
            return {};
        }
        clear_error();
        text += UNKNOWN_TYPE_NAME;
    }
    return {PyExc_TypeError, text + ", which JSON cannot hold"};
}

bool raise_refusal(const Where& where, const Refusal& refusal) {
    return refusal.type == nullptr ? false : refuse(refusal.type, where, refusal.what);
}

bool refuse_key(const Where& where, PyObject* key) { return raise_refusal(where, key_refusal(key)); }

bool refuse_kind(const Where& where, std::string_view expected, PyObject* value) {
    return raise_refusal(where, kind_refusal(expected, value));
}

// A dict's members as json.dumps reads them. `open` fails with the error of
// items() pending, or refuses items that are not pairs as json.dumps does.
class DictMembers {
public:
    // Empty when the members can be walked; a refusal otherwise (one with no
    // type when the error of items() is pending).
    std::optional<Refusal> open(PyObject* dict) {
        dict_ = dict;
        if (PyDict_CheckExact(dict)) return {};
        return open_subclass(dict);
    }
    Py_ssize_t size() const noexcept { return items_ ? size_ : PyDict_Size(dict_); }
    // The next member (borrowed: valid until Python code runs); false at the end.
    bool next(PyObject*& key, PyObject*& value) {
        if (!items_) return PyDict_Next(dict_, &position_, &key, &value) != 0;
        // The list is ours, so its length cannot change.
        if (position_ >= size_) return false;
        PyObject* item = PyList_GetItem(items_.get(), position_++);
        key = PyTuple_GetItem(item, 0);
        value = PyTuple_GetItem(item, 1);
        return true;
    }

private:
    // Kept out of the walk of ordinary dicts, which it would only slow.
    [[gnu::noinline]] std::optional<Refusal> open_subclass(PyObject* dict) {
        if (PyDict_Size(dict) == 0) return {};
        items_ = PyRef::steal(PyMapping_Items(dict));
        if (!items_) return Refusal{};
        size_ = PyList_Size(items_.get());
        for (Py_ssize_t i = 0; i < size_; ++i) {
            PyObject* item = PyList_GetItem(items_.get(), i);
            if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
                return Refusal{PyExc_ValueError, "items() must give (key, value) pairs"};
            }
        }
        return {};
    }

    PyObject* dict_ = nullptr;
    PyRef items_;
    Py_ssize_t size_ = 0;
    Py_ssize_t position_ = 0;
};

// A list's or tuple's items as json.dumps reads them: an exact one directly,
// a subclass as the list its iterator gives, which `copy` then owns. nullptr
// with the error pending.
PyObject* sequence_items(PyObject* sequence, PyRef& copy) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) return sequence;
    copy = PyRef::steal(PySequence_List(sequence));
    return copy.get();
}

// Item `i` of what sequence_items gave, as a reference of the caller's own;
// empty past the end (an exact list can shrink while it is walked).
PyRef sequence_item(PyObject* items, Py_ssize_t i) {
    const bool list = PyList_Check(items);
    if (i >= (list ? PyList_Size(items) : PyTuple_Size(items))) return {};
    return PyRef::borrow(list ? PyList_GetItem(items, i) : PyTuple_GetItem(items, i));
}

// The UTF-8 bytes of a str. A lone surrogate has no UTF-8 form, and the JSON
// reader refuses it too.
bool utf8_of(PyObject* text, std::string_view& out, const Where& where) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 != nullptr) {
        out = std::string_view(utf8, static_cast<std::size_t>(size));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    clear_error();
    return refuse(PyExc_ValueError, where, "a str with a lone surrogate cannot be sent");
}

bool read_text(PyObject* value, std::string& out, const Where& where) {
    if (!PyUnicode_Check(value)) return refuse_kind(where, "a str", value);
    std::string_view utf8;
    if (!utf8_of(value, utf8, where)) return false;
    out.assign(utf8);
    return true;
}

// Numbers become 32-bit floats as the JSON reader makes them of the text
// json.dumps writes: an integer within 64 bits directly, any other number
// through the nearest 64-bit float.
bool read_f32(PyObject* value, float& out, const Where& where) {
    if (PyFloat_Check(value)) {
        const double number = PyFloat_AsDouble(value);
        if (!std::isfinite(number)) {
            return refuse(PyExc_ValueError, where, std::isnan(number) ? "expected a number, got nan" : "expected a number, got inf");
        }
        out = static_cast<float>(number);
        return true;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) return refuse_kind(where, "a number", value);
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred() != nullptr) return false;
        out = small < 0 ? static_cast<float>(small) : static_cast<float>(static_cast<unsigned long long>(small));
        return true;
    }
    if (overflow > 0) {
        const unsigned long long large = PyLong_AsUnsignedLongLong(value);
        if (PyErr_Occurred() == nullptr) {
            out = static_cast<float>(large);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        clear_error();
    }
    const double number = PyLong_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        clear_error();
        return refuse(PyExc_ValueError, where, "number out of range");
    }
    out = static_cast<float>(number);
    return true;
}

template <class T>
bool read_value(PyObject* value, T& out, const Where& where) {
    if constexpr (std::is_same_v<T, std::string>) {
        return read_text(value, out, where);
    } else {
        static_assert(std::is_same_v<T, float>, "host records hold texts and floats");
        return read_f32(value, out, where);
    }
}

// A value nested in a member the record does not have: empty when the JSON
// text can carry it. Only the depth limit of the interpreter bounds the
// nesting, as it bounds json.dumps.
std::optional<Refusal> find_refusal(PyObject* value) {
    if (value == Py_None || PyLong_Check(value) || PyUnicode_Check(value)) return {};  // bool is an int
    if (PyFloat_Check(value)) {
        if (std::isfinite(PyFloat_AsDouble(value))) return {};
        return Refusal{PyExc_ValueError, "NaN and infinities cannot be sent"};
    }
    const bool dict = PyDict_Check(value);
    if (!dict && !PyList_Check(value) && !PyTuple_Check(value)) return kind_refusal("a JSON value", value);
    if (Py_EnterRecursiveCall(" while checking a message") != 0) {
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) return Refusal{};
        clear_error();
        return Refusal{PyExc_ValueError, "nested too deeply"};
    }
    std::optional<Refusal> refusal;
    if (dict) {
        DictMembers members;
        refusal = members.open(value);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (!refusal && members.next(key, item)) {
            PyRef held = PyRef::borrow(item);
            refusal = PyUnicode_Check(key) ? find_refusal(item) : key_refusal(key);
        }
    } else {
        // The caller holds `value`, and each item is held while it is checked.
        PyRef copy;
        PyObject* items = sequence_items(value, copy);
        if (items == nullptr) refusal = Refusal{};
        for (Py_ssize_t i = 0; items != nullptr && !refusal; ++i) {
            PyRef item = sequence_item(items, i);
            if (!item) break;
            refusal = find_refusal(item.get());
        }
    }
    Py_LeaveRecursiveCall();
    return refusal;
}

// A member the record does not have: skipped, but it must still be a value
// the JSON text can carry.
bool check_json_value(PyObject* value, const Where& where) {
    const std::optional<Refusal> refusal = find_refusal(value);
    return !refusal || raise_refusal(where, *refusal);
}

// The index of `key` among the names, or -1. Keys written in the program are
// interned like the names, so most are found by identity; a str subclass
// equal to no other key still names the field its text spells.
template <std::size_t N>
int find_key(PyObject* key, PyObject* const* objects, const std::array<JsonName, N>& names,
             const Where& where, bool& failed) {
    for (std::size_t i = 0; i < N; ++i) {
        if (objects[i] == key) return static_cast<int>(i);
    }
    std::string_view text;
    if (!utf8_of(key, text, where)) {
        failed = true;
        return -1;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i].view() == text) return static_cast<int>(i);
    }
    return -1;
}

template <Struct R>
bool read_field(PyObject* value, R& record, std::size_t index, const Where& where) {
    bool ok = false;
    for_each_field<R>([&](auto i) {
        if (i == index) ok = read_value(value, record.*field_at<R, i>.member, where);
    });
    return ok;
}

bool refuse_duplicate(const Where& where, std::string_view field) {
    return refuse(PyExc_ValueError, where, "duplicate field `" + std::string(field) + "`");
}

template <Struct R>
bool read_record_dict(const ModuleState& state, PyObject* dict, R& record) {
    static constexpr auto names = declared_names<R>();
    const Where where{Declare<R>::name, {}};
    PyObject* const* keys = names_of<R>(state);
    DictMembers members;
    if (std::optional<Refusal> refusal = members.open(dict)) return raise_refusal(where, *refusal);
    std::array<bool, names.size()> seen{};
    PyRef held_dict;  // taken before Python code first runs, for the rest of the walk
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (members.next(key, value)) {
        if (!PyUnicode_Check(key)) return refuse_key(where, key);
        bool failed = false;
        const int index = find_key(key, keys, names, where, failed);
        if (failed) return false;
        if (index < 0) {
            // Checking the member may run Python code, which may drop what the
            // walk still reads: the dict, the member and its name.
            if (!held_dict) held_dict = PyRef::borrow(dict);
            PyRef held_key = PyRef::borrow(key);
            PyRef held_value = PyRef::borrow(value);
            std::string_view member;
            if (!utf8_of(key, member, where)) return false;
            if (!check_json_value(value, Where{where.record, member})) return false;
            continue;
        }
        const auto i = static_cast<std::size_t>(index);
        // Two keys spelling one field are two members of the JSON text.
        if (seen[i]) return refuse_duplicate(where, names[i].view());
        if (!read_field(value, record, i, Where{where.record, names[i].view()})) return false;
        seen[i] = true;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!seen[i]) return refuse(PyExc_ValueError, where, "missing field `" + std::string(names[i].view()) + "`");
    }
    return true;
}

template <Struct R>
bool read_record_sequence(PyObject* sequence, R& record) {
    const Where where{Declare<R>::name, {}};
    PyRef copy;
    PyObject* items = sequence_items(sequence, copy);
    if (items == nullptr) return false;
    const bool list = PyList_Check(items);
    const Py_ssize_t size = list ? PyList_Size(items) : PyTuple_Size(items);
    if (size != static_cast<Py_ssize_t>(field_count<R>)) {
        return refuse(PyExc_ValueError, where,
                      "expected " + std::to_string(field_count<R>) + (field_count<R> == 1 ? " element" : " elements") +
                          ", got " + std::to_string(size));
    }
    // Reading a field runs no Python code before it is done with the item
    // (a refusal's type name is read last), so the items are borrowed; the
    // length is still checked at each.
    return all_fields<R>([&](auto i) {
        PyObject* item = list ? PyList_GetItem(items, i) : PyTuple_GetItem(items, i);
        return item != nullptr &&
               read_value(item, record.*field_at<R, i>.member, Where{where.record, field_at<R, i>.name.view()});
    });
}

template <Struct R>
bool read_record(const ModuleState& state, PyObject* value, HostMessage& out) {
    R record;
    bool ok;
    if (PyDict_Check(value)) {
        ok = read_record_dict(state, value, record);
    } else if (PyList_Check(value) || PyTuple_Check(value)) {
        ok = read_record_sequence(value, record);
    } else {
        return refuse_kind(Where{Declare<R>::name, {}}, "a dict or a list", value);
    }
    if (ok) out.emplace<R>(std::move(record));
    return ok;
}

// The variant a name (a str, or the key of the tagging dict) stands for.
bool find_variant(const ModuleState& state, PyObject* name, std::size_t& index) {
    static constexpr auto names = declared_names<HostMessage>();
    bool failed = false;
    const int found = find_key(name, names_of<HostMessage>(state), names, Where{}, failed);
    if (failed) return false;
    if (found < 0) {
        std::string_view text;
        utf8_of(name, text, Where{});  // it was readable a moment ago
        static constexpr auto views = name_views(names);
        return refuse(PyExc_ValueError, Where{},
                      "unknown variant `" + std::string(text) + "`, expected " + json::expected_one_of(views));
    }
    index = static_cast<std::size_t>(found);
    return true;
}

bool read_variant(const ModuleState& state, std::size_t index, PyObject* payload, HostMessage& out) {
    bool ok = false;
    with_alternative<HostMessage>(index, [&](auto i) {
        using Alternative = std::variant_alternative_t<i, HostMessage>;
        const Where where{declared_names<HostMessage>()[i].view(), {}};
        if constexpr (Unit<Alternative>) {
            ok = payload == Py_None ? (out.emplace<i>(), true) : refuse_kind(where, "None", payload);
        } else {
            ok = read_record<Alternative>(state, payload, out);
        }
    });
    return ok;
}

bool read_message(const ModuleState& state, PyObject* value, HostMessage& out) {
    std::size_t index = 0;
    if (PyUnicode_Check(value)) {
        if (!find_variant(state, value, index)) return false;
        bool unit = false;
        with_alternative<HostMessage>(index, [&](auto i) {
            if constexpr (Unit<std::variant_alternative_t<i, HostMessage>>) {
                out.emplace<i>();
                unit = true;
            }
        });
        if (unit) return true;
        return refuse(PyExc_ValueError, Where{declared_names<HostMessage>()[index].view(), {}},
                      "a variant with a record needs a one-member dict, got its bare name");
    }
    if (!PyDict_Check(value)) return refuse_kind(Where{}, "a variant name or a one-member dict", value);
    DictMembers members;
    if (std::optional<Refusal> refusal = members.open(value)) return raise_refusal(Where{}, *refusal);
    const Py_ssize_t size = members.size();
    if (size != 1) return refuse(PyExc_ValueError, Where{}, "expected a dict with one member, got " + std::to_string(size));
    PyObject* name = nullptr;
    PyObject* payload = nullptr;
    members.next(name, payload);
    if (!PyUnicode_Check(name)) return refuse_key(Where{}, name);
    if (!find_variant(state, name, index)) return false;
    return read_variant(state, index, payload, out);
}

}  // namespace

bool host_message_from_object(const ModuleState& state, PyObject* value, HostMessage& out) {
    return read_message(state, value, out);
}

}  // namespace plim::python
