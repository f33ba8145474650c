// Number classification and correctly rounded conversion.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json/json_error.hpp"
#include "json/number_reader.hpp"
#include "json/reader.hpp"

namespace {

using plim::json::Number;
using plim::json::Reader;

// Reads the whole text as one number; the text after it must be empty.
Number read_all(const std::string& text) {
    Reader r(text);
    Number n;
    EXPECT_TRUE(plim::json::read_number(r, n)) << text << ": " << plim::json_error_text(r.error);
    EXPECT_TRUE(r.at_end()) << text;
    return n;
}

struct FloatCase {
    std::string text;
    double expected;
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.text; }

class Float64 : public testing::TestWithParam<FloatCase> {};

TEST_P(Float64, NearestDouble) {
    const Number n = read_all(GetParam().text);
    ASSERT_EQ(n.kind, Number::Kind::F64);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(n.f64), std::bit_cast<std::uint64_t>(GetParam().expected))
        << n.f64;
}

constexpr double SMALLEST_SUBNORMAL = std::numeric_limits<double>::denorm_min();

INSTANTIATE_TEST_SUITE_P(
    Decimal, Float64,
    testing::Values(
        FloatCase{"-0", -0.0}, FloatCase{"0.0", 0.0}, FloatCase{"-0.0e5", -0.0}, FloatCase{"1.5", 1.5},
        FloatCase{"0.1", 0.1}, FloatCase{"-2.5e-3", -2.5e-3}, FloatCase{"1E5", 1e5}, FloatCase{"1e+5", 1e5},
        FloatCase{"1e23", 1e23}, FloatCase{"8.98846567431158e307", 8.98846567431158e307},
        FloatCase{"123456789012345678901234567890", 123456789012345678901234567890.0},
        FloatCase{"0.30000000000000000000000000001", 0.3},
        FloatCase{"0.0000001e7", 1.0},
        // Ties between two doubles go to the even one; a digit past the tie breaks it.
        FloatCase{"9007199254740993.0", 9007199254740992.0},
        FloatCase{"9007199254740995.0", 9007199254740996.0},
        FloatCase{"9007199254740993.0000000000000000001", 9007199254740994.0},
        // The range edges: largest finite, subnormals, and what rounds to zero.
        FloatCase{"1.7976931348623158e308", std::numeric_limits<double>::max()},
        FloatCase{"-1.7976931348623157e308", -std::numeric_limits<double>::max()},
        FloatCase{"2.2250738585072011e-308", 2.2250738585072011e-308},
        FloatCase{"2.2250738585072012e-308", std::numeric_limits<double>::min()},
        FloatCase{"4.9406564584124654e-324", SMALLEST_SUBNORMAL},
        FloatCase{"2.4703282292062328e-324", SMALLEST_SUBNORMAL},
        FloatCase{"2.4703282292062327e-324", 0.0}, FloatCase{"1e-400", 0.0}, FloatCase{"-1e-400", -0.0},
        // Exponents beyond 32 bits: zero below one, or over a zero significand.
        FloatCase{"1e-99999999999", 0.0}, FloatCase{"-1e-99999999999", -0.0},
        FloatCase{"0e99999999999", 0.0}, FloatCase{"-0.000e+99999999999", -0.0},
        FloatCase{"1e0000000000000000000001", 10.0}));

TEST(Float64, LongSignificandScaledBack) {
    const std::string text = "1" + std::string(400, '0') + "e-400";
    EXPECT_EQ(read_all(text).f64, 1.0);
    const std::string small = "0." + std::string(400, '0') + "1e401";
    EXPECT_EQ(read_all(small).f64, 1.0);
}

// The short-cut for short decimals must agree with the full conversion.
TEST(Float64, ShortDecimalsAgreeWithFullConversion) {
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t digits = rng() % 10000000000000000000ULL >> (rng() % 64);
        const int exponent = static_cast<int>(rng() % 61) - 30;
        const std::string text = std::to_string(digits) + ".5e" + std::to_string(exponent);
        double expected = 0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        const Number n = read_all(text);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(n.f64), std::bit_cast<std::uint64_t>(expected)) << text;
    }
}

// Plain decimals of 1 to 18 digits (the one-pass reading stops at 15), the
// point at every place, both signs, a delimiter behind: floats must be the
// nearest double, integers keep their class, and the cursor stops on the
// delimiter.
TEST(ShortDecimals, EveryLengthAndPointPlaceAgreesWithFullConversion) {
    std::mt19937_64 rng(4242);
    for (int length = 1; length <= 18; ++length) {
        for (int point = 0; point < length; ++point) {
            for (int round = 0; round < 200; ++round) {
                std::string digits;
                for (int i = 0; i < length; ++i) digits += static_cast<char>('0' + rng() % 10);
                const int integer_digits = point == 0 ? length : point;
                if (integer_digits > 1 && digits[0] == '0') digits[0] = '1';  // no leading zero before more digits
                const bool negative = rng() % 2;
                std::string text = (negative ? "-" : "") + digits;
                if (point > 0) text.insert(text.size() - static_cast<std::size_t>(length - point), ".");
                const std::string input = text + "]";
                Reader r(input);
                Number n;
                ASSERT_TRUE(plim::json::read_number(r, n)) << text;
                ASSERT_EQ(r.pos, input.data() + text.size()) << text;
                const std::uint64_t magnitude = std::stoull(digits);
                if (point == 0 && !(negative && magnitude == 0)) {
                    ASSERT_EQ(n.kind, negative ? Number::Kind::I64 : Number::Kind::U64) << text;
                    if (negative) {
                        ASSERT_EQ(n.i64, -static_cast<std::int64_t>(magnitude)) << text;
                    } else {
                        ASSERT_EQ(n.u64, magnitude) << text;
                    }
                    continue;
                }
                double expected = 0;
                std::from_chars(text.data(), text.data() + text.size(), expected);
                ASSERT_EQ(n.kind, Number::Kind::F64) << text;
                ASSERT_EQ(std::bit_cast<std::uint64_t>(n.f64), std::bit_cast<std::uint64_t>(expected)) << text;
            }
        }
    }
}

struct F32Case {
    std::string text;
    std::uint32_t bits;
};

void PrintTo(const F32Case& c, std::ostream* os) { *os << c.text; }

class Float32 : public testing::TestWithParam<F32Case> {};

TEST_P(Float32, NearestFloat) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(plim::json::to_f32(read_all(GetParam().text))), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(
    Conversion, Float32,
    testing::Values(F32Case{"16777217", 0x4B800000}, F32Case{"16777219", 0x4B800002},
                    F32Case{"-16777217", 0xCB800000}, F32Case{"1152921573326323713", 0x5D800001},
                    F32Case{"1152921573326323713.0", 0x5D800000}, F32Case{"-0", 0x80000000},
                    F32Case{"3.4028235e38", 0x7F7FFFFF}, F32Case{"3.4028236e38", 0x7F800000},
                    F32Case{"-1e39", 0xFF800000}, F32Case{"1e-46", 0x00000000}, F32Case{"-1e-46", 0x80000000},
                    F32Case{"1.401298464324817e-45", 0x00000001}, F32Case{"0.1", 0x3DCCCCCD}));

TEST(NumberOutOfRange, PositionsAndZeroSignificands) {
    struct Refusal {
        std::string text;
        std::string expected;
    };
    const Refusal refusals[] = {
        {"1e309", "number out of range at line 1 column 5"},
        {"-1e309", "number out of range at line 1 column 6"},
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
        {"1e2147483647", "number out of range at line 1 column 12"},
        {"1e2147483648", "number out of range at line 1 column 12"},
        {"1e21474836480", "number out of range at line 1 column 12"},
        {"0.001e99999999999", "number out of range at line 1 column 16"},
        {"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
    };
    for (const auto& [text, expected] : refusals) {
        Reader r(text);
        Number n;
        EXPECT_FALSE(plim::json::read_number(r, n)) << text;
        EXPECT_EQ(plim::json_error_text(r.error), expected) << text;
    }
}

}  // namespace
