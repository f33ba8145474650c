// Host messages: every accepted form with its exact body bytes, and every
// refusal with its exact text and position.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "json/json_error.hpp"
#include "messages/body_codec.hpp"
#include "messages/host_message.hpp"

namespace {

using plim::Bytes;
using plim::host::encode_host_message;
using plim::host::parse_host_message;

std::string hex(const Bytes& bytes) {
    std::string text;
    char buf[4];
    for (const auto b : bytes) {
        std::snprintf(buf, sizeof buf, text.empty() ? "%02X" : " %02X", b);
        text += buf;
    }
    return text;
}

// The body of an accepted text, or the refusal's display text.
std::string outcome(const std::string& json) {
    const auto parsed = parse_host_message(json);
    if (!parsed) return "error: " + plim::json_error_text(parsed.error());
    Bytes body;
    encode_host_message(*parsed, body);
    return hex(body);
}

struct Case {
    std::string json;
    std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.json; }

class Accepted : public testing::TestWithParam<Case> {};

TEST_P(Accepted, GivesBody) { EXPECT_EQ(outcome(GetParam().json), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    BothForms, Accepted,
    testing::Values(
        Case{R"("Ping")", "00"}, Case{R"({"Ping":null})", "00"}, Case{R"("Pong")", "01"},
        Case{R"({"Pong":null})", "01"}, Case{R"("RequestNetworkScan")", "02"},
        Case{R"({"RequestNetworkScan":null})", "02"},
        Case{" \t\r\n{ \"Ping\" : null } \n", "00"},
        Case{R"("P\u0069ng")", "00"},
        Case{R"({"SetNetworkConnectionConfig":{"ssid":"lab","password":""}})", "03 03 6C 61 62 00"},
        Case{R"({"SetNetworkConnectionConfig":{"password":"","ssid":"lab"}})", "03 03 6C 61 62 00"},
        Case{R"({"SetNetworkConnectionConfig":["lab",""]})", "03 03 6C 61 62 00"},
        Case{R"({"SetUid":{"uid":"A1"}})", "04 02 41 31"}, Case{R"({"SetUid":["A1"]})", "04 02 41 31"},
        Case{R"({"SetUid":{"uid":""}})", "04 00"},
        Case{R"({"SetUid":{"uid":"A1","note":[1,{"x":null}]}})", "04 02 41 31"},
        Case{R"({"SetUid":{"note":{"deep":[[],{},"\ud800",1e999999999999]},"uid":"A1"}})", "04 02 41 31"},
        Case{R"({"SetUid":{"uid":"\"\\\/\b\f\n\r\t"}})", "04 08 22 5C 2F 08 0C 0A 0D 09"},
        Case{R"({"SetUid":{"uid":"\u0000"}})", "04 01 00"},
        Case{"{\"SetUid\":{\"uid\":\"\xC3\xA9\"}}", "04 02 C3 A9"},
        Case{R"({"SetUid":{"uid":"\ud83d\ude00"}})", "04 04 F0 9F 98 80"},
        Case{R"({"SetUid":{"uid":"\u00e9\u20ac"}})", "04 05 C3 A9 E2 82 AC"},
        Case{R"({"SetDriveBaseVelocity":[1.5,-1.5]})", "05 00 00 C0 3F 00 00 C0 BF"},
        Case{R"({"SetDriveBaseVelocity":{"left_velocity_rad_per_s":1.5,"right_velocity_rad_per_s":-1.5}})",
             "05 00 00 C0 3F 00 00 C0 BF"},
        Case{R"({"SetDriveBaseVelocity":{"right_velocity_rad_per_s":-1.5,"left_velocity_rad_per_s":1.5}})",
             "05 00 00 C0 3F 00 00 C0 BF"},
        Case{R"({"SetDriveBaseVelocity":[1,-2]})", "05 00 00 80 3F 00 00 00 C0"},
        Case{R"({"SetDriveBaseVelocity":[-0,0]})", "05 00 00 00 80 00 00 00 00"},
        Case{R"({"SetDriveBaseVelocity":[1e39,-1e39]})", "05 00 00 80 7F 00 00 80 FF"},
        Case{R"({"SetDriveBaseVelocity":[1e-400,-1e-50]})", "05 00 00 00 00 00 00 00 80"},
        // Integers convert directly; the same value with a fraction goes
        // through the nearest double and rounds differently.
        Case{R"({"SetDriveBaseVelocity":[1152921573326323713,1152921573326323713.0]})",
             "05 01 00 80 5D 00 00 80 5D"},
        Case{R"({"SetDriveBaseVelocity":[1.7976931348623158e308,1E-45]})", "05 00 00 80 7F 01 00 00 00"},
        // Exponents beyond 32 bits read as zero below one and over a zero significand.
        Case{R"({"SetDriveBaseVelocity":[1e-21474836480,1]})", "05 00 00 00 00 00 00 80 3F"},
        Case{R"({"SetDriveBaseVelocity":[0e99999999999,-0.0e+99999999999]})", "05 00 00 00 00 00 00 00 80"}));

class Refused : public testing::TestWithParam<Case> {};

TEST_P(Refused, GivesText) { EXPECT_EQ(outcome(GetParam().json), "error: " + GetParam().expected); }

#define VARIANTS \
    "expected one of `Ping`, `Pong`, `RequestNetworkScan`, `SetNetworkConnectionConfig`, `SetUid`, `SetDriveBaseVelocity`"

INSTANTIATE_TEST_SUITE_P(
    OuterObject, Refused,
    testing::Values(
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{"   ", "EOF while parsing a value at line 1 column 3"},
        Case{"\n\n", "EOF while parsing a value at line 3 column 0"},
        Case{"[1]", "expected value at line 1 column 1"},
        Case{"null", "expected value at line 1 column 1"},
        Case{"\xEF\xBB\xBF{\"Ping\":null}", "expected value at line 1 column 1"},
        Case{R"("SetUid")", "invalid type: unit variant, expected newtype variant"},
        Case{R"("SetDriveBaseVelocity")", "invalid type: unit variant, expected newtype variant"},
        Case{R"("Foo")", "unknown variant `Foo`, " VARIANTS " at line 1 column 5"},
        Case{R"("ping")", "unknown variant `ping`, " VARIANTS " at line 1 column 6"},
        Case{R"({"Foo":null})", "unknown variant `Foo`, " VARIANTS " at line 1 column 6"},
        Case{"{\n\"Foo\": null}", "unknown variant `Foo`, " VARIANTS " at line 2 column 5"},
        Case{"{\r\n\"Foo\": null}", "unknown variant `Foo`, " VARIANTS " at line 2 column 5"},
        Case{"{\r\"Foo\": null}", "unknown variant `Foo`, " VARIANTS " at line 1 column 7"},
        Case{"{\"P\xC3\xAFng\":null}", "unknown variant `P\xC3\xAFng`, " VARIANTS " at line 1 column 8"},
        Case{R"({"Fo\"o":null})", "unknown variant `Fo\"o`, " VARIANTS " at line 1 column 8"},
        Case{R"("Ping)", "EOF while parsing a string at line 1 column 5"},
        Case{R"("Ping" x)", "trailing characters at line 1 column 8"},
        Case{R"({"Ping":null} x)", "trailing characters at line 1 column 15"},
        Case{R"({"Ping":null}{})", "trailing characters at line 1 column 14"},
        Case{R"({"Ping" null})", "expected `:` at line 1 column 9"},
        Case{R"({"Ping")", "EOF while parsing an object at line 1 column 7"},
        Case{R"({"Ping":)", "EOF while parsing a value at line 1 column 8"},
        Case{R"({"Ping":null)", "EOF while parsing an object at line 1 column 12"},
        Case{"{\"Ping\":null\n", "EOF while parsing an object at line 2 column 0"},
        Case{"{", "EOF while parsing an object at line 1 column 1"},
        Case{"{}", "expected value at line 1 column 2"},
        Case{"{1:null}", "key must be a string at line 1 column 2"},
        Case{R"({"Ping":null,"Pong":null})", "expected value at line 1 column 12"},
        Case{R"({"Ping":null ,"Pong":null})", "expected value at line 1 column 13"},
        Case{R"({"Ping":{}})", "invalid type: map, expected unit at line 1 column 8"},
        Case{R"({"Ping":[]})", "invalid type: sequence, expected unit at line 1 column 8"},
        Case{R"({"Ping":5})", "invalid type: integer `5`, expected unit at line 1 column 9"},
        Case{R"({"Ping":"x"})", "invalid type: string \"x\", expected unit at line 1 column 11"},
        Case{R"({"Ping":false})", "invalid type: boolean `false`, expected unit at line 1 column 13"},
        Case{R"({"Ping":nul})", "expected ident at line 1 column 12"},
        Case{R"({"Ping":nul)", "EOF while parsing a value at line 1 column 11"},
        Case{R"({"Ping":x})", "expected value at line 1 column 9"},
        Case{R"({"Ping":1e400})", "number out of range at line 1 column 13"},
        Case{R"({"SetUid":"A1"})", "invalid type: string \"A1\", expected struct SetUid at line 1 column 14"},
        Case{R"({"SetUid":null})", "invalid type: null, expected struct SetUid at line 1 column 14"},
        Case{R"({"SetNetworkConnectionConfig":1})",
             "invalid type: integer `1`, expected struct SetNetworkConnectionConfig at line 1 column 31"},
        Case{R"({"SetDriveBaseVelocity":true})",
             "invalid type: boolean `true`, expected struct SetDriveBaseVelocity at line 1 column 28"}));

INSTANTIATE_TEST_SUITE_P(
    RecordObject, Refused,
    testing::Values(
        Case{R"({"SetUid":{}})", "missing field `uid` at line 1 column 12"},
        Case{R"({"SetUid":{"x":1} })", "missing field `uid` at line 1 column 17"},
        Case{R"({"SetNetworkConnectionConfig":{}})", "missing field `ssid` at line 1 column 32"},
        Case{R"({"SetNetworkConnectionConfig":{"ssid":"a"}})", "missing field `password` at line 1 column 42"},
        Case{R"({"SetDriveBaseVelocity":{"right_velocity_rad_per_s":1}})",
             "missing field `left_velocity_rad_per_s` at line 1 column 54"},
        Case{R"({"SetUid":{"uid":"A1","uid":"B2"}})", "duplicate field `uid` at line 1 column 27"},
        Case{R"({"SetUid":{"uid":"A1","uid" :"B2"}})", "duplicate field `uid` at line 1 column 28"},
        Case{R"({"SetUid":{"uid":"A1","u\u0069d":5}})", "duplicate field `uid` at line 1 column 32"},
        Case{R"({"SetNetworkConnectionConfig":{"password":"","ssid":"a","password":1}})",
             "duplicate field `password` at line 1 column 66"},
        Case{R"({"SetUid":{"uid":5}})", "invalid type: integer `5`, expected a string at line 1 column 18"},
        Case{"{\"SetUid\":{\"\xC3\xA9\":1,\"uid\":5}}",
             "invalid type: integer `5`, expected a string at line 1 column 25"},
        Case{"{\n\"SetUid\":\n{\"uid\":\n5}}", "invalid type: integer `5`, expected a string at line 4 column 1"},
        Case{R"({"SetUid":{"uid":["x"]}})", "invalid type: sequence, expected a string at line 1 column 17"},
        Case{R"({"SetUid":{"uid":[1,}})", "invalid type: sequence, expected a string at line 1 column 17"},
        Case{R"({"SetUid":{"uid":{}}})", "invalid type: map, expected a string at line 1 column 17"},
        Case{R"({"SetUid":{"uid":null}})", "invalid type: null, expected a string at line 1 column 21"},
        Case{R"({"SetUid":{"uid":true}})", "invalid type: boolean `true`, expected a string at line 1 column 21"},
        Case{R"({"SetUid":{"uid":-5}})", "invalid type: integer `-5`, expected a string at line 1 column 19"},
        Case{R"({"SetUid":{"uid":-0}})", "invalid type: floating point `-0.0`, expected a string at line 1 column 19"},
        Case{R"({"SetUid":{"uid":1e16}})", "invalid type: floating point `1e+16`, expected a string at line 1 column 21"},
        Case{R"({"SetUid":{"uid":x}})", "expected value at line 1 column 18"},
        Case{R"({"SetUid":{"uid":})", "expected value at line 1 column 18"},
        Case{R"({"SetUid":{"uid":)", "EOF while parsing a value at line 1 column 17"},
        Case{R"({"SetUid":{"uid")", "EOF while parsing an object at line 1 column 16"},
        Case{R"({"SetUid":{"uid" "A"}})", "expected `:` at line 1 column 18"},
        Case{R"({"SetUid":{)", "EOF while parsing an object at line 1 column 11"},
        Case{R"({"SetUid":{"uid":"A1")", "EOF while parsing an object at line 1 column 21"},
        Case{R"({"SetUid":{"uid":"A1",)", "EOF while parsing a value at line 1 column 22"},
        Case{R"({"SetUid":{"uid":"A1",}})", "trailing comma at line 1 column 23"},
        Case{R"({"SetUid":{"uid":"A1", }})", "trailing comma at line 1 column 24"},
        Case{R"({"SetUid":{"uid":"A1",1}})", "key must be a string at line 1 column 23"},
        Case{R"({"SetUid":{uid:"A1"}})", "key must be a string at line 1 column 12"},
        Case{R"({"SetUid":{"uid":"A1" "x":1}})", "expected `,` or `}` at line 1 column 23"},
        Case{R"({"SetUid":{"uid":"A1"}x)", "expected value at line 1 column 22"},
        Case{R"({"SetUid":{"uid":"A1"}} x)", "trailing characters at line 1 column 25"},
        Case{R"({"SetDriveBaseVelocity":{"left_velocity_rad_per_s":"1"}})",
             "invalid type: string \"1\", expected f32 at line 1 column 54"},
        Case{R"({"SetDriveBaseVelocity":{"left_velocity_rad_per_s":1e400}})",
             "number out of range at line 1 column 56"}));

INSTANTIATE_TEST_SUITE_P(
    RecordArray, Refused,
    testing::Values(
        Case{R"({"SetUid":[]})", "invalid length 0, expected struct SetUid with 1 element at line 1 column 12"},
        Case{R"({"SetUid":[ ] })", "invalid length 0, expected struct SetUid with 1 element at line 1 column 13"},
        Case{R"({"SetNetworkConnectionConfig":["a"]})",
             "invalid length 1, expected struct SetNetworkConnectionConfig with 2 elements at line 1 column 35"},
        Case{R"({"SetDriveBaseVelocity":[]})",
             "invalid length 0, expected struct SetDriveBaseVelocity with 2 elements at line 1 column 26"},
        Case{R"({"SetDriveBaseVelocity":[1]})",
             "invalid length 1, expected struct SetDriveBaseVelocity with 2 elements at line 1 column 27"},
        Case{R"({"SetUid":["A1","B2"]})", "trailing characters at line 1 column 17"},
        Case{R"({"SetUid":["A1",]})", "trailing comma at line 1 column 17"},
        Case{R"({"SetUid":["A1",)", "trailing characters at line 1 column 16"},
        Case{R"({"SetUid":["A1", )", "trailing characters at line 1 column 17"},
        Case{R"({"SetUid":["A1" x]})", "trailing characters at line 1 column 17"},
        Case{R"({"SetUid":["A1")", "EOF while parsing a list at line 1 column 15"},
        Case{R"({"SetUid":[)", "EOF while parsing a list at line 1 column 11"},
        Case{R"({"SetUid":[5]})", "invalid type: integer `5`, expected a string at line 1 column 12"},
        Case{R"({"SetDriveBaseVelocity":[1 2]})", "expected `,` or `]` at line 1 column 28"},
        Case{R"({"SetDriveBaseVelocity":[1,]})", "trailing comma at line 1 column 28"},
        Case{R"({"SetDriveBaseVelocity":[1,)", "EOF while parsing a value at line 1 column 27"},
        Case{R"({"SetDriveBaseVelocity":[1)", "EOF while parsing a list at line 1 column 26"},
        Case{R"({"SetDriveBaseVelocity":[1,2,3]})", "trailing characters at line 1 column 30"},
        Case{R"({"SetDriveBaseVelocity":[null,1]})", "invalid type: null, expected f32 at line 1 column 29"},
        Case{R"({"SetDriveBaseVelocity":[[1],1]})", "invalid type: sequence, expected f32 at line 1 column 25"},
        Case{R"({"SetDriveBaseVelocity":["a\"b\\c\td\re\nf\u0000g\u0001h\u007fi\u00e9"]})",
             "invalid type: string \"a\\\"b\\\\c\\td\\re\\nf\\0g\\u{1}h\\u{7f}i\xC3\xA9\", expected f32 at line 1 "
             "column 70"},
        Case{R"({"SetDriveBaseVelocity":["\u001f\u0085\u200b\ufffd"]})",
             "invalid type: string \"\\u{1f}\\u{85}\\u{200b}\xEF\xBF\xBD\", expected f32 at line 1 column 51"},
        Case{R"({"SetDriveBaseVelocity":[1e21474836470,1]})", "number out of range at line 1 column 38"},
        Case{R"({"SetDriveBaseVelocity":[1e21474836480,1]})", "number out of range at line 1 column 37"},
        Case{R"({"SetDriveBaseVelocity":[1.7976931348623159e308,1]})", "number out of range at line 1 column 47"}));

// Strings read as values check surrogate pairing; the refusal positions.
INSTANTIATE_TEST_SUITE_P(
    Surrogates, Refused,
    testing::Values(
        Case{R"({"SetUid":{"uid":"\ud800"}})", "unexpected end of hex escape at line 1 column 25"},
        Case{R"({"SetUid":{"uid":"\udc00"}})", "lone leading surrogate in hex escape at line 1 column 24"},
        Case{R"({"SetUid":{"uid":"\ud800\u0041"}})", "lone leading surrogate in hex escape at line 1 column 30"},
        Case{R"({"SetUid":{"uid":"\ud800\ud800"}})", "lone leading surrogate in hex escape at line 1 column 30"},
        Case{R"({"SetUid":{"uid":"\ud800\n"}})", "unexpected end of hex escape at line 1 column 26"},
        Case{R"({"SetUid":{"uid":"\ud800)", "EOF while parsing a string at line 1 column 24"},
        Case{R"({"SetUid":{"uid":"\ud800\)", "EOF while parsing a string at line 1 column 25"},
        Case{R"({"SetUid":{"uid":"\ud800\u12)", "EOF while parsing a string at line 1 column 28"},
        Case{R"({"SetUid":{"uid":"\ud800\uzzzz"}})", "invalid escape at line 1 column 30"},
        Case{R"({"\udc00":null})", "lone leading surrogate in hex escape at line 1 column 8"},
        Case{R"({"SetUid":{"\udc00":1}})", "lone leading surrogate in hex escape at line 1 column 18"}));

TEST(HostMessage, LongUidEncodesWithVarintLength) {
    const std::string uid(200, 'u');
    const auto parsed = parse_host_message(R"({"SetUid":{"uid":")" + uid + "\"}}");
    ASSERT_TRUE(parsed.has_value());
    Bytes body;
    encode_host_message(*parsed, body);
    ASSERT_EQ(body.size(), 203U);
    EXPECT_EQ(hex(Bytes(body.begin(), body.begin() + 3)), "04 C8 01");
    EXPECT_EQ(std::string(body.begin() + 3, body.end()), uid);
}

TEST(HostMessage, EncodeAppendsBehindExistingBytes) {
    Bytes body{0xAA};
    encode_host_message(plim::host::SetUid{"A1"}, body);
    EXPECT_EQ(hex(body), "AA 04 02 41 31");
}

// A skipped member value may nest to any depth without exhausting the stack;
// its grammar is still checked at the deepest level.
TEST(HostMessage, DeeplyNestedSkippedValues) {
    constexpr std::size_t depth = 100000;
    const std::string prefix = R"({"SetUid":{"uid":"A","x":)";
    const std::string arrays = prefix + std::string(depth, '[') + std::string(depth, ']') + "}}";
    EXPECT_EQ(outcome(arrays), "04 01 41");

    std::string objects = prefix;
    for (std::size_t i = 0; i < depth; ++i) objects += R"({"a":)";
    objects += "1" + std::string(depth, '}') + "}}";
    EXPECT_EQ(outcome(objects), "04 01 41");

    const std::string unbalanced = prefix + std::string(depth, '[') + std::string(depth - 1, ']') + "}}";
    EXPECT_EQ(outcome(unbalanced), "error: expected `,` or `]` at line 1 column 200025");

    const std::string unclosed = prefix + std::string(depth, '[');
    EXPECT_EQ(outcome(unclosed), "error: EOF while parsing a list at line 1 column 100025");

    const std::string bad_leaf = prefix + std::string(depth, '[') + "tru" + std::string(depth, ']') + "}}";
    EXPECT_EQ(outcome(bad_leaf), "error: expected ident at line 1 column 100029");
}

// The size a body is reserved at is the size it comes out: texts across the
// varint length boundaries, every variant.
TEST(HostMessage, EncodedSizeIsTheBodySize) {
    using namespace plim::host;
    std::vector<HostMessage> messages = {Ping{}, Pong{}, RequestNetworkScan{}, SetDriveBaseVelocity{1.5f, -1.5f}};
    for (const std::size_t length : {0, 1, 127, 128, 16383, 16384}) {
        messages.push_back(SetUid{std::string(length, 'u')});
        messages.push_back(SetNetworkConnectionConfig{std::string(length, 's'), std::string(length / 2, 'p')});
    }
    for (const HostMessage& message : messages) {
        plim::Bytes body;
        encode_host_message(message, body);
        EXPECT_EQ(plim::body::encoded_size(message), body.size()) << "variant " << message.index();
    }
}

}  // namespace
