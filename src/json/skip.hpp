#pragma once
// Skips a value that nobody reads (a member whose key names no field),
// checking it against the grammar at any nesting depth without recursion.
#include "json/reader.hpp"

namespace plim::json {

// The cursor stands where the value must start (whitespace already skipped).
bool skip_value(Reader& r);

}  // namespace plim::json
