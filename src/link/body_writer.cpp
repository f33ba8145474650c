#include "link/body_writer.hpp"

#include <bit>

namespace plim {

void put_u8(Bytes& out, std::uint8_t value) { out.push_back(value); }

void put_f32(Bytes& out, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint8_t le[4] = {
        static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
        static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24),
    };
    out.insert(out.end(), le, le + 4);
}

void put_varint(Bytes& out, std::uint64_t value) {
    std::uint8_t encoded[10];
    std::size_t n = 0;
    while (value >= 0x80) {
        encoded[n++] = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    encoded[n++] = static_cast<std::uint8_t>(value);
    out.insert(out.end(), encoded, encoded + n);
}

void put_text(Bytes& out, std::string_view text) {
    put_varint(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace plim
