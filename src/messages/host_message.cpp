#include "messages/host_message.hpp"

#include "messages/body_codec.hpp"

namespace plim::host {

void encode_host_message(const HostMessage& message, Bytes& output) {
    // Sized first, so a long text is appended without repeated growth.
    output.reserve(output.size() + body::encoded_size(message));
    body::write(output, message);
}

}  // namespace plim::host
