// The JSON form of the device's messages: payload-free variants as bare
// strings, every other variant as a one-member object named after it, records
// with all their fields in declaration order.
#include <string_view>
#include <type_traits>

#include "json/writer.hpp"
#include "messages/device_message.hpp"

namespace plim::device {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without aggregate deduction (the clang of the
// fuzz build).
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void write_lidar_point(JsonWriter& w, const LidarPoint& point) {
    w.begin_object();
    w.key(JsonName("quality"));
    w.u8(point.quality);
    w.key(JsonName("angle_rad"));
    w.f32(point.angle_rad);
    w.key(JsonName("distance_mm"));
    w.f32(point.distance_mm);
    w.end_object();
}

void write_wheel_state(JsonWriter& w, const WheelState& wheel) {
    w.begin_object();
    w.key(JsonName("effort_percent"));
    w.f32(wheel.effort_percent);
    w.key(JsonName("velocity_rad_per_s"));
    w.f32(wheel.velocity_rad_per_s);
    w.key(JsonName("position_rad"));
    w.f32(wheel.position_rad);
    w.end_object();
}

void write_vector3(JsonWriter& w, const Vector3& v) {
    w.begin_object();
    w.key(JsonName("x"));
    w.f32(v.x);
    w.key(JsonName("y"));
    w.f32(v.y);
    w.key(JsonName("z"));
    w.f32(v.z);
    w.end_object();
}

void write_optional_text(JsonWriter& w, const std::optional<std::string>& text) {
    if (text) {
        w.string(*text);
    } else {
        w.null();
    }
}

void write_connection_error(JsonWriter& w, const ConnectionError& error) {
    std::visit(Overloaded{
                   [&](const Timeout&) { w.string("Timeout"); },
                   [&](const AuthOrRefused&) { w.string("AuthOrRefused"); },
                   [&](const Other& other) {
                       w.begin_object();
                       w.key(JsonName("Other"));
                       w.string(other.text);
                       w.end_object();
                   },
               },
               error);
}

void write_connection_result(JsonWriter& w, const ConnectionResult& result) {
    w.begin_object();
    std::visit(Overloaded{
                   [&](const ConnectionOk& ok) {
                       w.key(JsonName("Ok"));
                       w.string(ok.text);
                   },
                   [&](const ConnectionError& error) {
                       w.key(JsonName("Err"));
                       write_connection_error(w, error);
                   },
               },
               result);
    w.end_object();
}

std::string_view test_status_name(TestStatus status) {
    switch (status) {
        case TestStatus::Waiting: return "Waiting";
        case TestStatus::Pass: return "Pass";
        case TestStatus::Fail: return "Fail";
    }
    return "Waiting";  // unreachable: decoding admits only the three
}

void write_test_items(JsonWriter& w, JsonName group, const std::vector<TestItem>& items) {
    w.key(group);
    w.begin_array();
    for (const TestItem& item : items) {
        w.begin_object();
        w.key(JsonName("name"));
        w.string(item.name);
        w.key(JsonName("result"));
        w.string(test_status_name(item.result));
        w.end_object();
    }
    w.end_array();
}

void write_device_state(JsonWriter& w, const DeviceState& state) {
    w.begin_object();
    w.key(JsonName("uid"));
    w.string(state.uid);
    w.key(JsonName("ip"));
    write_optional_text(w, state.ip);
    w.key(JsonName("mac"));
    write_optional_text(w, state.mac);
    w.key(JsonName("current_network_connection"));
    if (state.current_network_connection) {
        write_connection_result(w, *state.current_network_connection);
    } else {
        w.null();
    }
    w.key(JsonName("available_network_connections"));
    w.begin_array();
    for (const AvailableNetwork& network : state.available_network_connections) {
        w.begin_object();
        w.key(JsonName("ssid"));
        w.string(network.ssid);
        w.key(JsonName("strength"));
        w.u8(network.strength);
        w.end_object();
    }
    w.end_array();
    w.key(JsonName("built_in_test"));
    const BuiltInTest& test = state.built_in_test;
    w.begin_object();
    write_test_items(w, JsonName("power"), test.power);
    write_test_items(w, JsonName("wifi"), test.wifi);
    write_test_items(w, JsonName("lidar"), test.lidar);
    write_test_items(w, JsonName("imu"), test.imu);
    write_test_items(w, JsonName("encoders"), test.encoders);
    w.end_object();
    w.end_object();
}

}  // namespace

std::string write_device_message_json(const DeviceMessage& message) {
    JsonWriter w;
    write_device_message_json(message, w);
    return w.take();
}

void write_device_message_json(const DeviceMessage& message, JsonWriter& w) {
    std::visit(Overloaded{
                   [&](const Ping&) { w.string("Ping"); },
                   [&](const Pong&) { w.string("Pong"); },
                   [&](const Scan& scan) {
                       w.begin_object();
                       w.key(JsonName("Scan"));
                       w.begin_array();
                       for (const LidarPoint& point : scan.points) write_lidar_point(w, point);
                       w.end_array();
                       w.end_object();
                   },
                   [&](const DriveBaseState& drive) {
                       w.begin_object();
                       w.key(JsonName("DriveBaseState"));
                       w.begin_object();
                       w.key(JsonName("left"));
                       write_wheel_state(w, drive.left);
                       w.key(JsonName("right"));
                       write_wheel_state(w, drive.right);
                       w.end_object();
                       w.end_object();
                   },
                   [&](const ImuMeasurement& imu) {
                       w.begin_object();
                       w.key(JsonName("ImuMeasurement"));
                       w.begin_object();
                       w.key(JsonName("accel"));
                       write_vector3(w, imu.accel);
                       w.key(JsonName("gyro"));
                       write_vector3(w, imu.gyro);
                       w.end_object();
                       w.end_object();
                   },
                   [&](const State& state) {
                       w.begin_object();
                       w.key(JsonName("State"));
                       // Decoding always fills the pointer; a hand-built empty
                       // State is written as an empty status record rather
                       // than dereferenced.
                       if (state.state) {
                           write_device_state(w, *state.state);
                       } else {
                           write_device_state(w, DeviceState{});
                       }
                       w.end_object();
                   },
               },
               message);
}

}  // namespace plim::device
