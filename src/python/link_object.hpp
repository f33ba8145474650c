#pragma once
// The memory layout of a Link instance.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "messages/plim_codec.hpp"

namespace plim::python {

struct LinkObject {
    PyObject_HEAD
    PlimEngine engine;
    // 0 while no call runs on the object, all bits set while one does.
    std::atomic<std::uintptr_t> claim_flag;
};

inline constexpr std::uintptr_t CLAIM_FREE = 0;
inline constexpr std::uintptr_t CLAIM_HELD = ~std::uintptr_t{0};

}  // namespace plim::python
