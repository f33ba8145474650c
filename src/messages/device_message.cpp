// Body decoding of the device's messages: one forward pass in declaration
// order; the first failing read ends the decoding and nothing is kept.
#include "messages/device_message.hpp"

#include <array>
#include <type_traits>
#include <utility>

// Unwraps a read or returns its error from the enclosing decoder.
#define PLIM_TRY(name, expression)                                     \
    auto name##_result = (expression);                                 \
    if (!name##_result) return std::unexpected(name##_result.error()); \
    auto name = std::move(*name##_result)

namespace plim::device {

namespace {

using std::unexpected;

constexpr std::uint32_t DEVICE_MESSAGE_LAST = 5;
constexpr std::uint32_t CONNECTION_RESULT_LAST = 1;
constexpr std::uint32_t CONNECTION_ERROR_LAST = 2;
constexpr std::uint32_t TEST_STATUS_LAST = 2;

// An enum discriminant no greater than `last`.
Decoded<std::uint32_t> read_discriminant(BodyReader& reader, std::uint32_t last) {
    PLIM_TRY(value, reader.read_varint32());
    if (value > last) return unexpected(PostcardError::DeserializeFailed);
    return value;
}

// A sequence: the count, then each element in order. Storage is reserved only
// within the bound the count can honestly claim; beyond it the vector grows
// as elements actually arrive.
template <class T, class ReadElement>
Decoded<std::vector<T>> read_sequence(BodyReader& reader, ReadElement read_element) {
    PLIM_TRY(count, reader.read_varint64());
    std::vector<T> items;
    items.reserve(sequence_reserve(count, reader.remaining(), sizeof(T)));
    for (std::uint64_t i = 0; i < count; ++i) {
        PLIM_TRY(item, read_element(reader));
        items.push_back(std::move(item));
    }
    return items;
}

Decoded<std::optional<std::string>> read_optional_text(BodyReader& reader) {
    PLIM_TRY(present, reader.read_option_tag());
    if (!present) return std::optional<std::string>{};
    PLIM_TRY(text, reader.read_text());
    return std::optional<std::string>{std::move(text)};
}

Decoded<LidarPoint> read_lidar_point(BodyReader& reader) {
    PLIM_TRY(quality, reader.read_u8());
    PLIM_TRY(angle, reader.read_f32());
    PLIM_TRY(distance, reader.read_f32());
    return LidarPoint{quality, angle, distance};
}

Decoded<ConnectionError> read_connection_error(BodyReader& reader) {
    PLIM_TRY(variant, read_discriminant(reader, CONNECTION_ERROR_LAST));
    switch (variant) {
        case 0: return ConnectionError{Timeout{}};
        case 1: return ConnectionError{AuthOrRefused{}};
        default: {
            PLIM_TRY(text, reader.read_text());
            return ConnectionError{Other{std::move(text)}};
        }
    }
}

Decoded<ConnectionResult> read_connection_result(BodyReader& reader) {
    PLIM_TRY(variant, read_discriminant(reader, CONNECTION_RESULT_LAST));
    if (variant == 0) {
        PLIM_TRY(text, reader.read_text());
        return ConnectionResult{ConnectionOk{std::move(text)}};
    }
    PLIM_TRY(error, read_connection_error(reader));
    return ConnectionResult{std::move(error)};
}

Decoded<std::optional<ConnectionResult>> read_optional_connection(BodyReader& reader) {
    PLIM_TRY(present, reader.read_option_tag());
    if (!present) return std::optional<ConnectionResult>{};
    PLIM_TRY(result, read_connection_result(reader));
    return std::optional<ConnectionResult>{std::move(result)};
}

Decoded<AvailableNetwork> read_available_network(BodyReader& reader) {
    PLIM_TRY(ssid, reader.read_text());
    PLIM_TRY(strength, reader.read_u8());
    return AvailableNetwork{std::move(ssid), strength};
}

Decoded<TestItem> read_test_item(BodyReader& reader) {
    PLIM_TRY(name, reader.read_text());
    PLIM_TRY(result, read_discriminant(reader, TEST_STATUS_LAST));
    return TestItem{std::move(name), static_cast<TestStatus>(result)};
}

Decoded<BuiltInTest> read_built_in_test(BodyReader& reader) {
    BuiltInTest test;
    for (std::vector<TestItem>* group : {&test.power, &test.wifi, &test.lidar, &test.imu, &test.encoders}) {
        PLIM_TRY(items, read_sequence<TestItem>(reader, read_test_item));
        *group = std::move(items);
    }
    return test;
}

Decoded<State> read_state(BodyReader& reader) {
    auto state = std::make_unique<DeviceState>();
    PLIM_TRY(uid, reader.read_text());
    state->uid = std::move(uid);
    PLIM_TRY(ip, read_optional_text(reader));
    state->ip = std::move(ip);
    PLIM_TRY(mac, read_optional_text(reader));
    state->mac = std::move(mac);
    PLIM_TRY(connection, read_optional_connection(reader));
    state->current_network_connection = std::move(connection);
    PLIM_TRY(networks, read_sequence<AvailableNetwork>(reader, read_available_network));
    state->available_network_connections = std::move(networks);
    PLIM_TRY(test, read_built_in_test(reader));
    state->built_in_test = std::move(test);
    return State{std::move(state)};
}

Decoded<Scan> read_scan(BodyReader& reader) {
    PLIM_TRY(points, read_sequence<LidarPoint>(reader, read_lidar_point));
    return Scan{std::move(points)};
}

// Reads consecutive floats into `fields`. Drive and IMU records are sent
// many times a second, and the only way for their reads to fail is the end
// of the body, so one length check covers them all.
template <std::size_t N>
Decoded<void> read_f32_fields(BodyReader& reader, const std::array<float*, N>& fields) {
    if (reader.remaining() < 4 * N) return unexpected(PostcardError::EndOfInput);
    for (float* field : fields) *field = *reader.read_f32();
    return {};
}

Decoded<DriveBaseState> read_drive_base_state(BodyReader& reader) {
    DriveBaseState s;
    const Decoded<void> read = read_f32_fields<6>(reader, {&s.left.effort_percent, &s.left.velocity_rad_per_s,
                                                           &s.left.position_rad, &s.right.effort_percent,
                                                           &s.right.velocity_rad_per_s, &s.right.position_rad});
    if (!read) return unexpected(read.error());
    return s;
}

Decoded<ImuMeasurement> read_imu_measurement(BodyReader& reader) {
    ImuMeasurement m;
    const Decoded<void> read =
        read_f32_fields<6>(reader, {&m.accel.x, &m.accel.y, &m.accel.z, &m.gyro.x, &m.gyro.y, &m.gyro.z});
    if (!read) return unexpected(read.error());
    return m;
}

template <class T>
DeviceMessage as_message(T&& payload) {
    return DeviceMessage{std::in_place_type<std::remove_cvref_t<T>>, std::forward<T>(payload)};
}

// Wraps a decoded payload as its message variant, passing an error through.
template <class T>
Decoded<DeviceMessage> lift(Decoded<T>&& payload) {
    if (!payload) return unexpected(payload.error());
    return as_message(std::move(*payload));
}

}  // namespace

Decoded<DeviceMessage> decode_device_message(BodyReader& reader) {
    const Decoded<std::uint32_t> variant = read_discriminant(reader, DEVICE_MESSAGE_LAST);
    if (!variant) return unexpected(variant.error());
    switch (*variant) {
        case 0: return as_message(Ping{});
        case 1: return as_message(Pong{});
        case 2: return lift(read_scan(reader));
        case 3: return lift(read_drive_base_state(reader));
        case 4: return lift(read_imu_measurement(reader));
        default: return lift(read_state(reader));
    }
}

}  // namespace plim::device

#undef PLIM_TRY
