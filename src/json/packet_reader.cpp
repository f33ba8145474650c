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

constexpr unsigned digit_value(char c) noexcept { return static_cast<unsigned>(c - '0'); }

// Nearly every element is a plain integer of one to three digits. Takes one
// when four bytes remain (the digits and the byte after them) and that byte
// cannot continue a number; otherwise leaves the element to `read_element`.
inline bool take_plain_byte(const char*& p, const char* end, std::uint8_t*& out) noexcept {
    if (end - p < 4) return false;
    unsigned value = digit_value(p[0]);
    if (value > 9) return false;
    const char* q = p + 1;
    if (value != 0 && digit_value(*q) <= 9) {
        value = value * 10 + digit_value(*q++);
        if (digit_value(*q) <= 9) value = value * 10 + digit_value(*q++);
    }
    const char next = *q;
    if (value > 255 || digit_value(next) <= 9 || next == '.' || next == 'e' || next == 'E') return false;
    *out++ = static_cast<std::uint8_t>(value);
    p = q;
    return true;
}

// The bulk of a packet is "12,3,255,...": takes elements of one to three
// digits each followed by a bare comma and the next element's first digit,
// the one shape in which the separator needs no further checks. Stops, with
// nothing of that element taken, at anything else (the last element, a
// leading zero, a value above 255, whitespace), which the general loop reads
// with every refusal. Five bytes must remain, the longest shape looked at.
inline void take_plain_run(const char*& p, const char* end, std::uint8_t*& out) noexcept {
    if (end - p < 5) return;
    const char* const last = end - 5;  // the last start with five bytes behind it
    while (p <= last) {
        const unsigned a = digit_value(p[0]);
        const unsigned b = digit_value(p[1]);
        if (a > 9) return;
        if (b > 9) {
            if (p[1] != ',' || digit_value(p[2]) > 9) return;
            *out++ = static_cast<std::uint8_t>(a);
            p += 2;
            continue;
        }
        const unsigned c = digit_value(p[2]);
        if (a == 0) return;
        if (c > 9) {
            if (p[2] != ',' || digit_value(p[3]) > 9) return;
            *out++ = static_cast<std::uint8_t>(a * 10 + b);
            p += 3;
            continue;
        }
        const unsigned value = a * 100 + b * 10 + c;
        if (value > 255 || p[3] != ',' || digit_value(p[4]) > 9) return;
        *out++ = static_cast<std::uint8_t>(value);
        p += 4;
    }
}

// Any element, with every refusal; the cursor stands on its first byte
// (whitespace skipped).
[[gnu::noinline]] bool read_element(Reader& r, std::uint8_t& out) {
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (json::value_start(*r.pos) != json::ValueStart::Number) return json::refuse_invalid_type(r, EXPECTED_U8);
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

// Writes into `bytes`, which holds packet_capacity of the text; `count` is
// the number written once the whole text is accepted.
bool read_packet(Reader& r, std::uint8_t* const bytes, std::size_t& count) {
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (*r.pos != '[') return json::refuse_invalid_type(r, EXPECTED_SEQUENCE);
    ++r.pos;
    std::uint8_t* out = bytes;
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
    if (*r.pos == ']') {
        ++r.pos;
    } else {
        const char* const end = r.end;
        const char* p = r.pos;
        for (;;) {
            take_plain_run(p, end, out);
            if (!take_plain_byte(p, end, out)) {
                r.pos = p;
                std::uint8_t byte;
                if (!read_element(r, byte)) return false;
                *out++ = byte;
                p = r.pos;
            }
            // The common separator is a bare comma before the next element.
            if (p != end && *p == ',' && end - p > 1 && digit_value(p[1]) <= 9) {
                ++p;
                continue;
            }
            r.pos = p;
            r.skip_whitespace();
            if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
            const char c = *r.pos;
            if (c == ']') {
                ++r.pos;
                break;
            }
            if (c != ',') return r.fail_at(r.pos, json_text::EXPECTED_LIST_COMMA_OR_END);
            ++r.pos;
            r.skip_whitespace();
            if (!r.at_end() && *r.pos == ']') return r.fail_at(r.pos, json_text::TRAILING_COMMA);
            p = r.pos;
        }
    }
    r.skip_whitespace();
    if (!r.at_end()) return r.fail_at(r.pos, json_text::TRAILING_CHARACTERS);
    count = static_cast<std::size_t>(out - bytes);
    return true;
}

}  // namespace

JsonResult<std::size_t> parse_packet_into(std::string_view text, std::uint8_t* out) {
    Reader r(text);
    std::size_t count = 0;
    if (!read_packet(r, out, count)) return std::unexpected(std::move(r.error));
    return count;
}

}  // namespace plim
