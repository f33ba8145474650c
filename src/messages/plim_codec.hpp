#pragma once
// The two message families plugged into the link engine.
#include "link/engine.hpp"
#include "messages/device_message.hpp"
#include "messages/host_message.hpp"

namespace plim {

struct PlimCodec {
    using Outgoing = host::HostMessage;
    using Incoming = device::DeviceMessage;
    static void encode(const Outgoing& message, Bytes& out) { host::encode_host_message(message, out); }
    static Decoded<Incoming> decode(BodyReader& reader) { return device::decode_device_message(reader); }
};

using PlimEngine = LinkEngine<PlimCodec>;

}  // namespace plim
