#include "json/packet_reader.hpp"

#include <cstdint>
#include <string>

#include "json/describe.hpp"
#include "json/number_reader.hpp"
#include "json/reader.hpp"
#include "json/texts.hpp"

namespace plim {

namespace {

using json::Reader;

constexpr std::string_view EXPECTED_U8 = "u8";
constexpr std::string_view EXPECTED_SEQUENCE = "a sequence";

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// One element; the cursor stands on its first byte (whitespace skipped).
bool read_byte(Reader& r, std::uint8_t& out) {
    const char* p = r.pos;
    // Nearly every element is a plain integer of one to three digits: take it
    // directly when the byte after it cannot continue a number. Four readable
    // bytes cover the digits and the byte after them.
    if (r.end - p >= 4 && is_digit(p[0])) {
        unsigned value = static_cast<unsigned>(p[0] - '0');
        int n = 1;
        if (value != 0) {
            while (n < 3 && is_digit(p[n])) value = value * 10 + static_cast<unsigned>(p[n++] - '0');
        }
        const char next = p[n];
        if (value <= 255 && !is_digit(next) && next != '.' && next != 'e' && next != 'E') {
            out = static_cast<std::uint8_t>(value);
            r.pos = p + n;
            return true;
        }
    }
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (json::value_start(*p) != json::ValueStart::Number) return json::refuse_invalid_type(r, EXPECTED_U8);
    json::Number n;
    if (!json::read_number(r, n)) return false;
    switch (n.kind) {
        case json::Number::Kind::U64:
            if (n.u64 <= 255) {
                out = static_cast<std::uint8_t>(n.u64);
                return true;
            }
            [[fallthrough]];
        case json::Number::Kind::I64:
            return r.fail_offset(r.pos, "invalid value: " + json::describe_number(n) + ", expected u8");
        case json::Number::Kind::F64: break;
    }
    return r.fail_offset(r.pos, "invalid type: " + json::describe_number(n) + ", expected u8");
}

bool read_packet(Reader& r, Bytes& bytes) {
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (*r.pos != '[') return json::refuse_invalid_type(r, EXPECTED_SEQUENCE);
    ++r.pos;
    // Every element but the last takes at least two bytes ("0,"), so half the
    // text bounds the count and the loop writes without growing.
    bytes.resize(static_cast<std::size_t>(r.end - r.begin) / 2);
    std::uint8_t* out = bytes.data();
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
    if (*r.pos == ']') {
        ++r.pos;
    } else {
        for (;;) {
            if (!read_byte(r, *out++)) return false;
            r.skip_whitespace();
            if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
            const char c = *r.pos;
            if (c == ',') {
                ++r.pos;
                r.skip_whitespace();
                if (!r.at_end() && *r.pos == ']') return r.fail_at(r.pos, json_text::TRAILING_COMMA);
                continue;
            }
            if (c == ']') {
                ++r.pos;
                break;
            }
            return r.fail_at(r.pos, json_text::EXPECTED_LIST_COMMA_OR_END);
        }
    }
    r.skip_whitespace();
    if (!r.at_end()) return r.fail_at(r.pos, json_text::TRAILING_CHARACTERS);
    bytes.resize(static_cast<std::size_t>(out - bytes.data()));
    return true;
}

}  // namespace

JsonResult<Bytes> parse_packet(std::string_view text) {
    Reader r(text);
    Bytes bytes;
    if (!read_packet(r, bytes)) return std::unexpected(std::move(r.error));
    return bytes;
}

}  // namespace plim
