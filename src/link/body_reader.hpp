#pragma once
// Forward-only cursor over a frame's body. Every read checks what remains
// before touching a byte; the first failure is returned and decoding stops.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "link/bytes.hpp"
#include "link/postcard_error.hpp"

namespace plim {

template <class T>
using Decoded = std::expected<T, PostcardError>;

class BodyReader {
public:
    explicit BodyReader(ByteView body) noexcept
        : pos_(body.data()), end_(body.data() + body.size()) {}

    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }

    // The two reads of every sample and measurement, inline for the decoders' loops.
    Decoded<std::uint8_t> read_u8() noexcept {
        if (pos_ == end_) return std::unexpected(PostcardError::EndOfInput);
        return take_u8();
    }
    Decoded<float> read_f32() noexcept {
        if (remaining() < 4) return std::unexpected(PostcardError::EndOfInput);
        return take_f32();
    }
    // The same reads for a caller that has checked remaining() once for a
    // whole run of fixed-size values.
    std::uint8_t take_u8() noexcept { return *pos_++; }
    float take_f32() noexcept {
        const std::uint32_t bits = static_cast<std::uint32_t>(pos_[0]) | static_cast<std::uint32_t>(pos_[1]) << 8 |
                                   static_cast<std::uint32_t>(pos_[2]) << 16 |
                                   static_cast<std::uint32_t>(pos_[3]) << 24;
        pos_ += 4;
        return std::bit_cast<float>(bits);
    }
    Decoded<std::uint32_t> read_varint32() noexcept;
    Decoded<std::uint64_t> read_varint64() noexcept;
    Decoded<std::string> read_text();                // strict UTF-8
    Decoded<bool> read_option_tag() noexcept;        // true when a value follows

private:
    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

// Elements to reserve for a sequence whose body announces `count` elements of
// `element_size` decoded bytes each: never more than fit in 1 MiB, and none
// when the count exceeds the bytes left, so a lying count costs no memory.
std::size_t sequence_reserve(std::uint64_t count, std::size_t remaining,
                             std::size_t element_size) noexcept;

// Strict UTF-8 well-formedness: no overlong forms, surrogates, code points
// above U+10FFFF or truncated sequences.
bool is_valid_utf8(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace plim
