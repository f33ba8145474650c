// Body decoding of the device's messages, walked from their declarations.
#include "messages/device_message.hpp"

#include "messages/body_codec.hpp"

namespace plim::device {

Decoded<DeviceMessage> decode_device_message(BodyReader& reader) {
    DeviceMessage message;
    const Decoded<void> read = body::read(reader, message);
    if (!read) return std::unexpected(read.error());
    return message;
}

}  // namespace plim::device
