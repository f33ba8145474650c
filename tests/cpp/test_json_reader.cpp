// The grammar as checked in skipped member values, and how shape errors
// name the values they meet.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "json/describe.hpp"
#include "json/json_error.hpp"
#include "messages/host_message.hpp"

namespace {

struct Case {
    std::string value;     // placed as the value of a member that is skipped
    std::string expected;  // "" when accepted
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.value; }

// The skipped value starts at byte 15, that is in column 16.
const std::string PREFIX = R"({"SetUid":{"x":)";

class Skipped : public testing::TestWithParam<Case> {};

TEST_P(Skipped, CheckedAgainstGrammar) {
    const auto parsed = plim::host::parse_host_message(PREFIX + GetParam().value);
    if (GetParam().expected.empty()) {
        // Accepted by the skipper, the record then lacks its field.
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(parsed.error().message, "missing field `uid`");
    } else {
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(plim::json_error_text(parsed.error()), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Differences, Skipped,
    testing::Values(
        // Never converted, so never out of range.
        Case{"1e400}}", ""}, Case{"1e99999999999}}", ""}, Case{"-1e99999999999999999999}}", ""},
        // Surrogate pairing is not checked, the four hex digits are.
        Case{R"("\ud800"}})", ""}, Case{R"("\udc00\ud800x"}})", ""},
        Case{R"("\uZZZZ"}})", "invalid escape at line 1 column 22"},
        Case{R"("\u12)", "EOF while parsing a string at line 1 column 20"},
        // Trailing commas read as a missing value or key.
        Case{"[1,]}}", "expected value at line 1 column 19"},
        Case{R"({"a":1,}}})", "key must be a string at line 1 column 23"},
        Case{R"({"a":1,)", "EOF while parsing an object at line 1 column 22"},
        Case{R"({"a":1, )", "EOF while parsing an object at line 1 column 23"},
        Case{"[1,", "EOF while parsing a value at line 1 column 18"}));

INSTANTIATE_TEST_SUITE_P(
    Grammar, Skipped,
    testing::Values(
        Case{R"([1,{"a":[true,false,null,"s\n",-0.5e-3]},[]] })", ""}, Case{" { } }}", ""},
        Case{"", "EOF while parsing a value at line 1 column 15"},
        Case{"}}", "expected value at line 1 column 16"},
        Case{"+1}}", "expected value at line 1 column 16"},
        Case{".5}}", "expected value at line 1 column 16"},
        Case{"NaN}}", "expected value at line 1 column 16"},
        Case{"'a'}}", "expected value at line 1 column 16"},
        Case{"[1", "EOF while parsing a list at line 1 column 17"},
        Case{"[", "EOF while parsing a list at line 1 column 16"},
        Case{"{", "EOF while parsing an object at line 1 column 16"},
        Case{R"({"a")", "EOF while parsing an object at line 1 column 19"},
        Case{R"({"a":)", "EOF while parsing a value at line 1 column 20"},
        Case{R"({"a":1)", "EOF while parsing an object at line 1 column 21"},
        Case{"[1 2]}}", "expected `,` or `]` at line 1 column 19"},
        Case{R"({"a" 1}}})", "expected `:` at line 1 column 21"},
        Case{R"({"a":1 "b":2}}})", "expected `,` or `}` at line 1 column 23"},
        Case{"{1:2}}}", "key must be a string at line 1 column 17"},
        Case{"[1,2]/*c*/}}", "expected `,` or `}` at line 1 column 21"},
        Case{"nul", "EOF while parsing a value at line 1 column 18"},
        Case{"nulL}}", "expected ident at line 1 column 19"},
        Case{"tru}}", "expected ident at line 1 column 19"},
        Case{"True}}", "expected value at line 1 column 16"},
        Case{"-}}", "invalid number at line 1 column 17"},
        Case{"-", "EOF while parsing a value at line 1 column 16"},
        Case{"01}}", "invalid number at line 1 column 17"},
        Case{"1.}}", "invalid number at line 1 column 18"},
        Case{"1e+}}", "invalid number at line 1 column 19"},
        Case{"1e", "EOF while parsing a value at line 1 column 17"},
        Case{"1.", "EOF while parsing a value at line 1 column 17"},
        Case{R"("\x"}})", "invalid escape at line 1 column 18"},
        Case{R"("\)", "EOF while parsing a string at line 1 column 17"},
        Case{R"("ab)", "EOF while parsing a string at line 1 column 18"},
        Case{"\"a\tb\"}}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 18"},
        Case{std::string("\"a\0b\"}}", 6),
             "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 18"},
        Case{"\"\xC3\xA9\x1F\"}}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 19"},
        Case{"\"\x7F\"}}", ""},
        Case{"[\n1,\n\"\xE2\x82\xAC\t", "control character (\\u0000-\\u001F) found while parsing a string at line 3 column 5"},
        // A position just after a line feed is already on the next line.
        Case{"[\n1,\n\"\xE2\x82\xAC\n", "control character (\\u0000-\\u001F) found while parsing a string at line 4 column 0"}));

struct Description {
    std::string value;
    std::string expected;
};

TEST(Describe, Strings) {
    const Description cases[] = {
        {"", R"(string "")"},
        {"A1", R"(string "A1")"},
        {"\\\"\t\r\n", R"(string "\\\"\t\r\n")"},
        {std::string("\0", 1), R"(string "\0")"},
        {"\x01\x1f\x7f", R"(string "\u{1}\u{1f}\u{7f}")"},
        {"/\b\f", R"(string "/\u{8}\u{c}")"},
        {"\xC2\x85\xC2\xA0\xC3\xA9", "string \"\\u{85}\xC2\xA0\xC3\xA9\""},
        {"\xE2\x80\xA8\xEF\xBB\xBF\xE2\x82\xAC", "string \"\\u{2028}\\u{feff}\xE2\x82\xAC\""},
        {"\xF0\x9F\x98\x80", "string \"\xF0\x9F\x98\x80\""},
        {"a\xFF" "b", "string \"a\\u{fffd}b\""},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(plim::json::describe_string(value), expected);
}

TEST(Describe, ExpectationLists) {
    constexpr std::string_view one[] = {"A"};
    constexpr std::string_view two[] = {"A", "B"};
    constexpr std::string_view three[] = {"A", "B", "C"};
    EXPECT_EQ(plim::json::expected_one_of(one), "`A`");
    EXPECT_EQ(plim::json::expected_one_of(two), "`A` or `B`");
    EXPECT_EQ(plim::json::expected_one_of(three), "one of `A`, `B`, `C`");
}

}  // namespace
