#include "link/body_reader.hpp"

#include <cstring>

namespace plim {

namespace {

constexpr std::size_t SEQUENCE_RESERVE_BYTES = std::size_t{1} << 20;

// Reads a little-endian base-128 integer of at most max_bytes bytes; the last
// allowed byte may only carry the bits that still fit (last_byte_max).
template <class T>
Decoded<T> read_varint(const std::uint8_t*& pos, const std::uint8_t* end, unsigned max_bytes,
                       std::uint8_t last_byte_max) noexcept {
    T value = 0;
    for (unsigned i = 0; i < max_bytes; ++i) {
        if (pos == end) return std::unexpected(PostcardError::EndOfInput);
        const std::uint8_t byte = *pos++;
        if (i + 1 == max_bytes && byte > last_byte_max) return std::unexpected(PostcardError::VarintTooLong);
        value |= static_cast<T>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) return value;
    }
    // Unreachable: the last byte's limit keeps its continuation bit clear.
    return std::unexpected(PostcardError::VarintTooLong);
}

bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

Decoded<std::uint32_t> BodyReader::read_varint32() noexcept {
    return read_varint<std::uint32_t>(pos_, end_, 5, 0x0F);
}

Decoded<std::uint64_t> BodyReader::read_varint64() noexcept {
    return read_varint<std::uint64_t>(pos_, end_, 10, 0x01);
}

Decoded<std::string> BodyReader::read_text() {
    const Decoded<std::uint64_t> length = read_varint64();
    if (!length) return std::unexpected(length.error());
    // Checked before anything is allocated, so a lying length costs nothing.
    if (*length > remaining()) return std::unexpected(PostcardError::EndOfInput);
    const auto size = static_cast<std::size_t>(*length);
    if (!is_valid_utf8(pos_, size)) return std::unexpected(PostcardError::InvalidUtf8);
    std::string text(reinterpret_cast<const char*>(pos_), size);
    pos_ += size;
    return text;
}

Decoded<bool> BodyReader::read_option_tag() noexcept {
    if (pos_ == end_) return std::unexpected(PostcardError::EndOfInput);
    const std::uint8_t tag = *pos_;
    if (tag > 1) return std::unexpected(PostcardError::InvalidOptionTag);
    ++pos_;
    return tag == 1;
}

std::size_t sequence_reserve(std::uint64_t count, std::size_t remaining, std::size_t element_size) noexcept {
    if (count > remaining) return 0;
    const std::size_t cap = SEQUENCE_RESERVE_BYTES / (element_size == 0 ? 1 : element_size);
    return count < cap ? static_cast<std::size_t>(count) : cap;
}

bool is_valid_utf8(const std::uint8_t* data, std::size_t size) noexcept {
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + size;
    while (p != end) {
        // Texts are mostly ASCII: skip eight bytes at a time while no high bit is set.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == end) break;
        const std::uint8_t lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        // The second byte's range carries every rule against overlong forms,
        // surrogates and code points above U+10FFFF.
        std::size_t length;
        std::uint8_t second_min = 0x80, second_max = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) second_min = 0xA0;
            if (lead == 0xED) second_max = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) second_min = 0x90;
            if (lead == 0xF4) second_max = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        if (p[1] < second_min || p[1] > second_max) return false;
        for (std::size_t i = 2; i < length; ++i) {
            if (!is_continuation(p[i])) return false;
        }
        p += length;
    }
    return true;
}

}  // namespace plim
