#include "python/object_link_type.hpp"

#include <cstddef>
#include <string_view>

#include "messages/device_message.hpp"
#include "messages/host_message.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/fault_boundary.hpp"
#include "python/link_object.hpp"
#include "python/object_convert.hpp"
#include "python/packet_bytes.hpp"

namespace plim::python {
namespace {

constexpr std::string_view CLASS_NAME = "ObjectLink";
constexpr std::string_view MESSAGE_PARAMETER[] = {"message"};
constexpr std::string_view PACKET_PARAMETER[] = {"packet"};
constexpr ParameterSpec NEW_SPEC{CLASS_NAME, "__new__", {}, 0};
constexpr ParameterSpec SEND_SPEC{CLASS_NAME, "send", MESSAGE_PARAMETER, 1};
constexpr ParameterSpec HANDLE_RECEIVE_SPEC{CLASS_NAME, "handle_receive", PACKET_PARAMETER, 1};

constexpr const char* CLASS_DOC =
    "ObjectLink()\n--\n\n"
    "The link of `Link`, taking and giving Python values instead of JSON text.\n"
    "\n"
    "Messages are the values `json.loads` gives for plim-api's JSON forms\n"
    "(see the schemas in plim-ffi/schemas/); packets are `bytes`.";
constexpr const char* SEND_DOC =
    "send($self, message)\n--\n\n"
    "Queues `message` (a host-to-plim message as the value `json.loads`\n"
    "gives for its JSON form) to be sent.";
constexpr const char* POLL_TRANSMIT_DOC =
    "poll_transmit($self)\n--\n\n"
    "Returns the next raw packet to transmit as `bytes`, or `None` if\n"
    "nothing is queued.";
constexpr const char* HANDLE_RECEIVE_DOC =
    "handle_receive($self, packet)\n--\n\n"
    "Feeds a raw received packet (`bytes`, `bytearray` or another\n"
    "bytes-like object) into the link.";
constexpr const char* POLL_RECEIVE_DOC =
    "poll_receive($self)\n--\n\n"
    "Returns the next decoded message (a plim-to-host message as the value\n"
    "`json.loads` gives for its JSON form), or `None` if no complete message\n"
    "is ready yet.";
constexpr const char* SKIPPED_FRAMES_DOC =
    "The number of received frames passed over because their COBS encoding\n"
    "is broken, since the link was made.";

PyObject* object_link_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const ModuleState* state = class_state(type);
    if (state == nullptr) return nullptr;
    return guard_object(state, [&]() -> PyObject* {
        PyObject* slots[MAX_PARAMETERS];
        if (!bind_arguments(NEW_SPEC, args, kwargs, slots)) return nullptr;
        return new_link_object(type, state);
    });
}

PyObject* object_link_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        PyObject* slots[MAX_PARAMETERS];
        if (!bind_arguments(SEND_SPEC, args, nargs, kwnames, slots)) return nullptr;
        LinkObject* link = claim(self, state->object_link_type);
        if (link == nullptr) return nullptr;
        Claim held(link);
        host::HostMessage message;
        if (!host_message_from_object(*state, slots[0], message)) return nullptr;
        held.engine().send(message);
        return none();
    });
}

PyObject* object_link_handle_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        PyObject* slots[MAX_PARAMETERS];
        if (!bind_arguments(HANDLE_RECEIVE_SPEC, args, nargs, kwnames, slots)) return nullptr;
        LinkObject* link = claim(self, state->object_link_type);
        if (link == nullptr) return nullptr;
        Claim held(link);
        PacketBytes packet;
        if (!packet.load(slots[0])) {
            argument_error(HANDLE_RECEIVE_SPEC.positional[0]);
            return nullptr;
        }
        held.engine().handle_receive(packet.view());
        return none();
    });
}

// Both polls build their whole result before taking anything out of the
// engine: if memory runs out on the way, the packet or frame stays queued.
PyObject* object_link_poll_transmit(PyObject* self, PyObject*) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        LinkObject* link = claim(self, state->object_link_type);
        if (link == nullptr) return nullptr;
        Claim held(link);
        const Bytes* packet = held.engine().front_packet();
        if (packet == nullptr) return none();
        PyObject* result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packet->data()),
                                                     static_cast<Py_ssize_t>(packet->size()));
        if (result == nullptr) return nullptr;
        held.engine().pop_packet();
        return result;
    });
}

PyObject* object_link_poll_receive(PyObject* self, PyObject*) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        return poll_message(self, state->object_link_type, FrameFaults::Reported,
                            [&](const device::DeviceMessage& message) { return device_message_to_object(*state, message); });
    });
}

PyMethodDef object_link_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_link_send)),
     METH_FASTCALL | METH_KEYWORDS, SEND_DOC},
    {"poll_transmit", object_link_poll_transmit, METH_NOARGS, POLL_TRANSMIT_DOC},
    {"handle_receive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(object_link_handle_receive)),
     METH_FASTCALL | METH_KEYWORDS, HANDLE_RECEIVE_DOC},
    {"poll_receive", object_link_poll_receive, METH_NOARGS, POLL_RECEIVE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

// Read without a claim: the count changes only inside a call's own C++ code,
// never while Python code runs in the middle of one.
PyObject* object_link_skipped_frames(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<LinkObject*>(self)->engine.skipped_frames());
}

PyGetSetDef object_link_getset[] = {
    {"skipped_frames", object_link_skipped_frames, nullptr, SKIPPED_FRAMES_DOC, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_object_link_class(PyObject* module) {
    return build_link_class(module, "plim_ffi.ObjectLink", CLASS_DOC, object_link_new, object_link_methods,
                            object_link_getset);
}

}  // namespace plim::python
