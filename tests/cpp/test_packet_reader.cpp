// Packets given as JSON arrays of byte values.
#include <gtest/gtest.h>

#include <string>

#include "json/json_error.hpp"
#include "json/packet_reader.hpp"

namespace {

using plim::Bytes;

// The packet's bytes, read into storage of exactly the room the reader asks for.
plim::JsonResult<Bytes> parse_packet(std::string_view text) {
    Bytes bytes(plim::packet_capacity(text));
    plim::JsonResult<std::size_t> count = plim::parse_packet_into(text, bytes.data());
    if (!count) return std::unexpected(std::move(count.error()));
    bytes.resize(*count);
    return bytes;
}

struct Case {
    std::string json;
    std::string expected;  // the refusal's display text
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.json; }

struct Accepted {
    std::string json;
    Bytes bytes;
};

void PrintTo(const Accepted& c, std::ostream* os) { *os << c.json; }

class PacketAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(PacketAccepted, GivesBytes) {
    const auto parsed = parse_packet(GetParam().json);
    ASSERT_TRUE(parsed.has_value()) << plim::json_error_text(parsed.error());
    EXPECT_EQ(*parsed, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, PacketAccepted,
    testing::Values(Accepted{"[]", {}}, Accepted{" [ ] ", {}}, Accepted{"[0]", {0}},
                    Accepted{"[0,1,9,10,99,100,199,255]", {0, 1, 9, 10, 99, 100, 199, 255}},
                    Accepted{" \t\r\n[ 1 ,\n2\r\n,\t3 ] \n", {1, 2, 3}},
                    // Numbers near the end of the text, where no byte follows them.
                    Accepted{"[7]", {7}}, Accepted{"[255]", {255}}, Accepted{"[1,25]", {1, 25}},
                    Accepted{"[1,\n255\n]", {1, 255}}));

class PacketRefused : public testing::TestWithParam<Case> {};

TEST_P(PacketRefused, GivesText) {
    const auto parsed = parse_packet(GetParam().json);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(plim::json_error_text(parsed.error()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Elements, PacketRefused,
    testing::Values(
        Case{"[1,256]", "invalid value: integer `256`, expected u8 at line 1 column 6"},
        Case{"[256", "invalid value: integer `256`, expected u8 at line 1 column 4"},
        Case{"[1000]", "invalid value: integer `1000`, expected u8 at line 1 column 5"},
        Case{"[18446744073709551615]", "invalid value: integer `18446744073709551615`, expected u8 at line 1 column 21"},
        Case{"[-1]", "invalid value: integer `-1`, expected u8 at line 1 column 3"},
        Case{"[-9223372036854775808]", "invalid value: integer `-9223372036854775808`, expected u8 at line 1 column 21"},
        Case{"[1.5]", "invalid type: floating point `1.5`, expected u8 at line 1 column 4"},
        Case{"[-0]", "invalid type: floating point `-0.0`, expected u8 at line 1 column 3"},
        Case{"[1e2]", "invalid type: floating point `100.0`, expected u8 at line 1 column 4"},
        Case{"[1e16]", "invalid type: floating point `1e+16`, expected u8 at line 1 column 5"},
        Case{"[18446744073709551616]",
             "invalid type: floating point `1.8446744073709552e+19`, expected u8 at line 1 column 21"},
        Case{"[-9223372036854775809]",
             "invalid type: floating point `-9.223372036854776e+18`, expected u8 at line 1 column 21"},
        Case{"[0e99999999999]", "invalid type: floating point `0.0`, expected u8 at line 1 column 14"},
        Case{"[1e-99999999999]", "invalid type: floating point `0.0`, expected u8 at line 1 column 15"},
        Case{"[1e400]", "number out of range at line 1 column 6"},
        Case{"[1e99999999999]", "number out of range at line 1 column 13"},
        Case{"[\"1\"]", "invalid type: string \"1\", expected u8 at line 1 column 4"},
        Case{"[1,\"\xC3\xA9\"]", "invalid type: string \"\xC3\xA9\", expected u8 at line 1 column 7"},
        Case{"[null]", "invalid type: null, expected u8 at line 1 column 5"},
        Case{"[true]", "invalid type: boolean `true`, expected u8 at line 1 column 5"},
        Case{"[[1]]", "invalid type: sequence, expected u8 at line 1 column 1"},
        Case{"[{}]", "invalid type: map, expected u8 at line 1 column 1"},
        Case{"[1,\n2,\n300]", "invalid value: integer `300`, expected u8 at line 3 column 3"}));

INSTANTIATE_TEST_SUITE_P(
    Syntax, PacketRefused,
    testing::Values(
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{"   ", "EOF while parsing a value at line 1 column 3"},
        Case{"x", "expected value at line 1 column 1"},
        Case{"{}", "invalid type: map, expected a sequence at line 1 column 0"},
        Case{" {", "invalid type: map, expected a sequence at line 1 column 1"},
        Case{"\"abc\"", "invalid type: string \"abc\", expected a sequence at line 1 column 5"},
        Case{"5", "invalid type: integer `5`, expected a sequence at line 1 column 1"},
        Case{"null", "invalid type: null, expected a sequence at line 1 column 4"},
        Case{"nul", "EOF while parsing a value at line 1 column 3"},
        Case{"[", "EOF while parsing a list at line 1 column 1"},
        Case{"[1", "EOF while parsing a list at line 1 column 2"},
        Case{"[25", "EOF while parsing a list at line 1 column 3"},
        Case{"[1,", "EOF while parsing a value at line 1 column 3"},
        Case{"[1, ", "EOF while parsing a value at line 1 column 4"},
        Case{"[-", "EOF while parsing a value at line 1 column 2"},
        Case{"[2.", "EOF while parsing a value at line 1 column 3"},
        Case{"[2e", "EOF while parsing a value at line 1 column 3"},
        Case{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        Case{"[1,2,]", "trailing comma at line 1 column 6"},
        Case{"[1,2, \n]", "trailing comma at line 2 column 1"},
        Case{"[,1]", "expected value at line 1 column 2"},
        Case{"[1,,2]", "expected value at line 1 column 4"},
        Case{"[+1]", "expected value at line 1 column 2"},
        Case{"[.5]", "expected value at line 1 column 2"},
        Case{"[00]", "invalid number at line 1 column 3"},
        Case{"[0255]", "invalid number at line 1 column 3"},
        Case{"[-a]", "invalid number at line 1 column 3"},
        Case{"[1.]", "invalid number at line 1 column 4"},
        Case{"[1.e5]", "invalid number at line 1 column 4"},
        Case{"[1e]", "invalid number at line 1 column 4"},
        Case{"[1e+]", "invalid number at line 1 column 5"},
        Case{"[1]x", "trailing characters at line 1 column 4"},
        Case{"[1] [2]", "trailing characters at line 1 column 5"},
        Case{"[1]\n\n]", "trailing characters at line 3 column 1"},
        // The first problem from the left decides, even with a worse one after it.
        Case{"[1,256,\"x]", "invalid value: integer `256`, expected u8 at line 1 column 6"},
        Case{"[1,2 3,-1]", "expected `,` or `]` at line 1 column 6"}));

// Elements inside a long run of plain ones: whatever stops the fast reading of
// such a run must be refused exactly where a lone element would be.
INSTANTIATE_TEST_SUITE_P(
    InsideRuns, PacketRefused,
    testing::Values(
        Case{"[1,2,3,4,5,6,7,8,],", "trailing comma at line 1 column 18"},
        Case{"[1,2,],3,4,5,6,7]", "trailing comma at line 1 column 6"},
        Case{"[1,2,3,,4,5,6,7]", "expected value at line 1 column 8"},
        Case{"[10,20,30,040,50,60,70]", "invalid number at line 1 column 12"},
        Case{"[0,0,0,00,0,0,0]", "invalid number at line 1 column 9"},
        Case{"[1,2,3,256,5,6,7]", "invalid value: integer `256`, expected u8 at line 1 column 10"},
        Case{"[100,200,300,4,5,6]", "invalid value: integer `300`, expected u8 at line 1 column 12"},
        Case{"[255,255,255,2550,1,2]", "invalid value: integer `2550`, expected u8 at line 1 column 17"},
        Case{"[1,2,3,-4,5,6,7]", "invalid value: integer `-4`, expected u8 at line 1 column 9"},
        Case{"[1,2,3,4.5,6,7,8]", "invalid type: floating point `4.5`, expected u8 at line 1 column 10"},
        Case{"[1,2,3,4e1,6,7,8]", "invalid type: floating point `40.0`, expected u8 at line 1 column 10"},
        Case{"[1,2,3,4E1,6,7,8]", "invalid type: floating point `40.0`, expected u8 at line 1 column 10"},
        Case{"[1,2,3,\"4\",5,6,7]", "invalid type: string \"4\", expected u8 at line 1 column 10"},
        Case{"[12,34,56,78,9x,1,2]", "expected `,` or `]` at line 1 column 15"},
        Case{"[1,2,3,4,5,6,7,8,9 9]", "expected `,` or `]` at line 1 column 20"},
        Case{"[1,2,3,4,5,6,7,8,9", "EOF while parsing a list at line 1 column 18"},
        Case{"[1,2,3,4,5,6,7,8,9,", "EOF while parsing a value at line 1 column 19"},
        Case{"[1,2,3,4,5,6,7,8]x", "trailing characters at line 1 column 18"}));

// Every byte value once, in runs broken by whitespace at varying places, read
// both into a vector and into caller storage sized by packet_capacity.
TEST(Packet, EveryValueInRunsAndIntoCallerStorage) {
    Bytes expected;
    std::string json = "[";
    for (int v = 0; v < 256; ++v) {
        expected.push_back(static_cast<std::uint8_t>(v));
        if (v > 0) json += v % 7 == 0 ? " , " : ",";
        json += std::to_string(v);
    }
    json += ']';
    const auto parsed = parse_packet(json);
    ASSERT_TRUE(parsed.has_value()) << plim::json_error_text(parsed.error());
    EXPECT_EQ(*parsed, expected);

    Bytes storage(plim::packet_capacity(json));
    const auto count = plim::parse_packet_into(json, storage.data());
    ASSERT_TRUE(count.has_value());
    storage.resize(*count);
    EXPECT_EQ(storage, expected);
}

TEST(Packet, FullSizePacketReadsBack) {
    Bytes expected;
    std::string json = "[";
    for (int i = 0; i < 1400; ++i) {
        const auto byte = static_cast<std::uint8_t>((i * 37 + 11) % 256);
        expected.push_back(byte);
        if (i > 0) json += ',';
        json += std::to_string(byte);
    }
    json += ']';
    const auto parsed = parse_packet(json);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, expected);
}

}  // namespace
