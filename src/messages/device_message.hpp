#pragma once
// Messages the plim sends to the host. Variant and field order is the wire
// order and the JSON member order.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "link/body_reader.hpp"
#include "messages/declare.hpp"

namespace plim {
class JsonWriter;
}  // namespace plim

namespace plim::device {

struct Ping {};
struct Pong {};

struct LidarPoint {
    std::uint8_t quality = 0;
    float angle_rad = 0;
    float distance_mm = 0;
};
struct Scan {
    std::vector<LidarPoint> points;
};

struct WheelState {
    float effort_percent = 0;
    float velocity_rad_per_s = 0;
    float position_rad = 0;
};
struct DriveBaseState {
    WheelState left;
    WheelState right;
};

struct Vector3 {
    float x = 0;
    float y = 0;
    float z = 0;
};
struct ImuMeasurement {
    Vector3 accel;
    Vector3 gyro;
};

struct Timeout {};
struct AuthOrRefused {};
struct Other {
    std::string text;
};
using ConnectionError = std::variant<Timeout, AuthOrRefused, Other>;

struct ConnectionOk {
    std::string text;
};
using ConnectionResult = std::variant<ConnectionOk, ConnectionError>;  // Ok, Err

struct AvailableNetwork {
    std::string ssid;
    std::uint8_t strength = 0;
};

enum class TestStatus : std::uint8_t { Waiting = 0, Pass = 1, Fail = 2 };
struct TestItem {
    std::string name;
    TestStatus result = TestStatus::Waiting;
};
struct BuiltInTest {
    std::vector<TestItem> power;
    std::vector<TestItem> wifi;
    std::vector<TestItem> lidar;
    std::vector<TestItem> imu;
    std::vector<TestItem> encoders;
};

struct DeviceState {
    std::string uid;
    std::optional<std::string> ip;
    std::optional<std::string> mac;
    std::optional<ConnectionResult> current_network_connection;
    std::vector<AvailableNetwork> available_network_connections;
    BuiltInTest built_in_test;
};
// The status record is by far the largest payload, so it lives behind a pointer.
struct State {
    std::unique_ptr<DeviceState> state;
};

using DeviceMessage = std::variant<Ping, Pong, Scan, DriveBaseState, ImuMeasurement, State>;

}  // namespace plim::device

namespace plim {

template <>
struct Declare<device::LidarPoint> {
    using T = device::LidarPoint;
    static constexpr std::string_view name = "LidarPoint";
    static constexpr auto fields = std::tuple{field("quality", &T::quality), field("angle_rad", &T::angle_rad),
                                              field("distance_mm", &T::distance_mm)};
};

template <>
struct Declare<device::Scan> {
    static constexpr std::string_view name = "Scan";
    static constexpr std::string_view doc = "One lidar sweep.";
    static constexpr auto fields = std::tuple{newtype(&device::Scan::points)};
};

template <>
struct Declare<device::WheelState> {
    using T = device::WheelState;
    static constexpr std::string_view name = "WheelState";
    static constexpr auto fields =
        std::tuple{field("effort_percent", &T::effort_percent), field("velocity_rad_per_s", &T::velocity_rad_per_s),
                   field("position_rad", &T::position_rad)};
};

template <>
struct Declare<device::DriveBaseState> {
    using T = device::DriveBaseState;
    static constexpr std::string_view name = "DriveBaseState";
    static constexpr auto fields = std::tuple{field("left", &T::left), field("right", &T::right)};
};

template <>
struct Declare<device::Vector3> {
    using T = device::Vector3;
    static constexpr std::string_view name = "Vector3";
    static constexpr auto fields = std::tuple{field("x", &T::x), field("y", &T::y), field("z", &T::z)};
};

template <>
struct Declare<device::ImuMeasurement> {
    using T = device::ImuMeasurement;
    static constexpr std::string_view name = "ImuMeasurement";
    static constexpr auto fields = std::tuple{field("accel", &T::accel), field("gyro", &T::gyro)};
};

template <>
struct Declare<device::Other> {
    static constexpr std::string_view name = "Other";
    static constexpr auto fields = std::tuple{newtype(&device::Other::text)};
};

template <>
struct Declare<device::ConnectionError> {
    static constexpr std::string_view name = "ConnectionError";
    static constexpr auto variants = variant_names<device::ConnectionError>(
        named<device::Timeout>("Timeout"), named<device::AuthOrRefused>("AuthOrRefused"),
        named<device::Other>("Other"));
};

template <>
struct Declare<device::ConnectionOk> {
    static constexpr std::string_view name = "ConnectionOk";
    static constexpr auto fields = std::tuple{newtype(&device::ConnectionOk::text)};
};

template <>
struct Declare<device::ConnectionResult> {
    static constexpr std::string_view name = "ConnectionResult";
    static constexpr auto variants = variant_names<device::ConnectionResult>(
        named<device::ConnectionOk>("Ok"), named<device::ConnectionError>("Err"));
};

template <>
struct Declare<device::AvailableNetwork> {
    using T = device::AvailableNetwork;
    static constexpr std::string_view name = "AvailableNetwork";
    static constexpr auto fields = std::tuple{field("ssid", &T::ssid), field("strength", &T::strength)};
};

template <>
struct Declare<device::TestStatus> {
    static constexpr std::string_view name = "TestStatus";
    static constexpr auto variants = enumerator_names<device::TestStatus, "Waiting", "Pass", "Fail">;
};

template <>
struct Declare<device::TestItem> {
    using T = device::TestItem;
    static constexpr std::string_view name = "TestItem";
    static constexpr auto fields = std::tuple{field("name", &T::name), field("result", &T::result)};
};

template <>
struct Declare<device::BuiltInTest> {
    using T = device::BuiltInTest;
    static constexpr std::string_view name = "BuiltInTest";
    static constexpr std::string_view doc = "Self-test results by subsystem.";
    static constexpr auto fields = std::tuple{field("power", &T::power), field("wifi", &T::wifi),
                                              field("lidar", &T::lidar), field("imu", &T::imu),
                                              field("encoders", &T::encoders)};
};

template <>
struct Declare<device::DeviceState> {
    using T = device::DeviceState;
    static constexpr std::string_view name = "DeviceState";
    static constexpr std::string_view doc = "The plim's status report.";
    static constexpr auto fields =
        std::tuple{field("uid", &T::uid),
                   field("ip", &T::ip),
                   field("mac", &T::mac),
                   field("current_network_connection", &T::current_network_connection),
                   field("available_network_connections", &T::available_network_connections),
                   field("built_in_test", &T::built_in_test)};
};

template <>
struct Declare<device::State> {
    static constexpr std::string_view name = "State";
    static constexpr auto fields = std::tuple{newtype(&device::State::state)};
};

template <>
struct Declare<device::DeviceMessage> {
    static constexpr std::string_view name = "DeviceMessage";
    static constexpr auto variants = variant_names<device::DeviceMessage>(
        named<device::Ping>("Ping"), named<device::Pong>("Pong"), named<device::Scan>("Scan"),
        named<device::DriveBaseState>("DriveBaseState"), named<device::ImuMeasurement>("ImuMeasurement"),
        named<device::State>("State"));
};

}  // namespace plim

namespace plim::device {

// Reads one message; bytes after its last field are left unread.
Decoded<DeviceMessage> decode_device_message(BodyReader& reader);

// The compact JSON text into a writer, for callers that take it from the
// writer's own buffer without a copy.
void write_device_message_json(const DeviceMessage& message, JsonWriter& out);

}  // namespace plim::device
