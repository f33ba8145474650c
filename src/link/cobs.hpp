#pragma once
// Consistent overhead byte stuffing: the closing 0x00 is the only zero byte of
// an encoded frame.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "link/bytes.hpp"

namespace plim {

// Upper bound on the encoded size of n input bytes, delimiter included; it
// sizes the encoder's one output buffer. The empty input still takes a code
// byte and the delimiter, so the bound never drops below 2.
constexpr std::size_t max_encoded_len(std::size_t n) noexcept {
    return n == 0 ? 2 : n + (n + 253) / 254 + 1;
}

// Writes the encoding of `input` and the closing 0x00 into `out`, which holds
// at least max_encoded_len(input.size()) bytes. Returns the bytes written.
std::size_t cobs_encode(ByteView input, std::uint8_t* out) noexcept;

// Decodes up to the first 0x00 code byte into `out`, which holds at least
// input.size() bytes, any of which may be written (past the decoded length
// they hold nothing meaningful). Returns the decoded length, or nothing on
// truncation (the only failure).
std::optional<std::size_t> cobs_decode(ByteView input, std::uint8_t* out) noexcept;

}  // namespace plim
