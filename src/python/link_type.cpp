#include "python/link_type.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "json/packet_reader.hpp"
#include "json/writer.hpp"
#include "link/frame.hpp"
#include "messages/device_message.hpp"
#include "messages/host_message.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/fault_boundary.hpp"
#include "python/link_object.hpp"

namespace plim::python {
namespace {

constexpr std::string_view CLASS_NAME = "Link";
constexpr std::string_view MESSAGE_PARAMETER[] = {"message"};
constexpr std::string_view PACKET_PARAMETER[] = {"packet"};
constexpr ParameterSpec NEW_SPEC{CLASS_NAME, "__new__", {}, 0};
constexpr ParameterSpec SEND_SPEC{CLASS_NAME, "send", MESSAGE_PARAMETER, 1};
constexpr ParameterSpec HANDLE_RECEIVE_SPEC{CLASS_NAME, "handle_receive", PACKET_PARAMETER, 1};

// Packets up to this many bytes are read without an allocation; a full
// 1400-byte packet fits.
constexpr std::size_t PACKET_STACK_BYTES = 4096;

// Message texts up to this many bytes are written without an allocation.
constexpr std::size_t MESSAGE_STACK_BYTES = 2048;

constexpr const char* CLASS_DOC =
    "Link()\n--\n\n"
    "The C++ <-> JSON link underlying `plim_link.link.PlimClient`.\n"
    "\n"
    "Every method takes or returns JSON strings matching plim-api's wire\n"
    "format (see the schemas in plim-ffi/schemas/).";
constexpr const char* SEND_DOC =
    "send($self, message)\n--\n\n"
    "Queues `message` (a JSON-encoded host-to-plim message) to be sent.";
constexpr const char* POLL_TRANSMIT_DOC =
    "poll_transmit($self)\n--\n\n"
    "Returns the next raw packet to transmit, JSON-encoded as an array\n"
    "of byte values, or `None` if nothing is queued.";
constexpr const char* HANDLE_RECEIVE_DOC =
    "handle_receive($self, packet)\n--\n\n"
    "Feeds a raw received packet (JSON-encoded as an array of byte\n"
    "values) into the link.";
constexpr const char* POLL_RECEIVE_DOC =
    "poll_receive($self)\n--\n\n"
    "Returns the next decoded message (a JSON-encoded plim-to-host\n"
    "message), or `None` if no complete message is ready yet.";

PyObject* new_str(std::string_view text) {
    return require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// The text argument of a one-parameter method, read under the claim; false
// with the Python error raised.
bool load_argument(const ParameterSpec& params, PyObject* value, ArgumentText& text) {
    if (text.load(value)) return true;
    argument_error(params.positional[0]);
    return false;
}

PyObject* link_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const ModuleState* state = class_state(type);
    if (state == nullptr) return nullptr;
    return guard_object(state, [&]() -> PyObject* {
        PyObject* slots[MAX_PARAMETERS];
        if (!bind_arguments(NEW_SPEC, args, kwargs, slots)) return nullptr;
        return new_link_object(type, state);
    });
}

PyObject* link_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        PyObject* slots[MAX_PARAMETERS];
        if (!bind_arguments(SEND_SPEC, args, nargs, kwnames, slots)) return nullptr;
        LinkObject* link = claim(self, state->link_type);
        if (link == nullptr) return nullptr;
        Claim held(link);
        JsonResult<host::HostMessage> message;
        {
            // The text copy is dropped as soon as it has been read.
            ArgumentText text;
            if (!load_argument(SEND_SPEC, slots[0], text)) return nullptr;
            message = host::parse_host_message(text.view());
        }
        if (!message) {
            raise_call_error(message.error());
            return nullptr;
        }
        held.engine().send(*message);
        return none();
    });
}

PyObject* link_handle_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        PyObject* slots[MAX_PARAMETERS];
        if (!bind_arguments(HANDLE_RECEIVE_SPEC, args, nargs, kwnames, slots)) return nullptr;
        LinkObject* link = claim(self, state->link_type);
        if (link == nullptr) return nullptr;
        Claim held(link);
        ArgumentText text;
        if (!load_argument(HANDLE_RECEIVE_SPEC, slots[0], text)) return nullptr;
        // Everyday packets are read on the stack and appended straight from
        // there; a refused text leaves the stream untouched either way.
        const std::size_t capacity = packet_capacity(text.view());
        std::uint8_t stack_bytes[PACKET_STACK_BYTES];
        std::unique_ptr<std::uint8_t[]> heap_bytes;
        std::uint8_t* bytes = stack_bytes;
        if (capacity > PACKET_STACK_BYTES) {
            heap_bytes = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
            bytes = heap_bytes.get();
        }
        JsonResult<std::size_t> count = parse_packet_into(text.view(), bytes);
        if (!count) {
            raise_call_error(count.error());
            return nullptr;
        }
        held.engine().handle_receive(ByteView(bytes, *count));
        return none();
    });
}

// Both polls build their whole result before taking anything out of the
// engine: if memory runs out on the way, the packet or frame stays queued.
PyObject* link_poll_transmit(PyObject* self, PyObject*) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        LinkObject* link = claim(self, state->link_type);
        if (link == nullptr) return nullptr;
        Claim held(link);
        const Bytes* packet = held.engine().front_packet();
        if (packet == nullptr) return none();
        PyObject* result;
        if (packet->size() <= MAX_PACKET_LEN) {
            // Every queued packet fits: its text is made on the stack.
            alignas(16) char text[packet_json_max_len(MAX_PACKET_LEN)];
            result = new_str(std::string_view(text, write_packet_json(*packet, text)));
        } else {
            result = new_str(write_packet_json(*packet));
        }
        held.engine().pop_packet();
        return result;
    });
}

PyObject* link_poll_receive(PyObject* self, PyObject*) {
    const ModuleState* state = receiver_state(self);
    return guard_object(state, [&]() -> PyObject* {
        return poll_message(self, state->link_type, FrameFaults::Quiet, [](const device::DeviceMessage& message) {
            // The text goes straight from the writer's buffer into the str. A
            // text past the first room (a drive or IMU report is about 200
            // bytes) grows on the stack; only the large ones reach the heap.
            alignas(16) char second_room[MESSAGE_STACK_BYTES];
            JsonWriter json(second_room);
            device::write_device_message_json(message, json);
            return new_str(json.view());
        });
    });
}

PyMethodDef link_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_send)),
     METH_FASTCALL | METH_KEYWORDS, SEND_DOC},
    {"poll_transmit", link_poll_transmit, METH_NOARGS, POLL_TRANSMIT_DOC},
    {"handle_receive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_handle_receive)),
     METH_FASTCALL | METH_KEYWORDS, HANDLE_RECEIVE_DOC},
    {"poll_receive", link_poll_receive, METH_NOARGS, POLL_RECEIVE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_link_class(PyObject* module) {
    return build_link_class(module, "plim_ffi.Link", CLASS_DOC, link_new, link_methods, nullptr);
}

}  // namespace plim::python
