#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "link/body_reader.hpp"
#include "link/postcard_error.hpp"

namespace plim {
namespace {

constexpr PostcardError END = PostcardError::EndOfInput;
constexpr PostcardError TOO_LONG = PostcardError::VarintTooLong;

template <class T>
using Expect = std::variant<T, PostcardError>;

template <class T>
Expect<T> flatten(const Decoded<T>& got) {
    if (got) return *got;
    return got.error();
}

template <class T>
struct ReadCase {
    const char* name;
    Bytes input;
    Expect<T> expected;
    std::size_t left;  // bytes remaining after a successful read
};

template <class T>
std::string case_name(const testing::TestParamInfo<ReadCase<T>>& info) {
    return info.param.name;
}

using Varint32Case = ReadCase<std::uint32_t>;
class ReadVarint32 : public testing::TestWithParam<Varint32Case> {};

TEST_P(ReadVarint32, Table) {
    BodyReader reader(GetParam().input);
    EXPECT_EQ(flatten(reader.read_varint32()), GetParam().expected);
    if (std::holds_alternative<std::uint32_t>(GetParam().expected)) {
        EXPECT_EQ(reader.remaining(), GetParam().left);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadVarint32,
    testing::Values(Varint32Case{"zero", {0x00}, 0u, 0}, Varint32Case{"max_one_byte", {0x7F, 0x99}, 127u, 1},
                    Varint32Case{"v300", {0xAC, 0x02}, 300u, 0},
                    Varint32Case{"overlong_zero", {0x80, 0x00}, 0u, 0},
                    Varint32Case{"overlong_one", {0x81, 0x80, 0x00, 0x05}, 1u, 1},
                    Varint32Case{"u32_max", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 4294967295u, 0},
                    Varint32Case{"fifth_byte_0x10", {0xFF, 0xFF, 0xFF, 0xFF, 0x10}, TOO_LONG, 0},
                    Varint32Case{"fifth_byte_continues", {0x80, 0x80, 0x80, 0x80, 0x80}, TOO_LONG, 0},
                    Varint32Case{"fifth_byte_continues_more", {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, TOO_LONG, 0},
                    Varint32Case{"empty", {}, END, 0}, Varint32Case{"lone_continuation", {0x80}, END, 0},
                    Varint32Case{"ends_after_four", {0xFF, 0xFF, 0xFF, 0xFF}, END, 0}),
    case_name<std::uint32_t>);

using Varint64Case = ReadCase<std::uint64_t>;
class ReadVarint64 : public testing::TestWithParam<Varint64Case> {};

TEST_P(ReadVarint64, Table) {
    BodyReader reader(GetParam().input);
    EXPECT_EQ(flatten(reader.read_varint64()), GetParam().expected);
    if (std::holds_alternative<std::uint64_t>(GetParam().expected)) {
        EXPECT_EQ(reader.remaining(), GetParam().left);
    }
}

Bytes ten_bytes(std::uint8_t last) {
    Bytes b(9, 0xFF);
    b.push_back(last);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadVarint64,
    testing::Values(Varint64Case{"zero", {0x00}, std::uint64_t{0}, 0},
                    Varint64Case{"v16384", {0x80, 0x80, 0x01}, std::uint64_t{16384}, 0},
                    Varint64Case{"u32_max_plus_one", {0x80, 0x80, 0x80, 0x80, 0x10}, std::uint64_t{1} << 32, 0},
                    Varint64Case{"u64_max", ten_bytes(0x01), ~std::uint64_t{0}, 0},
                    Varint64Case{"tenth_byte_0x02", ten_bytes(0x02), TOO_LONG, 0},
                    Varint64Case{"tenth_byte_continues", ten_bytes(0x81), TOO_LONG, 0},
                    Varint64Case{"ends_after_nine", Bytes(9, 0xFF), END, 0},
                    Varint64Case{"empty", {}, END, 0}, Varint64Case{"lone_continuation", {0x80}, END, 0}),
    case_name<std::uint64_t>);

using TextCase = ReadCase<std::string>;
class ReadText : public testing::TestWithParam<TextCase> {};

TEST_P(ReadText, Table) {
    BodyReader reader(GetParam().input);
    EXPECT_EQ(flatten(reader.read_text()), GetParam().expected);
    if (std::holds_alternative<std::string>(GetParam().expected)) {
        EXPECT_EQ(reader.remaining(), GetParam().left);
    }
}

Bytes long_text_body() {
    Bytes b(203, 'a');
    b[0] = 0xC8;
    b[1] = 0x01;
    b[202] = 0x07;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadText,
    testing::Values(TextCase{"empty", {0x00}, std::string(), 0},
                    TextCase{"ascii", {0x02, 'h', 'i', 0x09}, std::string("hi"), 1},
                    TextCase{"two_byte_length", long_text_body(), std::string(200, 'a'), 1},
                    TextCase{"nul_inside", {0x03, 'a', 0x00, 'b'}, std::string("a\0b", 3), 0},
                    TextCase{"multibyte", {0x06, 0xC3, 0xA9, 0xE2, 0x80, 0x94, 0x21}, std::string("\xC3\xA9\xE2\x80\x94!"), 0},
                    TextCase{"length_past_end", {0x05, 'a', 'b', 'c'}, END, 0},
                    TextCase{"huge_length", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}, END, 0},
                    TextCase{"length_missing", {}, END, 0},
                    TextCase{"length_too_long", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, TOO_LONG, 0},
                    TextCase{"bad_continuation", {0x02, 0xC3, 0x28}, PostcardError::InvalidUtf8, 0},
                    TextCase{"surrogate", {0x03, 0xED, 0xA0, 0x80}, PostcardError::InvalidUtf8, 0},
                    TextCase{"overlong_nul", {0x02, 0xC0, 0x80}, PostcardError::InvalidUtf8, 0},
                    TextCase{"above_max", {0x04, 0xF4, 0x90, 0x80, 0x80}, PostcardError::InvalidUtf8, 0},
                    TextCase{"truncated", {0x02, 0xE2, 0x82}, PostcardError::InvalidUtf8, 0},
                    // The sequence is complete in the body but cut by the length.
                    TextCase{"truncated_by_length", {0x02, 0xE2, 0x82, 0xAC}, PostcardError::InvalidUtf8, 0}),
    case_name<std::string>);

struct Utf8Case {
    const char* name;
    Bytes bytes;
    bool valid;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

// Each case also runs behind 0..15 ASCII bytes, so the byte lands on every
// position relative to the eight-byte ASCII skip.
TEST_P(Utf8, EveryAlignment) {
    for (std::size_t prefix = 0; prefix < 16; ++prefix) {
        Bytes b(prefix, 'a');
        b.insert(b.end(), GetParam().bytes.begin(), GetParam().bytes.end());
        EXPECT_EQ(is_valid_utf8(b.data(), b.size()), GetParam().valid) << "prefix " << prefix;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8,
    testing::Values(
        Utf8Case{"empty", {}, true}, Utf8Case{"del", {0x7F}, true}, Utf8Case{"min_two", {0xC2, 0x80}, true},
        Utf8Case{"max_two", {0xDF, 0xBF}, true}, Utf8Case{"min_three", {0xE0, 0xA0, 0x80}, true},
        Utf8Case{"before_surrogates", {0xED, 0x9F, 0xBF}, true}, Utf8Case{"after_surrogates", {0xEE, 0x80, 0x80}, true},
        Utf8Case{"max_three", {0xEF, 0xBF, 0xBF}, true}, Utf8Case{"min_four", {0xF0, 0x90, 0x80, 0x80}, true},
        Utf8Case{"max_code_point", {0xF4, 0x8F, 0xBF, 0xBF}, true},
        Utf8Case{"lone_continuation", {0x80}, false}, Utf8Case{"overlong_c0", {0xC0, 0x80}, false},
        Utf8Case{"overlong_c1", {0xC1, 0xBF}, false}, Utf8Case{"overlong_three", {0xE0, 0x9F, 0xBF}, false},
        Utf8Case{"surrogate_low", {0xED, 0xA0, 0x80}, false}, Utf8Case{"surrogate_high", {0xED, 0xBF, 0xBF}, false},
        Utf8Case{"overlong_four", {0xF0, 0x8F, 0xBF, 0xBF}, false},
        Utf8Case{"above_max", {0xF4, 0x90, 0x80, 0x80}, false}, Utf8Case{"lead_f5", {0xF5, 0x80, 0x80, 0x80}, false},
        Utf8Case{"lead_ff", {0xFF}, false}, Utf8Case{"truncated_two", {0xC3}, false},
        Utf8Case{"truncated_three", {0xE2, 0x82}, false}, Utf8Case{"truncated_four", {0xF0, 0x9F, 0x98}, false},
        Utf8Case{"bad_third", {0xE2, 0x82, 0x28}, false}, Utf8Case{"bad_fourth", {0xF0, 0x9F, 0x98, 0xC0}, false},
        Utf8Case{"ascii_after_two", {0xC3, 0xA9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'}, true},
        Utf8Case{"bad_after_long_ascii", {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0xC3, 0x28}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Independent judge: decode the code point and apply the well-formedness
// rules to its value.
bool reference_utf8(const Bytes& b) {
    std::size_t i = 0;
    while (i < b.size()) {
        const std::uint8_t lead = b[i];
        std::size_t n;
        std::uint32_t cp;
        if (lead < 0x80) { n = 1; cp = lead; }
        else if ((lead & 0xE0) == 0xC0) { n = 2; cp = lead & 0x1F; }
        else if ((lead & 0xF0) == 0xE0) { n = 3; cp = lead & 0x0F; }
        else if ((lead & 0xF8) == 0xF0) { n = 4; cp = lead & 0x07; }
        else return false;
        if (i + n > b.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (b[i + k] & 0x3F);
        }
        static constexpr std::uint32_t min_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_length[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

TEST(Utf8Differential, AllOneTwoAndThreeByteStrings) {
    Bytes b(3);
    for (std::uint32_t v = 0; v < (1u << 24); ++v) {
        b[0] = static_cast<std::uint8_t>(v >> 16);
        b[1] = static_cast<std::uint8_t>(v >> 8);
        b[2] = static_cast<std::uint8_t>(v);
        // Strings that start with ASCII repeat shorter cases; skip most of them.
        if (b[0] < 0x80 && (v & 0xFF) != 0) continue;
        for (std::size_t len : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
            if (len < 3 && (v & ((1u << (8 * (3 - len))) - 1)) != 0) continue;
            const Bytes s(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(len));
            ASSERT_EQ(is_valid_utf8(s.data(), s.size()), reference_utf8(s)) << std::hex << v << " len " << len;
        }
    }
}

TEST(Utf8Differential, FourByteLeadsWithEveryContinuationPair) {
    for (int lead = 0xF0; lead <= 0xF8; ++lead) {
        for (int second = 0; second < 256; ++second) {
            for (int third : {0x80, 0xBF, 0x7F, 0xC0}) {
                for (int fourth : {0x80, 0xBF, 0x00, 0xFF}) {
                    const Bytes s{static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(second),
                                  static_cast<std::uint8_t>(third), static_cast<std::uint8_t>(fourth)};
                    ASSERT_EQ(is_valid_utf8(s.data(), s.size()), reference_utf8(s));
                }
            }
        }
    }
}

TEST(ReadFixed, BytesFloatsAndTags) {
    const Bytes nan{0x00, 0x00, 0xC0, 0x7F};
    BodyReader nan_reader(nan);
    const Decoded<float> f = nan_reader.read_f32();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(*f), 0x7FC00000u);
    EXPECT_EQ(nan_reader.remaining(), 0u);

    const Bytes misc{0x00, 0x00, 0x80, 0xBF, 0x2A, 0x00, 0x01};
    BodyReader reader(misc);
    EXPECT_EQ(reader.read_f32(), Decoded<float>(-1.0f));
    EXPECT_EQ(reader.read_u8(), Decoded<std::uint8_t>(0x2A));
    EXPECT_EQ(reader.read_option_tag(), Decoded<bool>(false));
    EXPECT_EQ(reader.read_option_tag(), Decoded<bool>(true));
    EXPECT_EQ(reader.remaining(), 0u);
}

struct FailCase {
    const char* name;
    Bytes input;
    PostcardError error;
    int op;  // 0 u8, 1 f32, 2 option tag
};

class ReadFixedFails : public testing::TestWithParam<FailCase> {};

TEST_P(ReadFixedFails, Table) {
    BodyReader reader(GetParam().input);
    PostcardError got{};
    switch (GetParam().op) {
        case 0: got = reader.read_u8().error(); break;
        case 1: got = reader.read_f32().error(); break;
        default: got = reader.read_option_tag().error(); break;
    }
    EXPECT_EQ(got, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadFixedFails,
                         testing::Values(FailCase{"u8_empty", {}, END, 0}, FailCase{"f32_empty", {}, END, 1},
                                         FailCase{"f32_three_bytes", {0x00, 0x00, 0x80}, END, 1},
                                         FailCase{"tag_empty", {}, END, 2},
                                         FailCase{"tag_two", {0x02}, PostcardError::InvalidOptionTag, 2},
                                         FailCase{"tag_varint_looking", {0x81, 0x00}, PostcardError::InvalidOptionTag, 2},
                                         FailCase{"tag_ff", {0xFF}, PostcardError::InvalidOptionTag, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ReserveCase {
    std::uint64_t count;
    std::size_t remaining;
    std::size_t element_size;
    std::size_t expected;
};

class SequenceReserve : public testing::TestWithParam<ReserveCase> {};

TEST_P(SequenceReserve, Bound) {
    const ReserveCase& c = GetParam();
    EXPECT_EQ(sequence_reserve(c.count, c.remaining, c.element_size), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SequenceReserve,
                         testing::Values(ReserveCase{0, 0, 12, 0}, ReserveCase{10, 100, 12, 10},
                                         ReserveCase{101, 100, 12, 0}, ReserveCase{100, 100, 12, 100},
                                         ReserveCase{~std::uint64_t{0}, 100, 12, 0},
                                         ReserveCase{200000, 300000, 12, 87381},
                                         ReserveCase{2000000, 3000000, 1, 1048576},
                                         ReserveCase{5, 5, 0, 5}));

struct TextOfCase {
    PostcardError error;
    const char* text;
};

class PostcardErrorText : public testing::TestWithParam<TextOfCase> {};

TEST_P(PostcardErrorText, Exact) { EXPECT_EQ(postcard_error_text(GetParam().error), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    AllSixteen, PostcardErrorText,
    testing::Values(
        TextOfCase{PostcardError::NeverSupported, "This is a feature that PostCard will never implement"},
        TextOfCase{PostcardError::NotYetSupported,
                   "This is a feature that Postcard intends to support, but does not yet"},
        TextOfCase{PostcardError::OutputBufferFull, "The serialize buffer is full"},
        TextOfCase{PostcardError::SequenceLengthRequired, "The length of a sequence must be known"},
        TextOfCase{PostcardError::EndOfInput, "Hit the end of buffer, expected more data"},
        TextOfCase{PostcardError::VarintTooLong,
                   "Found a varint that didn't terminate. Is the usize too big for this platform?"},
        TextOfCase{PostcardError::InvalidBool, "Found a bool that wasn't 0 or 1"},
        TextOfCase{PostcardError::InvalidChar, "Found an invalid unicode char"},
        TextOfCase{PostcardError::InvalidUtf8, "Tried to parse invalid utf-8"},
        TextOfCase{PostcardError::InvalidOptionTag, "Found an Option discriminant that wasn't 0 or 1"},
        TextOfCase{PostcardError::EnumTagTooLarge, "Found an enum discriminant that was > u32::max_value()"},
        TextOfCase{PostcardError::BadlyEncoded, "The original data was not well encoded"},
        TextOfCase{PostcardError::ChecksumMismatch, "Bad CRC while deserializing"},
        TextOfCase{PostcardError::SerializeFailed, "Serde Serialization Error"},
        TextOfCase{PostcardError::DeserializeFailed, "Serde Deserialization Error"},
        TextOfCase{PostcardError::CollectStrFailed, "Error while processing `collect_str` during serialization"}));

// Arbitrary bodies read with arbitrary reads: every read either fails or
// advances within the body, and no text is longer than the body.
TEST(BodyReaderFuzz, ArbitraryReadsStayInBounds) {
    std::mt19937 rng(31);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> op(0, 5);
    for (int round = 0; round < 20000; ++round) {
        Bytes body(static_cast<std::size_t>(byte(rng) % 24));
        for (auto& b : body) b = static_cast<std::uint8_t>(byte(rng));
        BodyReader reader(body);
        for (bool ok = true; ok;) {
            const std::size_t before = reader.remaining();
            switch (op(rng)) {
                case 0: ok = reader.read_u8().has_value(); break;
                case 1: ok = reader.read_f32().has_value(); break;
                case 2: ok = reader.read_varint32().has_value(); break;
                case 3: ok = reader.read_varint64().has_value(); break;
                case 4: {
                    const Decoded<std::string> text = reader.read_text();
                    ok = text.has_value();
                    if (ok) {
                        ASSERT_LT(text->size(), before);
                    }
                    break;
                }
                default: ok = reader.read_option_tag().has_value(); break;
            }
            ASSERT_LE(reader.remaining(), before);
            if (ok) {
                ASSERT_LT(reader.remaining(), before);
            }
        }
    }
}

}  // namespace
}  // namespace plim
