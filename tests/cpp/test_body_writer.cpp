#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <string>

#include "link/body_reader.hpp"
#include "link/body_writer.hpp"

namespace plim {
namespace {

struct VarintCase {
    std::uint64_t value;
    Bytes bytes;
};

class WriteVarint : public testing::TestWithParam<VarintCase> {};

TEST_P(WriteVarint, ShortestForm) {
    Bytes out{0xEE};  // appends behind what is already there
    put_varint(out, GetParam().value);
    Bytes expected{0xEE};
    expected.insert(expected.end(), GetParam().bytes.begin(), GetParam().bytes.end());
    EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteVarint,
    testing::Values(VarintCase{0, {0x00}}, VarintCase{127, {0x7F}}, VarintCase{128, {0x80, 0x01}},
                    VarintCase{300, {0xAC, 0x02}}, VarintCase{16383, {0xFF, 0x7F}},
                    VarintCase{16384, {0x80, 0x80, 0x01}},
                    VarintCase{4294967295u, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
                    VarintCase{~std::uint64_t{0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}}));

TEST(WriteVarint, RoundTripsThroughReader) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 10000; ++i) {
        // Spread the values over every encoded length.
        const std::uint64_t value = rng() >> (i % 64);
        Bytes out;
        put_varint(out, value);
        BodyReader reader(out);
        ASSERT_EQ(reader.read_varint64(), Decoded<std::uint64_t>(value));
        ASSERT_EQ(reader.remaining(), 0u);
    }
}

struct FloatCase {
    std::uint32_t bits;
    Bytes bytes;
};

class WriteF32 : public testing::TestWithParam<FloatCase> {};

TEST_P(WriteF32, LittleEndianBitPattern) {
    Bytes out;
    put_f32(out, std::bit_cast<float>(GetParam().bits));
    EXPECT_EQ(out, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Table, WriteF32,
                         testing::Values(FloatCase{0x3F800000u, {0x00, 0x00, 0x80, 0x3F}},      // 1.0
                                         FloatCase{0x80000000u, {0x00, 0x00, 0x00, 0x80}},      // -0.0
                                         FloatCase{0x7FC00001u, {0x01, 0x00, 0xC0, 0x7F}},      // NaN payload kept
                                         FloatCase{0xFF800000u, {0x00, 0x00, 0x80, 0xFF}},      // -inf
                                         FloatCase{0x00000001u, {0x01, 0x00, 0x00, 0x00}}));    // subnormal

struct TextCase {
    std::string text;
    Bytes bytes;
};

class WriteText : public testing::TestWithParam<TextCase> {};

TEST_P(WriteText, LengthThenBytes) {
    Bytes out;
    put_text(out, GetParam().text);
    EXPECT_EQ(out, GetParam().bytes);
}

Bytes long_text_bytes() {
    Bytes b(130, 'z');
    b[0] = 0x80;
    b[1] = 0x01;
    return b;
}

INSTANTIATE_TEST_SUITE_P(Table, WriteText,
                         testing::Values(TextCase{"", {0x00}}, TextCase{"ok", {0x02, 'o', 'k'}},
                                         TextCase{"h\xC3\xA9", {0x03, 'h', 0xC3, 0xA9}},
                                         TextCase{std::string(128, 'z'), long_text_bytes()}));

}  // namespace
}  // namespace plim
