#include "messages/host_message.hpp"

#include <cstdint>

#include "link/body_writer.hpp"

namespace plim::host {

void encode_host_message(const HostMessage& message, Bytes& output) {
    // The variant order is the discriminant order, and 0..5 fit one byte.
    put_u8(output, static_cast<std::uint8_t>(message.index()));
    if (const auto* config = std::get_if<SetNetworkConnectionConfig>(&message)) {
        put_text(output, config->ssid);
        put_text(output, config->password);
    } else if (const auto* uid = std::get_if<SetUid>(&message)) {
        put_text(output, uid->uid);
    } else if (const auto* velocity = std::get_if<SetDriveBaseVelocity>(&message)) {
        put_f32(output, velocity->left_velocity_rad_per_s);
        put_f32(output, velocity->right_velocity_rad_per_s);
    }
}

}  // namespace plim::host
