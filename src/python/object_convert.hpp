#pragma once
// Messages as the Python values json.loads gives for their JSON form.
#include <Python.h>
#include "messages/device_message.hpp"
#include "messages/host_message.hpp"
#include "python/module_state.hpp"
namespace plim::python {
// Reads a host message from the value json.loads gives for its JSON text.
// Returns false with TypeError or ValueError raised when the value is refused.
bool host_message_from_object(const ModuleState& state, PyObject* value, host::HostMessage& out);
// The message as dicts, lists, ints, floats, strs and None; a new
// reference, or nullptr with the Python error raised.
PyObject* device_message_to_object(const ModuleState& state, const device::DeviceMessage& message);
}  // namespace plim::python
