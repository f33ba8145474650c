#include "json/writer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "json/float_format.hpp"

namespace plim {

namespace {

// For each byte, the letter after the backslash in its escape, 'u' for the
// \u00XX form, or 0 when the byte is written as it is.
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> table{};
    for (int b = 0; b < 0x20; ++b) table[b] = 'u';
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}
constexpr std::array<char, 256> ESCAPE = make_escape_table();

constexpr std::uint64_t ONES = 0x0101010101010101ULL;
constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;

// High bit set in each byte lane that holds a control byte, a quotation mark
// or a backslash. Lanes above the first hit may be flagged falsely (borrows
// run upwards), but the lowest flagged lane is always exact, which is all
// the scan needs. All three kinds of byte are below 0x80, hence the shared
// final mask.
inline std::uint64_t escape_lanes(std::uint64_t word) noexcept {
    const std::uint64_t quote = word ^ (ONES * '"');
    const std::uint64_t backslash = word ^ (ONES * '\\');
    const std::uint64_t below_space = word - ONES * 0x20;
    const std::uint64_t is_quote = (quote - ONES) & ~quote;
    const std::uint64_t is_backslash = (backslash - ONES) & ~backslash;
    return (below_space | is_quote | is_backslash) & ~word & HIGHS;
}

// Offset of the first byte of [p, end) that needs an escape, or end - p.
std::size_t clean_prefix(const char* p, const char* end) noexcept {
    const char* start = p;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (const std::uint64_t hits = escape_lanes(word)) {
                return static_cast<std::size_t>(p - start) + static_cast<std::size_t>(std::countr_zero(hits) / 8);
            }
            p += 8;
        }
    }
    while (p < end && ESCAPE[static_cast<unsigned char>(*p)] == 0) ++p;
    return static_cast<std::size_t>(p - start);
}

// Decimal text of every byte value followed by a comma, padded to four
// bytes so each entry is stored with one fixed-size copy.
struct ByteText {
    char text[4];
    std::uint8_t length;  // digits only
};
constexpr std::array<ByteText, 256> make_byte_texts() {
    std::array<ByteText, 256> table{};
    for (int v = 0; v < 256; ++v) {
        ByteText& entry = table[v];
        int n = 0;
        if (v >= 100) entry.text[n++] = static_cast<char>('0' + v / 100);
        if (v >= 10) entry.text[n++] = static_cast<char>('0' + v / 10 % 10);
        entry.text[n++] = static_cast<char>('0' + v % 10);
        entry.text[n] = ',';
        entry.length = static_cast<std::uint8_t>(n);
    }
    return table;
}
constexpr std::array<ByteText, 256> BYTE_TEXT = make_byte_texts();

constexpr char HEX[] = "0123456789abcdef";

}  // namespace

// Geometric growth; the text moves to a larger heap buffer, allocated before
// anything changes so that a failure leaves the writer as it was.
void JsonWriter::grow(std::size_t count) {
    if (data_ == inline_ && size_ + count <= second_room_.size()) {
        std::memcpy(second_room_.data(), data_, size_);
        data_ = second_room_.data();
        capacity_ = second_room_.size();
        return;
    }
    const std::size_t wanted = std::max(capacity_ * 2, size_ + count);
    std::unique_ptr<char[]> bigger = std::make_unique_for_overwrite<char[]>(wanted);
    std::memcpy(bigger.get(), data_, size_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = wanted;
}

void JsonWriter::key(std::string_view name) {
    before_value();
    write_escaped(name);
    put(':');
    after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
    before_value();
    write_escaped(text);
}

void JsonWriter::write_escaped(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // Room for the common case, a text without escapes, in one step.
    room(text.size() + 2);
    put('"');
    while (p < end) {
        const std::size_t run = clean_prefix(p, end);
        append(p, run);
        p += run;
        if (p == end) break;
        const unsigned char byte = static_cast<unsigned char>(*p++);
        const char letter = ESCAPE[byte];
        if (letter == 'u') {
            const char escape[6] = {'\\', 'u', '0', '0', HEX[byte >> 4], HEX[byte & 0xF]};
            append(escape, 6);
        } else {
            const char escape[2] = {'\\', letter};
            append(escape, 2);
        }
    }
    put('"');
}

void JsonWriter::u8(std::uint8_t value) {
    before_value();
    const ByteText& entry = BYTE_TEXT[value];
    std::memcpy(room(4), entry.text, 4);
    size_ += entry.length;
}

void JsonWriter::f32(float value) {
    before_value();
    // Formatted in place: format_f32 may use all FLOAT_TEXT_MAX bytes.
    size_ += format_f32(value, room(FLOAT_TEXT_MAX));
}

void JsonWriter::null() {
    before_value();
    append("null", 4);
}

// The same texts packed for packets: the four text bytes as they lie in
// memory in the low half, the step to the next entry (digits and comma) in
// the high half, so one load serves both.
constexpr std::array<std::uint64_t, 256> make_packed_byte_texts() {
    std::array<std::uint64_t, 256> table{};
    for (int v = 0; v < 256; ++v) {
        std::uint32_t text = 0;
        for (int i = 0; i < 4; ++i) {
            const auto byte = static_cast<std::uint8_t>(BYTE_TEXT[v].text[i]);
            const int shift = std::endian::native == std::endian::little ? 8 * i : 8 * (3 - i);
            text |= static_cast<std::uint32_t>(byte) << shift;
        }
        table[v] = text | static_cast<std::uint64_t>(BYTE_TEXT[v].length + 1) << 32;
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> PACKED_BYTE_TEXT = make_packed_byte_texts();

std::size_t write_packet_json(ByteView packet, char* out) noexcept {
    char* w = out;
    *w++ = '[';
    // Two bytes a step: the second entry's load does not wait for the
    // first one's step.
    const auto put = [](char* at, std::uint64_t entry) {
        const auto text = static_cast<std::uint32_t>(entry);
        std::memcpy(at, &text, 4);
        return entry >> 32;
    };
    const std::uint8_t* byte = packet.data();
    const std::uint8_t* const end = byte + packet.size();
    for (; end - byte >= 2; byte += 2) {
        const std::uint64_t first = PACKED_BYTE_TEXT[byte[0]];
        const std::uint64_t second = PACKED_BYTE_TEXT[byte[1]];
        w += put(w, first);
        w += put(w, second);
    }
    if (byte != end) w += put(w, PACKED_BYTE_TEXT[*byte]);
    // The last comma becomes the closing bracket; "[" alone opens "[]".
    if (!packet.empty()) --w;
    *w++ = ']';
    return static_cast<std::size_t>(w - out);
}

std::string write_packet_json(ByteView packet) {
    std::string out;
    out.resize_and_overwrite(packet_json_max_len(packet.size()), [packet](char* buffer, std::size_t) noexcept {
        return write_packet_json(packet, buffer);
    });
    return out;
}

}  // namespace plim
