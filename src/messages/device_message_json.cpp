// The JSON form of the device's messages, walked from their declarations.
#include "json/writer.hpp"
#include "messages/device_message.hpp"
#include "messages/json_write.hpp"

namespace plim::device {

// On a cache line of its own start: its speed on every received frame then
// does not move with the size of the code placed before it.
[[gnu::aligned(64)]] void write_device_message_json(const DeviceMessage& message, JsonWriter& w) { json_form::write(w, message); }

}  // namespace plim::device
