#pragma once
// Binding a call's positional tuple and keyword dictionary to parameters, and
// turning the bound argument into text the call owns.
#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

namespace plim::python {

struct ParameterSpec {
    std::string_view class_name;
    std::string_view name;
    std::span<const std::string_view> positional;
    std::size_t required = 0;
};

// The most positional parameters any callable of this module has.
inline constexpr std::size_t MAX_PARAMETERS = 1;

// Fills `slots` (borrowed references, nullptr where nothing was given) or
// returns false with the binding TypeError raised. `kwargs` may be nullptr.
bool bind_arguments(const ParameterSpec& params, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*, MAX_PARAMETERS> slots);

// The same for the fast calling convention (METH_FASTCALL | METH_KEYWORDS):
// `nargs` positional values in `args`, then one value per name in `kwnames`
// (nullptr when there are none). The interpreter builds no tuple or
// dictionary for such a call; the texts and their order are the same.
bool bind_arguments(const ParameterSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*, MAX_PARAMETERS> slots);

// The UTF-8 bytes of a str argument, copied into storage the call owns:
// inline for the short texts of everyday messages, on the heap otherwise.
class ArgumentText {
public:
    // Returns false with the raw conversion error raised (a type mismatch
    // TypeError, or the interpreter's own error); see argument_error.
    bool load(PyObject* value);
    std::string_view view() const noexcept { return {data_, size_}; }

private:
    static constexpr std::size_t INLINE_CAPACITY = 256;
    std::array<char, INLINE_CAPACITY> inline_;  // left uninitialised: only the copied bytes are read
    std::unique_ptr<char[]> heap_;
    const char* data_ = inline_.data();
    std::size_t size_ = 0;
};

// Rewrites the pending conversion error of argument `name`: a TypeError
// (exactly that class) becomes "argument '{name}': {text}" keeping the
// original's cause; anything else stays as it is.
void argument_error(std::string_view name);

}  // namespace plim::python
