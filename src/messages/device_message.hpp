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

// Reads one message; bytes after its last field are left unread.
Decoded<DeviceMessage> decode_device_message(BodyReader& reader);

std::string write_device_message_json(const DeviceMessage& message);

// The same text into a writer, for callers that take it from the writer's own
// buffer without a copy.
void write_device_message_json(const DeviceMessage& message, JsonWriter& out);

}  // namespace plim::device
