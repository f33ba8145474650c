#pragma once
// JSON strings. The cursor stands on the opening quote and ends just after
// the closing one.
#include <string>
#include <string_view>

#include "json/reader.hpp"

namespace plim::json {

// Reads and unescapes a string, checking surrogate pairing. `out` views the
// input itself when the string holds no escape, otherwise `scratch`.
bool read_string(Reader& r, std::string& scratch, std::string_view& out);

// Checks a string against the grammar without building it; \u escapes are
// checked for their four hex digits only, not for surrogate pairing.
bool skip_string(Reader& r);

// The first byte in [p, end) that ends a run of plain string bytes: a quote,
// a backslash or a control byte; `end` when there is none.
const char* find_string_special(const char* p, const char* end) noexcept;

}  // namespace plim::json
