#pragma once
// Messages the host sends to the plim. The variant order is the wire
// discriminant order.
#include <string>
#include <string_view>
#include <variant>

#include "json/json_error.hpp"
#include "link/bytes.hpp"

namespace plim::host {

struct Ping {};
struct Pong {};
struct RequestNetworkScan {};
struct SetNetworkConnectionConfig {
    std::string ssid;
    std::string password;
};
struct SetUid {
    std::string uid;
};
struct SetDriveBaseVelocity {
    float left_velocity_rad_per_s = 0;
    float right_velocity_rad_per_s = 0;
};

using HostMessage = std::variant<Ping, Pong, RequestNetworkScan, SetNetworkConnectionConfig,
                                 SetUid, SetDriveBaseVelocity>;

// The whole text must be one message; nothing is built on refusal.
JsonResult<HostMessage> parse_host_message(std::string_view json_text);

// Appends the message body (discriminant, then fields in order).
void encode_host_message(const HostMessage& message, Bytes& output);

}  // namespace plim::host
