#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "json/writer.hpp"

namespace {

using plim::JsonWriter;

std::string string_json(std::string_view text) {
    JsonWriter w;
    w.string(text);
    return w.take();
}

struct EscapeCase {
    std::string byte;  // one byte, or a multi-byte character
    std::string written;
};

class StringEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscape, AloneIsQuoted) {
    EXPECT_EQ(string_json(GetParam().byte), "\"" + GetParam().written + "\"");
}

// The scan for bytes to escape works eight bytes at a time, so every
// position within and across a word, and both ends, must agree.
TEST_P(StringEscape, AtEveryPositionOfLongerTexts) {
    const EscapeCase& c = GetParam();
    for (std::size_t before = 0; before <= 17; ++before) {
        for (std::size_t after : {0, 1, 7, 8, 9}) {
            const std::string text = std::string(before, 'a') + c.byte + std::string(after, 'z');
            const std::string expected = "\"" + std::string(before, 'a') + c.written + std::string(after, 'z') + "\"";
            ASSERT_EQ(string_json(text), expected) << "before=" << before << " after=" << after;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, StringEscape,
    ::testing::Values(EscapeCase{"\"", "\\\""}, EscapeCase{"\\", "\\\\"}, EscapeCase{"\b", "\\b"},
                      EscapeCase{"\t", "\\t"}, EscapeCase{"\n", "\\n"}, EscapeCase{"\f", "\\f"},
                      EscapeCase{"\r", "\\r"}, EscapeCase{std::string(1, '\0'), "\\u0000"},
                      EscapeCase{"\x01", "\\u0001"}, EscapeCase{"\x0B", "\\u000b"},
                      EscapeCase{"\x1F", "\\u001f"}, EscapeCase{"\x1A", "\\u001a"},
                      // written unchanged, including bytes whose low bits look
                      // like an escaped byte's
                      EscapeCase{" ", " "}, EscapeCase{"!", "!"}, EscapeCase{"#", "#"},
                      EscapeCase{"/", "/"}, EscapeCase{"[", "["}, EscapeCase{"]", "]"},
                      EscapeCase{"\x7F", "\x7F"}, EscapeCase{"\xC2\xA2", "\xC2\xA2"},
                      EscapeCase{"\xC3\x9C", "\xC3\x9C"}, EscapeCase{"\xE2\x82\xAC", "\xE2\x82\xAC"},
                      EscapeCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}));

TEST(StringEscape, MixedText) {
    EXPECT_EQ(string_json("a\"b\\c\td\x01"), R"("a\"b\\c\td\u0001")");
    EXPECT_EQ(string_json(""), R"("")");
    EXPECT_EQ(string_json("\"\"\n\n"), R"("\"\"\n\n")");
}

struct LayoutCase {
    const char* name;
    void (*write)(JsonWriter&);
    const char* text;
};

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, PlacesSeparators) {
    JsonWriter w;
    GetParam().write(w);
    EXPECT_EQ(w.take(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, Layout,
    ::testing::Values(
        LayoutCase{"EmptyObject", [](JsonWriter& w) { w.begin_object(); w.end_object(); }, "{}"},
        LayoutCase{"EmptyArray", [](JsonWriter& w) { w.begin_array(); w.end_array(); }, "[]"},
        LayoutCase{"Null", [](JsonWriter& w) { w.null(); }, "null"},
        LayoutCase{"U8s",
                   [](JsonWriter& w) {
                       w.begin_array();
                       for (int v : {0, 7, 9, 10, 99, 100, 200, 255}) w.u8(static_cast<std::uint8_t>(v));
                       w.end_array();
                   },
                   "[0,7,9,10,99,100,200,255]"},
        LayoutCase{"Members",
                   [](JsonWriter& w) {
                       w.begin_object();
                       w.key("a");
                       w.null();
                       w.key("b\n");
                       w.f32(-0.0f);
                       w.key("c");
                       w.string("x");
                       w.end_object();
                   },
                   R"({"a":null,"b\n":-0.0,"c":"x"})"},
        LayoutCase{"Nested",
                   [](JsonWriter& w) {
                       w.begin_object();
                       w.key("a");
                       w.begin_array();
                       w.begin_object();
                       w.end_object();
                       w.begin_array();
                       w.end_array();
                       w.begin_object();
                       w.key("b");
                       w.begin_array();
                       w.u8(1);
                       w.end_array();
                       w.end_object();
                       w.end_array();
                       w.key("c");
                       w.begin_object();
                       w.end_object();
                       w.key("d");
                       w.f32(std::numeric_limits<float>::infinity());
                       w.end_object();
                   },
                   R"({"a":[{},[],{"b":[1]}],"c":{},"d":null})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonWriter, GrowsPastInitialCapacity) {
    JsonWriter w;
    w.begin_array();
    std::string expected = "[";
    for (int i = 0; i < 300; ++i) {
        w.string("0123456789");
        w.f32(0.1f);
        expected += std::string(i ? "," : "") + "\"0123456789\",0.1";
    }
    w.string(std::string(5000, '\x01'));
    w.end_array();
    std::string escaped;
    for (int i = 0; i < 5000; ++i) escaped += "\\u0001";
    expected += ",\"" + escaped + "\"]";
    EXPECT_EQ(w.take(), expected);
}

// Texts ending on either side of the writer's inline room: the part written
// before the move to the heap must survive it, in view() and in take(), and
// the writer is reusable afterwards.
TEST(JsonWriter, TextSurvivesLeavingInlineRoom) {
    for (std::size_t total = plim::JSON_OUTPUT_INITIAL_CAPACITY - 40; total <= plim::JSON_OUTPUT_INITIAL_CAPACITY + 40;
         ++total) {
        JsonWriter w;
        std::string expected;
        w.begin_array();
        expected += '[';
        std::size_t item = 0;
        while (expected.size() + 6 < total) {
            const std::string text(1, static_cast<char>('a' + item++ % 26));
            if (expected.size() > 1) expected += ',';
            w.string(text);
            expected += '"' + text + '"';
        }
        w.end_array();
        expected += ']';
        EXPECT_EQ(w.view(), expected) << total;
        EXPECT_EQ(w.take(), expected) << total;
        w.u8(7);
        EXPECT_EQ(w.take(), "7") << total;
    }
}

// With a second room: texts that end inside the first room, inside the
// second, and past it on the heap all come out whole, and nothing is written
// beyond the second room.
TEST(JsonWriter, SecondRoomBeforeTheHeap) {
    for (const std::size_t items : {10, 40, 200, 2000}) {
        std::string room(256 + 8, '#');
        JsonWriter w(std::span<char>(room.data(), 256));
        std::string expected = "[";
        w.begin_array();
        for (std::size_t i = 0; i < items; ++i) {
            w.f32(0.5f);
            expected += i ? ",0.5" : "0.5";
        }
        w.end_array();
        expected += ']';
        EXPECT_EQ(w.view(), expected) << items;
        EXPECT_EQ(room.substr(256), "########") << items;
    }
}

TEST(JsonWriter, StartsAfreshAfterTake) {
    JsonWriter w;
    w.begin_array();
    w.u8(1);
    w.end_array();
    EXPECT_EQ(w.take(), "[1]");
    w.u8(2);
    EXPECT_EQ(w.take(), "2");
    w.begin_object();
    w.key("k");
    EXPECT_EQ(w.take(), R"({"k":)");
    w.null();
    EXPECT_EQ(w.take(), "null");
}

struct PacketCase {
    std::vector<std::uint8_t> bytes;
    std::string text;
};

class PacketJson : public ::testing::TestWithParam<PacketCase> {};

TEST_P(PacketJson, WritesByteArray) {
    EXPECT_EQ(plim::write_packet_json(GetParam().bytes), GetParam().text);
}

// Into caller storage of exactly packet_json_max_len bytes: the same text,
// and nothing written past the bound.
TEST_P(PacketJson, WritesIntoCallerStorage) {
    const std::size_t bound = plim::packet_json_max_len(GetParam().bytes.size());
    std::string storage(bound + 8, '#');
    const std::size_t length = plim::write_packet_json(GetParam().bytes, storage.data());
    EXPECT_EQ(storage.substr(0, length), GetParam().text);
    EXPECT_EQ(storage.substr(bound), "########");
}

std::vector<std::uint8_t> all_bytes() {
    std::vector<std::uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

std::string all_bytes_text() {
    std::string text = "[";
    for (int i = 0; i < 256; ++i) text += (i ? "," : "") + std::to_string(i);
    return text + "]";
}

INSTANTIATE_TEST_SUITE_P(Packets, PacketJson,
                         ::testing::Values(PacketCase{{}, "[]"}, PacketCase{{0}, "[0]"}, PacketCase{{255}, "[255]"},
                                           PacketCase{{0, 10, 255}, "[0,10,255]"},
                                           PacketCase{{1, 1, 2, 2, 1, 1, 1, 1, 0}, "[1,1,2,2,1,1,1,1,0]"},
                                           PacketCase{std::vector<std::uint8_t>(1400, 200),
                                                      "[" + [] {
                                                          std::string s = "200";
                                                          for (int i = 1; i < 1400; ++i) s += ",200";
                                                          return s;
                                                      }() + "]"},
                                           PacketCase{all_bytes(), all_bytes_text()}));

}  // namespace
