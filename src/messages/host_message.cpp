#include "messages/host_message.hpp"

#include "messages/body_codec.hpp"

namespace plim::host {

void encode_host_message(const HostMessage& message, Bytes& output) { body::write(output, message); }

}  // namespace plim::host
