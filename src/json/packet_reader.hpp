#pragma once
// Reads a received packet given as a JSON array of byte values.
#include <string_view>

#include "link/bytes.hpp"
#include "json/json_error.hpp"

namespace plim {

JsonResult<Bytes> parse_packet(std::string_view text);

}  // namespace plim
