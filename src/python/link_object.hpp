#pragma once
// The memory layout of a Link or ObjectLink instance, their creation and
// destruction, and the claim each call takes on its object.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "messages/plim_codec.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/py_ref.hpp"

namespace plim::python {

struct LinkObject {
    PyObject_HEAD
    PlimEngine engine;
    // 0 while no call runs on the object, all bits set while one does.
    std::atomic<std::uintptr_t> claim_flag;
    // The state of the module whose class made the object, which lives as
    // long as the class does (the class holds its module, the object its
    // class). Kept here so a call finds it without asking the interpreter.
    const ModuleState* state;
};

// The module state of a method's receiver. The interpreter passes a method
// only instances of the class that defines it (or of a subclass, and these
// classes have none), so the receiver is laid out as LinkObject.
inline const ModuleState* receiver_state(PyObject* self) noexcept {
    return reinterpret_cast<const LinkObject*>(self)->state;
}

inline constexpr std::uintptr_t CLAIM_FREE = 0;
inline constexpr std::uintptr_t CLAIM_HELD = ~std::uintptr_t{0};

// A new instance of `type` (a class laid out as LinkObject, made by the
// module whose state is `state`) with an empty engine, or nullptr with the
// Python error set. Arguments are bound already.
PyObject* new_link_object(PyTypeObject* type, const ModuleState* state);

// The deallocator shared by both classes: the engine goes with whatever it holds.
void dealloc_link_object(PyObject* self);

// Exclusive use of one object for the length of a call. The flag is released
// on every path out of the call once it was taken.
class Claim {
public:
    explicit Claim(LinkObject* link) noexcept : link_(link) {}
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() { link_->claim_flag.store(CLAIM_FREE, std::memory_order_release); }
    PlimEngine& engine() const noexcept { return link_->engine; }

private:
    LinkObject* link_;
};

// The receiver as a claimed instance of `type`, or nullptr with the claim
// error (or the type check's error) raised. `type` nullptr: the module is
// being torn down. Inline: every call starts here.
inline LinkObject* claim(PyObject* self, PyObject* type) {
    if (type == nullptr) {
        raise_module_gone();
        return nullptr;
    }
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
        raise_type_mismatch(self, type);
        return nullptr;
    }
    auto* link = reinterpret_cast<LinkObject*>(self);
    std::uintptr_t expected = CLAIM_FREE;
    if (!link->claim_flag.compare_exchange_strong(expected, CLAIM_HELD, std::memory_order_acquire)) {
        raise_already_borrowed();
        return nullptr;
    }
    return link;
}

// The receive poll of both classes, inside their fault boundary: the next
// frame's outcome is turned into the call's result (by `to_result`, which
// returns nullptr with the Python error set) or its exception before the
// frame is consumed, so a result that cannot be built loses nothing.
template <class ToResult>
PyObject* poll_message(PyObject* self, PyObject* type, FrameFaults faults, ToResult&& to_result) {
    LinkObject* link = claim(self, type);
    if (link == nullptr) return nullptr;
    Claim held(link);
    PlimEngine& engine = held.engine();
    PlimEngine::PendingFrame pending = engine.read_next_frame(faults);
    if (!pending.outcome) {
        engine.consume(pending);  // no frame, or only ones dropped silently
        return none();
    }
    if (!*pending.outcome) {
        PendingException error = build_call_error(pending.outcome->error());
        engine.consume(pending);
        raise_pending(error);
        return nullptr;
    }
    PyObject* result = to_result(**pending.outcome);
    if (result == nullptr) return nullptr;
    engine.consume(pending);
    return result;
}

// A class of `module` laid out as LinkObject, with the shared deallocator;
// nullptr with the Python error set. `getset` may be nullptr.
PyObject* build_link_class(PyObject* module, const char* name, const char* doc, newfunc make, PyMethodDef* methods,
                           PyGetSetDef* getset);

}  // namespace plim::python
