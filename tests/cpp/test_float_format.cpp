#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "json/float_format.hpp"

namespace {

std::string f32_text(float value) {
    char buffer[plim::FLOAT_TEXT_MAX];
    return std::string(buffer, plim::format_f32(value, buffer));
}

struct F32Case {
    std::uint32_t bits;
    const char* text;
};

class FormatF32 : public ::testing::TestWithParam<F32Case> {};

TEST_P(FormatF32, WritesExactText) {
    EXPECT_EQ(f32_text(std::bit_cast<float>(GetParam().bits)), GetParam().text);
}

// Bit patterns rather than literals, so each case names exactly the float it
// tests.
INSTANTIATE_TEST_SUITE_P(
    Notation, FormatF32,
    ::testing::Values(
        // zeros, integral values, plain notation
        F32Case{0x00000000, "0.0"}, F32Case{0x80000000, "-0.0"}, F32Case{0x3F800000, "1.0"},
        F32Case{0xBF800000, "-1.0"}, F32Case{0x40400000, "3.0"}, F32Case{0x447A0000, "1000.0"},
        F32Case{0x4B800000, "16777216.0"}, F32Case{0x4B7FFFFF, "16777215.0"},
        F32Case{0x42480000, "50.0"}, F32Case{0xBE800000, "-0.25"}, F32Case{0x3FC00000, "1.5"},
        F32Case{0x42F6E979, "123.456"},
        // nearest floats to decimal fractions
        F32Case{0x3DCCCCCD, "0.1"}, F32Case{0x3E4CCCCD, "0.2"}, F32Case{0x3E99999A, "0.3"},
        F32Case{0x358637BD, "0.000001"}, F32Case{0x3727C5AC, "0.00001"},
        // the window's edges: 1e-6 and 1e12 plain, 1e-7 and 1e13 with an exponent
        F32Case{0x33D6BF95, "1e-7"}, F32Case{0x34A10FB0, "3e-7"}, F32Case{0x358637BC, "9.999999e-7"},
        F32Case{0x5368D4A5, "1000000000000.0"}, F32Case{0x551184E6, "9999999000000.0"},
        F32Case{0x551184E7, "1e+13"}, F32Case{0x5E0E1BCA, "2.56e+18"},
        // extremes
        F32Case{0x7F7FFFFF, "3.4028235e+38"}, F32Case{0xFF7FFFFF, "-3.4028235e+38"},
        F32Case{0x00800000, "1.1754944e-38"}, F32Case{0x007FFFFF, "1.1754942e-38"},
        F32Case{0x00000001, "1e-45"}, F32Case{0x80000001, "-1e-45"}, F32Case{0x00000002, "3e-45"},
        F32Case{0x00000003, "4e-45"},
        // shortest digits where a longer string would also read back
        F32Case{0x4CBEBC20, "100000000.0"}, F32Case{0x3F7FFFFF, "0.99999994"},
        F32Case{0x3F800001, "1.0000001"}, F32Case{0x4E6E6B28, "1000000000.0"},
        // not numbers
        F32Case{0x7FC00000, "null"}, F32Case{0xFFC00000, "null"}, F32Case{0x7F800001, "null"},
        F32Case{0x7F800000, "null"}, F32Case{0xFF800000, "null"}));

struct F64Case {
    double value;
    const char* text;
};

class FormatF64 : public ::testing::TestWithParam<F64Case> {};

TEST_P(FormatF64, WritesExactText) {
    char buffer[plim::FLOAT_TEXT_MAX];
    EXPECT_EQ(std::string(buffer, plim::format_f64(GetParam().value, buffer)), GetParam().text);
}

// Error descriptions use a window of -5..15 for 64-bit values.
INSTANTIATE_TEST_SUITE_P(
    Notation, FormatF64,
    ::testing::Values(F64Case{0.0, "0.0"}, F64Case{-0.0, "-0.0"}, F64Case{0.1, "0.1"}, F64Case{1e-5, "0.00001"},
                      F64Case{1e-6, "1e-6"}, F64Case{1e15, "1000000000000000.0"}, F64Case{1e16, "1e+16"},
                      F64Case{123456.789, "123456.789"}, F64Case{-2.5, "-2.5"},
                      F64Case{std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
                      F64Case{std::numeric_limits<double>::denorm_min(), "5e-324"}));

// The formatter may use its whole scratch buffer, but never a byte beyond.
TEST(FormatF32, StaysInsideScratch) {
    for (const float value : {-1.17549435e-38f, -9.9999998e-7f, -1.23456791e-6f, -999999995904.0f,
                              -1.23456789e12f, -0.123456791f, -123456.789f, -1.0e-45f, -3.40282347e+38f}) {
        char buffer[2 * plim::FLOAT_TEXT_MAX];
        std::memset(buffer, '#', sizeof buffer);
        const std::size_t length = plim::format_f32(value, buffer);
        ASSERT_LE(length, plim::FLOAT_TEXT_MAX);
        for (std::size_t i = plim::FLOAT_TEXT_MAX; i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], '#') << "value " << value << " wrote byte " << i;
        }
    }
}

// The value handed to Python is what reading the text back gives: checked
// against the standard library's reading of that text over a spread of bit
// patterns that crosses every exponent, subnormals and the range ends included.
TEST(F32ShortestValue, EqualsTheTextReadBack) {
    for (std::uint64_t bits = 0; bits < 0x100000000ull; bits += 65521) {
        for (const std::uint32_t pattern : {static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits) | 0x80000000u,
                                            0x7F7FFFFFu, 0x00800000u, 0x00000001u, 0x3DCCCCCDu}) {
            const float value = std::bit_cast<float>(pattern);
            if (!std::isfinite(value)) continue;
            char text[plim::FLOAT_TEXT_MAX];
            const std::size_t length = plim::format_f32(value, text);
            double expected = 0;
            std::from_chars(text, text + length, expected);
            ASSERT_EQ(std::bit_cast<std::uint64_t>(plim::f32_shortest_value(value)), std::bit_cast<std::uint64_t>(expected))
                << std::string(text, length);
        }
    }
}

// The writer's notation rebuilt from the standard library's shortest
// round-trip digits ("d.ddde±XX"): plain for decimal exponents -6..12, with
// ".0" on integral values, otherwise the digits and a signed exponent.
std::string reference_f32_text(float value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const bool negative = text.front() == '-';
    const std::size_t e = text.find('e');
    std::string digits;
    for (const char c : text.substr(negative, e - negative)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    std::string out = negative ? "-" : "";
    const int count = static_cast<int>(digits.size());
    if (exponent < -6 || exponent > 12) {
        out += digits.substr(0, 1);
        if (count > 1) out += "." + digits.substr(1);
        return out + (exponent < 0 ? "e-" : "e+") + std::to_string(exponent < 0 ? -exponent : exponent);
    }
    if (exponent < 0) return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    if (exponent + 1 >= count) return out + digits + std::string(static_cast<std::size_t>(exponent + 1 - count), '0') + ".0";
    return out + digits.substr(0, static_cast<std::size_t>(exponent + 1)) + "." +
           digits.substr(static_cast<std::size_t>(exponent + 1));
}

// Every 509th bit pattern, both signs, NaNs and infinities included: about
// 8.4 million floats across every exponent. scripts/check_f32_all.sh walks
// the whole range with an independent exact-arithmetic judge.
TEST(FormatF32, AgreesWithTheStandardShortestOverAStride) {
    int failures = 0;
    for (std::uint64_t bits = 0; bits < 0x100000000ull && failures < 10; bits += 509) {
        const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        char text[plim::FLOAT_TEXT_MAX];
        const std::string_view got(text, plim::format_f32(value, text));
        const std::string want = reference_f32_text(value);
        if (got != want) {
            ADD_FAILURE() << std::hex << bits << ": " << got << " != " << want;
            ++failures;
        }
    }
}

}  // namespace
