#pragma once
// Appends body encodings to a growable buffer. Writing never fails.
#include <cstdint>
#include <string_view>

#include "link/bytes.hpp"

namespace plim {

void put_u8(Bytes& out, std::uint8_t value);
void put_f32(Bytes& out, float value);                 // 4 bytes, little-endian
void put_varint(Bytes& out, std::uint64_t value);      // shortest form
void put_text(Bytes& out, std::string_view text);      // varint length, then the bytes

}  // namespace plim
