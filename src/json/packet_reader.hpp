#pragma once
// Reads a received packet given as a JSON array of byte values.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "link/bytes.hpp"
#include "json/json_error.hpp"

namespace plim {

// Room `parse_packet_into` may need for a text: every element but the last
// takes at least two bytes ("0,"), so half the text bounds the count.
constexpr std::size_t packet_capacity(std::string_view text) noexcept { return text.size() / 2; }

// Reads into caller storage of packet_capacity(text) bytes, so a small
// packet needs no allocation; returns the byte count. On refusal the storage
// holds nothing meaningful.
JsonResult<std::size_t> parse_packet_into(std::string_view text, std::uint8_t* out);

}  // namespace plim
