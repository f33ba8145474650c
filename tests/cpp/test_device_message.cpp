#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "json/writer.hpp"
#include "link/body_reader.hpp"
#include "messages/device_message.hpp"

// The largest single allocation made while a decode runs, so the test can
// see that a lying sequence count reserves nothing big.
static std::atomic<std::size_t> largest_allocation{0};

void* operator new(std::size_t size) {
    std::size_t seen = largest_allocation.load();
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using plim::PostcardError;
using namespace plim::device;

std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

plim::Decoded<DeviceMessage> decode(const std::vector<std::uint8_t>& body) {
    plim::BodyReader reader(body);
    return decode_device_message(reader);
}

std::string write_json(const DeviceMessage& message) {
    plim::JsonWriter writer;
    write_device_message_json(message, writer);
    return writer.take();
}

std::string decode_to_json(const std::vector<std::uint8_t>& body) {
    auto message = decode(body);
    if (!message) return "error " + std::to_string(static_cast<int>(message.error()));
    return write_json(*message);
}

constexpr const char* SCAN_BODY = "02 01 0F 00 00 C0 3F 00 00 7A 44";
constexpr const char* DRIVE_BODY =
    "03 00 00 48 42 00 00 80 BE 00 00 40 40 00 00 C0 7F CD CC CC 3D 95 BF D6 33";
constexpr const char* IMU_BODY =
    "04 00 00 80 3F 00 00 00 40 00 00 40 40 00 00 00 00 FF FF 7F 7F 00 00 C0 FF";
constexpr const char* STATE_BODY =
    "05 02 41 31 00 01 01 6D 01 01 00 01 01 6E C8 01 03 62 61 74 01 00 00 00 00";

struct JsonCase {
    const char* name;
    const char* body;
    const char* json;
};

class DecodeToJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(DecodeToJson, WritesExactText) { EXPECT_EQ(decode_to_json(hex(GetParam().body)), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Messages, DecodeToJson,
    ::testing::Values(
        JsonCase{"Scan", SCAN_BODY, R"({"Scan":[{"quality":15,"angle_rad":1.5,"distance_mm":1000.0}]})"},
        JsonCase{"DriveBaseState", DRIVE_BODY,
                 R"({"DriveBaseState":{"left":{"effort_percent":50.0,"velocity_rad_per_s":-0.25,"position_rad":3.0},)"
                 R"("right":{"effort_percent":null,"velocity_rad_per_s":0.1,"position_rad":1e-7}}})"},
        JsonCase{"State", STATE_BODY,
                 R"({"State":{"uid":"A1","ip":null,"mac":"m","current_network_connection":{"Err":"Timeout"},)"
                 R"("available_network_connections":[{"ssid":"n","strength":200}],"built_in_test":{"power":[{"name":"bat","result":"Pass"}],)"
                 R"("wifi":[],"lidar":[],"imu":[],"encoders":[]}}})"},
        JsonCase{"Ping", "00", R"("Ping")"},
        JsonCase{"Pong", "01", R"("Pong")"},
        JsonCase{"EmptyScan", "02 00", R"({"Scan":[]})"},
        JsonCase{"LongDiscriminant", "80 00", R"("Ping")"},
        JsonCase{"TrailingBytesIgnored", "00 FF", R"("Ping")"},
        JsonCase{"ScanTwoPointsExtremes", "02 02 FF 00 00 80 7F 00 00 80 FF 00 00 00 00 80 01 00 00 00",
                 R"({"Scan":[{"quality":255,"angle_rad":null,"distance_mm":null},)"
                 R"({"quality":0,"angle_rad":-0.0,"distance_mm":1e-45}]})"},
        JsonCase{"Imu", "04 00 00 80 3F 00 00 00 40 00 00 40 40 00 00 00 00 FF FF 7F 7F 00 00 C0 FF",
                 R"({"ImuMeasurement":{"accel":{"x":1.0,"y":2.0,"z":3.0},"gyro":{"x":0.0,"y":3.4028235e+38,"z":null}}})"},
        JsonCase{"StateOkAndEscapes",
                 // uid "", ip "1.2", mac absent, Ok "h\xC3\xA9", ssid a"b\c<LF>, strength 255,
                 // power Waiting and Fail, encoders one Pass
                 "05 00 01 03 31 2E 32 00 01 00 03 68 C3 A9 01 06 61 22 62 5C 63 0A FF"
                 " 02 01 70 00 01 71 02 00 00 00 01 00 01",
                 R"({"State":{"uid":"","ip":"1.2","mac":null,"current_network_connection":{"Ok":"h)"
                 "\xC3\xA9"
                 R"("},"available_network_connections":[{"ssid":"a\"b\\c\n","strength":255}],)"
                 R"("built_in_test":{"power":[{"name":"p","result":"Waiting"},{"name":"q","result":"Fail"}],)"
                 R"("wifi":[],"lidar":[],"imu":[],"encoders":[{"name":"","result":"Pass"}]}}})"},
        JsonCase{"StateAuthOrRefused", "05 00 00 00 01 01 01 00 00 00 00 00 00",
                 R"({"State":{"uid":"","ip":null,"mac":null,"current_network_connection":{"Err":"AuthOrRefused"},)"
                 R"("available_network_connections":[],"built_in_test":{"power":[],"wifi":[],"lidar":[],"imu":[],"encoders":[]}}})"},
        JsonCase{"StateOther", "05 00 00 00 01 01 02 02 2F 09 00 00 00 00 00 00",
                 R"({"State":{"uid":"","ip":null,"mac":null,"current_network_connection":{"Err":{"Other":"/\t"}},)"
                 R"("available_network_connections":[],"built_in_test":{"power":[],"wifi":[],"lidar":[],"imu":[],"encoders":[]}}})"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ErrorCase {
    const char* name;
    const char* body;
    PostcardError error;
};

class DecodeFails : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeFails, WithKind) {
    const auto message = decode(hex(GetParam().body));
    ASSERT_FALSE(message.has_value());
    EXPECT_EQ(message.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, DecodeFails,
    ::testing::Values(
        ErrorCase{"Empty", "", PostcardError::EndOfInput},
        ErrorCase{"LoneContinuation", "80", PostcardError::EndOfInput},
        ErrorCase{"DiscriminantU32Max", "FF FF FF FF 0F", PostcardError::DeserializeFailed},
        ErrorCase{"DiscriminantOverflow", "FF FF FF FF 10", PostcardError::VarintTooLong},
        ErrorCase{"DiscriminantNeverEnds", "80 80 80 80 80", PostcardError::VarintTooLong},
        ErrorCase{"DriveBaseShort", "03 00 00 48 42 00 00 80 BE 00 00 40 40 00 00 C0 7F CD CC CC 3D 95 BF D6",
                  PostcardError::EndOfInput},
        ErrorCase{"ScanHugeCount", "02 C0 84 3D 0F 00 00 C0 3F 00 00 7A 44 0F 00", PostcardError::EndOfInput},
        ErrorCase{"ScanCountOverflow", "02 FF FF FF FF FF FF FF FF FF 02", PostcardError::VarintTooLong},
        ErrorCase{"IpTagTwo", "05 00 02", PostcardError::InvalidOptionTag},
        ErrorCase{"IpTagAsVarint", "05 00 81 00", PostcardError::InvalidOptionTag},
        ErrorCase{"MacTagTwo", "05 00 00 02", PostcardError::InvalidOptionTag},
        ErrorCase{"ConnectionTagTwo", "05 00 00 00 02", PostcardError::InvalidOptionTag},
        ErrorCase{"UidBadUtf8", "05 02 C3 28 00 00 00 00 00 00 00 00 00", PostcardError::InvalidUtf8},
        ErrorCase{"UidSurrogate", "05 03 ED A0 80 00 00 00 00 00 00 00 00", PostcardError::InvalidUtf8},
        ErrorCase{"UidLengthPastEnd", "05 05 41 42 43", PostcardError::EndOfInput},
        ErrorCase{"ConnectionResultTwo", "05 00 00 00 01 02", PostcardError::DeserializeFailed},
        ErrorCase{"ConnectionErrorThree", "05 00 00 00 01 01 03", PostcardError::DeserializeFailed},
        ErrorCase{"OtherBadUtf8", "05 00 00 00 01 01 02 01 FF", PostcardError::InvalidUtf8},
        ErrorCase{"TestStatusThree", "05 00 00 00 00 00 00 00 00 00 01 00 03", PostcardError::DeserializeFailed},
        // a bad status after a good one still discards the whole message
        ErrorCase{"PowerThenBadImu", "05 00 00 00 00 00 01 00 01 00 00 01 01 78 09", PostcardError::DeserializeFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeFails, FirstUndeclaredDiscriminant) {
    const auto message = decode({static_cast<std::uint8_t>(std::variant_size_v<DeviceMessage>)});
    ASSERT_FALSE(message.has_value());
    EXPECT_EQ(message.error(), PostcardError::DeserializeFailed);
}

// Every proper prefix of a valid body ends inside some value.
TEST(DecodeFails, EveryTruncationIsEndOfInput) {
    for (const char* text : {SCAN_BODY, DRIVE_BODY, IMU_BODY, STATE_BODY}) {
        const std::vector<std::uint8_t> body = hex(text);
        for (std::size_t length = 0; length < body.size(); ++length) {
            const auto message = decode(std::vector<std::uint8_t>(body.begin(), body.begin() + length));
            ASSERT_FALSE(message.has_value()) << text << " cut at " << length;
            EXPECT_EQ(message.error(), PostcardError::EndOfInput) << text << " cut at " << length;
        }
    }
}

TEST(DecodeSequences, LyingCountAllocatesLittle) {
    // A million points announced, three present.
    std::vector<std::uint8_t> body = hex("02 C0 84 3D");
    for (int i = 0; i < 3; ++i) {
        for (std::uint8_t b : hex("0F 00 00 C0 3F 00 00 7A 44")) body.push_back(b);
    }
    largest_allocation = 0;
    const auto message = decode(body);
    const std::size_t largest = largest_allocation.load();
    ASSERT_FALSE(message.has_value());
    EXPECT_EQ(message.error(), PostcardError::EndOfInput);
    EXPECT_LT(largest, 4096u);
}

TEST(DecodeSequences, CountBeyondReserveBoundDecodesFully) {
    // More points than the up-front reservation covers: growth takes over.
    constexpr std::uint32_t count = 100000;
    std::vector<std::uint8_t> body = {0x02, 0xA0, 0x8D, 0x06};  // 100000
    for (std::uint32_t i = 0; i < count; ++i) {
        body.push_back(static_cast<std::uint8_t>(i));
        for (int k = 0; k < 8; ++k) body.push_back(0);
    }
    const auto message = decode(body);
    ASSERT_TRUE(message.has_value());
    const auto& points = std::get<Scan>(*message).points;
    ASSERT_EQ(points.size(), count);
    EXPECT_EQ(points.back().quality, static_cast<std::uint8_t>(count - 1));
}

TEST(WriteJson, StateWithoutRecordIsWrittenEmpty) {
    EXPECT_EQ(write_json(DeviceMessage{State{}}),
              R"({"State":{"uid":"","ip":null,"mac":null,"current_network_connection":null,)"
              R"("available_network_connections":[],"built_in_test":{"power":[],"wifi":[],"lidar":[],"imu":[],"encoders":[]}}})");
}

}  // namespace
