#include "json/string_reader.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/texts.hpp"

namespace plim::json {

namespace {

constexpr bool is_special(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

constexpr std::uint64_t repeat(std::uint8_t b) noexcept { return 0x0101010101010101ULL * b; }

// Bit 7 of each byte of the result marks a special byte. Borrows may also
// mark bytes above a true match, never below one, so the lowest mark is exact.
constexpr std::uint64_t special_mask(std::uint64_t x) noexcept {
    const std::uint64_t high = repeat(0x80);
    const std::uint64_t quote = x ^ repeat('"');
    const std::uint64_t backslash = x ^ repeat('\\');
    const std::uint64_t zero_quote = (quote - repeat(0x01)) & ~quote;
    const std::uint64_t zero_backslash = (backslash - repeat(0x01)) & ~backslash;
    const std::uint64_t control = (x - repeat(0x20)) & ~x;
    return (zero_quote | zero_backslash | control) & high;
}

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// Reads the four hex digits after "\u"; `p` stands on the 'u'.
bool read_hex4(Reader& r, const char*& p, std::uint32_t& value) {
    if (r.end - p - 1 < 4) return r.fail_end(json_text::EOF_STRING);
    std::uint32_t v = 0;
    bool valid = true;
    for (int i = 1; i <= 4; ++i) {
        const int h = hex_value(p[i]);
        valid = valid && h >= 0;
        v = (v << 4) | static_cast<std::uint32_t>(h & 0xF);
    }
    p += 5;
    if (!valid) return r.fail_offset(p, json_text::INVALID_ESCAPE);
    value = v;
    return true;
}

// One escape; `p` stands on the backslash and ends after the escape.
template <bool Build>
bool read_escape(Reader& r, const char*& p, std::string& out) {
    ++p;
    if (p == r.end) return r.fail_end(json_text::EOF_STRING);
    char plain;
    switch (*p) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u': {
            std::uint32_t cp;
            if (!read_hex4(r, p, cp)) return false;
            if constexpr (!Build) return true;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return r.fail_offset(p, json_text::LONE_SURROGATE);
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (p == r.end) return r.fail_end(json_text::EOF_STRING);
                if (*p != '\\') return r.fail_at(p, json_text::UNEXPECTED_END_OF_HEX_ESCAPE);
                ++p;
                if (p == r.end) return r.fail_end(json_text::EOF_STRING);
                if (*p != 'u') return r.fail_at(p, json_text::UNEXPECTED_END_OF_HEX_ESCAPE);
                std::uint32_t low;
                if (!read_hex4(r, p, low)) return false;
                if (low < 0xDC00 || low > 0xDFFF) return r.fail_offset(p, json_text::LONE_SURROGATE);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(out, cp);
            return true;
        }
        default: return r.fail_at(p, json_text::INVALID_ESCAPE);
    }
    ++p;
    if constexpr (Build) out.push_back(plain);
    return true;
}

// The body of both readers after the first special byte, which is a
// backslash or a control byte. Plain runs are appended as blocks.
template <bool Build>
bool finish_string(Reader& r, const char* run_start, const char* p, std::string& out) {
    for (;;) {
        if (p == r.end) return r.fail_end(json_text::EOF_STRING);
        const char c = *p;
        if constexpr (Build) out.append(run_start, p);
        if (c == '"') {
            r.pos = p + 1;
            return true;
        }
        if (c == '\\') {
            if (!read_escape<Build>(r, p, out)) return false;
        } else {
            return r.fail_at(p, json_text::CONTROL_CHARACTER);
        }
        run_start = p;
        p = find_string_special(p, r.end);
    }
}

}  // namespace

const char* find_string_special(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    // Sixteen bytes a step where the processor always has the instructions
    // (every x86-64): a long text is mostly plain runs.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i last_control = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Unsigned x <= 0x1F exactly when min(x, 0x1F) == x.
        const __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
            _mm_cmpeq_epi8(_mm_min_epu8(bytes, last_control), bytes));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (mask != 0) return p + std::countr_zero(mask);
        p += 16;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t mask = special_mask(word);
            if (mask != 0) return p + (std::countr_zero(mask) >> 3);
            p += 8;
        }
    }
    while (p != end && !is_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

bool read_string(Reader& r, std::string& scratch, std::string_view& out) {
    const char* start = r.pos + 1;
    const char* p = find_string_special(start, r.end);
    if (p != r.end && *p == '"') {
        out = std::string_view(start, static_cast<std::size_t>(p - start));
        r.pos = p + 1;
        return true;
    }
    scratch.clear();
    if (!finish_string<true>(r, start, p, scratch)) return false;
    out = scratch;
    return true;
}

bool skip_string(Reader& r) {
    const char* start = r.pos + 1;
    std::string unused;
    return finish_string<false>(r, start, find_string_special(start, r.end), unused);
}

}  // namespace plim::json
