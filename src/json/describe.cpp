#include "json/describe.hpp"

#include <charconv>
#include <cstdint>

#include "json/float_format.hpp"
#include "json/string_reader.hpp"
#include "json/texts.hpp"

namespace plim::json {

namespace {

// Control characters, and the invisible format and separator characters
// that would make a description misleading to read.
bool is_printable(std::uint32_t cp) noexcept {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
    if (cp == 0xAD || cp == 0x061C || cp == 0x180E) return false;
    if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E)) return false;
    if ((cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF) return false;
    if (cp >= 0xFFF0 && cp <= 0xFFFB) return false;
    if ((cp >= 0xE0000 && cp <= 0xE0FFF) || (cp & 0xFFFE) == 0xFFFE) return false;
    if (cp >= 0xE000 && cp <= 0xF8FF) return false;  // private use
    if (cp >= 0xF0000) return false;                   // supplementary private use
    return true;
}

// Decodes one UTF-8 sequence at p; malformed bytes decode as U+FFFD one at
// a time (a caller's text is well-formed, but the reader never trusts it).
std::uint32_t next_code_point(const unsigned char*& p, const unsigned char* end) noexcept {
    const unsigned char b = *p++;
    if (b < 0x80) return b;
    int extra;
    std::uint32_t cp;
    std::uint32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3, cp = b & 0x07, min = 0x10000;
    } else {
        return 0xFFFD;
    }
    if (end - p < extra) return 0xFFFD;
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
    p += extra;
    return cp;
}

}  // namespace

std::string describe_number(const Number& n) {
    char buf[FLOAT_TEXT_MAX];
    std::string text;
    switch (n.kind) {
        case Number::Kind::U64: {
            const auto end = std::to_chars(buf, buf + sizeof buf, n.u64).ptr;
            text = "integer `";
            text.append(buf, end);
            break;
        }
        case Number::Kind::I64: {
            const auto end = std::to_chars(buf, buf + sizeof buf, n.i64).ptr;
            text = "integer `";
            text.append(buf, end);
            break;
        }
        case Number::Kind::F64:
            text = "floating point `";
            text.append(buf, format_f64(n.f64, buf));
            break;
    }
    text += '`';
    return text;
}

std::string describe_string(std::string_view value) {
    std::string text = "string \"";
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    const auto* end = p + value.size();
    while (p != end) {
        const unsigned char* start = p;
        const std::uint32_t cp = next_code_point(p, end);
        switch (cp) {
            case '\\': text += "\\\\"; continue;
            case '"': text += "\\\""; continue;
            case '\t': text += "\\t"; continue;
            case '\r': text += "\\r"; continue;
            case '\n': text += "\\n"; continue;
            case 0: text += "\\0"; continue;
            default: break;
        }
        if (is_printable(cp) && !(cp == 0xFFFD && p - start == 1 && *start >= 0x80)) {
            text.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        } else {
            char hex[8];
            const auto hex_end = std::to_chars(hex, hex + sizeof hex, cp, 16).ptr;
            text += "\\u{";
            text.append(hex, hex_end);
            text += '}';
        }
    }
    text += '"';
    return text;
}

std::string expected_one_of(std::span<const std::string_view> names) {
    std::string text;
    if (names.size() > 2) text = "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " or " : ", ";
        text += '`';
        text += names[i];
        text += '`';
    }
    return text;
}

bool refuse_invalid_type(Reader& r, std::string_view expected) {
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    const char* start = r.pos;
    std::string what;
    switch (value_start(*start)) {
        case ValueStart::String: {
            std::string scratch;
            std::string_view value;
            if (!read_string(r, scratch, value)) return false;
            what = describe_string(value);
            break;
        }
        case ValueStart::Number: {
            Number n;
            if (!read_number(r, n)) return false;
            what = describe_number(n);
            break;
        }
        case ValueStart::Null:
            if (!read_literal(r, "null")) return false;
            what = "null";
            break;
        case ValueStart::True:
            if (!read_literal(r, "true")) return false;
            what = "boolean `true`";
            break;
        case ValueStart::False:
            if (!read_literal(r, "false")) return false;
            what = "boolean `false`";
            break;
        case ValueStart::Array:
            return r.fail_before(start, "invalid type: sequence, expected " + std::string(expected));
        case ValueStart::Object:
            return r.fail_before(start, "invalid type: map, expected " + std::string(expected));
        case ValueStart::None: return r.fail_at(start, json_text::EXPECTED_VALUE);
    }
    return r.fail_offset(r.pos, "invalid type: " + what + ", expected " + std::string(expected));
}

}  // namespace plim::json
