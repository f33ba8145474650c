#pragma once
// How shape errors name the JSON value met, and their templates.
#include <span>
#include <string>
#include <string_view>

#include "json/number_reader.hpp"
#include "json/reader.hpp"

namespace plim::json {

// "integer `5`", "integer `-1`" or "floating point `1e+16`".
std::string describe_number(const Number& n);

// "string " and the value in double quotes, with \\ \" \t \r \n \0 and
// \u{hex} for other non-printable characters.
std::string describe_string(std::string_view value);

// "`A`", "`A` or `B`", or "one of `A`, `B`, `C`".
std::string expected_one_of(std::span<const std::string_view> names);

// Refuses the value at the cursor with "invalid type: {value}, expected
// {expected}", reading it only as far as naming it needs: a scalar is read
// whole (its own syntax errors come first) and the refusal stands after it;
// an array or object is refused before its opening byte. A byte that starts
// no value is "expected value". Always returns false.
bool refuse_invalid_type(Reader& r, std::string_view expected);

}  // namespace plim::json
