#pragma once
// Messages the host sends to the plim. The variant order is the wire
// discriminant order.
#include <string>
#include <string_view>
#include <variant>

#include "json/json_error.hpp"
#include "link/bytes.hpp"
#include "messages/declare.hpp"

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

}  // namespace plim::host

namespace plim {

template <>
struct Declare<host::SetNetworkConnectionConfig> {
    using T = host::SetNetworkConnectionConfig;
    static constexpr std::string_view name = "SetNetworkConnectionConfig";
    static constexpr std::string_view doc = "Wi-Fi credentials for the plim.";
    static constexpr auto fields = std::tuple{field("ssid", &T::ssid), field("password", &T::password)};
};

template <>
struct Declare<host::SetUid> {
    using T = host::SetUid;
    static constexpr std::string_view name = "SetUid";
    static constexpr std::string_view doc = "The plim's new identifier.";
    static constexpr auto fields = std::tuple{field("uid", &T::uid)};
};

template <>
struct Declare<host::SetDriveBaseVelocity> {
    using T = host::SetDriveBaseVelocity;
    static constexpr std::string_view name = "SetDriveBaseVelocity";
    static constexpr std::string_view doc = "Wheel velocities in radians per second.";
    static constexpr auto fields = std::tuple{field("left_velocity_rad_per_s", &T::left_velocity_rad_per_s),
                                              field("right_velocity_rad_per_s", &T::right_velocity_rad_per_s)};
};

template <>
struct Declare<host::HostMessage> {
    static constexpr std::string_view name = "HostMessage";
    static constexpr auto variants = variant_names<host::HostMessage>(
        named<host::Ping>("Ping"), named<host::Pong>("Pong"), named<host::RequestNetworkScan>("RequestNetworkScan"),
        named<host::SetNetworkConnectionConfig>("SetNetworkConnectionConfig"), named<host::SetUid>("SetUid"),
        named<host::SetDriveBaseVelocity>("SetDriveBaseVelocity"));
};

}  // namespace plim

namespace plim::host {

// The whole text must be one message; nothing is built on refusal.
JsonResult<HostMessage> parse_host_message(std::string_view json_text);

// Appends the message body (discriminant, then fields in order).
void encode_host_message(const HostMessage& message, Bytes& output);

}  // namespace plim::host
