#include "json/number_reader.hpp"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <system_error>

#include "json/texts.hpp"

namespace plim::json {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Powers of ten that a double holds exactly.
constexpr double EXACT_POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The syntax of one number, as far as conversion needs it.
struct Scan {
    const char* start;            // first byte (the minus sign, if any)
    bool negative = false;
    bool integral = true;         // no point, no exponent
    bool zero_significand = true;
    bool exponent_overflow = false;  // the literal exponent outgrew 32 signed bits
    bool exponent_negative = false;
    std::uint64_t digits = 0;     // the significand digits, while they fit
    int digit_count = 0;          // significand digits accumulated in `digits`
    bool digits_exact = true;     // `digits` holds every significant digit
    std::int64_t scale = 0;       // decimal exponent applied to `digits`
    std::int64_t exponent = 0;    // the literal exponent
    std::uint64_t integer = 0;    // the integer part, unless it overflowed
    bool integer_overflow = false;
};

void add_digit(Scan& s, char c, bool fraction) noexcept {
    const unsigned d = static_cast<unsigned>(c - '0');
    if (d != 0) s.zero_significand = false;
    if (s.digit_count < 19) {
        if (s.digits != 0 || d != 0) ++s.digit_count;
        s.digits = s.digits * 10 + d;
        if (fraction) --s.scale;
    } else {
        if (d != 0) s.digits_exact = false;
        if (!fraction) ++s.scale;
    }
}

// Scans the grammar. With `Convert`, an exponent that grows beyond 32 signed
// bits for a non-zero significand with a positive sign is refused at its digit.
template <bool Convert>
bool scan(Reader& r, Scan& s) {
    const char* p = r.pos;
    s.start = p;
    if (*p == '-') {
        s.negative = true;
        ++p;
        if (p == r.end) return r.fail_end(json_text::EOF_VALUE);
    }
    if (*p == '0') {
        ++p;
        if (p != r.end && is_digit(*p)) return r.fail_at(p, json_text::INVALID_NUMBER);
    } else if (is_digit(*p)) {
        for (; p != r.end && is_digit(*p); ++p) {
            add_digit(s, *p, false);
            const std::uint64_t d = static_cast<std::uint64_t>(*p - '0');
            if (s.integer > (UINT64_MAX - d) / 10) s.integer_overflow = true;
            s.integer = s.integer * 10 + d;
        }
    } else {
        return r.fail_at(p, json_text::INVALID_NUMBER);
    }
    if (p != r.end && *p == '.') {
        s.integral = false;
        ++p;
        if (p == r.end) return r.fail_end(json_text::EOF_VALUE);
        if (!is_digit(*p)) return r.fail_at(p, json_text::INVALID_NUMBER);
        for (; p != r.end && is_digit(*p); ++p) add_digit(s, *p, true);
    }
    if (p != r.end && (*p == 'e' || *p == 'E')) {
        s.integral = false;
        ++p;
        if (p != r.end && (*p == '+' || *p == '-')) {
            s.exponent_negative = *p == '-';
            ++p;
        }
        if (p == r.end) return r.fail_end(json_text::EOF_VALUE);
        if (!is_digit(*p)) return r.fail_at(p, json_text::INVALID_NUMBER);
        for (; p != r.end && is_digit(*p); ++p) {
            if (s.exponent_overflow) continue;
            s.exponent = s.exponent * 10 + (*p - '0');
            if (s.exponent > INT32_MAX) {
                if (Convert && !s.zero_significand && !s.exponent_negative) {
                    return r.fail_at(p, json_text::NUMBER_OUT_OF_RANGE);
                }
                s.exponent_overflow = true;
            }
        }
        if (s.exponent_negative) s.exponent = -s.exponent;
    }
    r.pos = p;
    return true;
}

bool to_double(Reader& r, const Scan& s, double& out) {
    if (s.zero_significand || s.exponent_overflow) {
        // An overflowing exponent reaches here only when negative or over a
        // zero significand: the value is a zero either way.
        out = s.negative ? -0.0 : 0.0;
        return true;
    }
    const std::int64_t e = s.scale + s.exponent;
    if (s.digits_exact && s.digits < (1ULL << 53) && e >= -22 && e <= 22) {
        // Both operands are exact, so one rounding gives the nearest double.
        double v = static_cast<double>(s.digits);
        v = e < 0 ? v / EXACT_POWERS[-e] : v * EXACT_POWERS[e];
        out = s.negative ? -v : v;
        return true;
    }
    double v = 0;
    const auto [ptr, ec] = std::from_chars(s.start, r.pos, v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range || std::isinf(v)) {
        // Decimal exponent of the first significant digit: well above zero on
        // overflow, well below on underflow.
        if (e + s.digit_count > 0) return r.fail_offset(r.pos, json_text::NUMBER_OUT_OF_RANGE);
        v = s.negative ? -0.0 : 0.0;
    }
    out = v;
    return true;
}

// Message numbers are mostly short decimals such as "-1.5" or "42". Reads
// one of at most 15 digits without exponent in a single pass, classified
// and converted exactly as the general path would (15 digits stay below
// 2^53, so the quotient by an exact power of ten is rounded once). Returns
// false, with nothing consumed, for any other shape, the refusals included.
bool read_short_decimal(Reader& r, Number& out) noexcept {
    constexpr std::ptrdiff_t MAX_DIGITS = 15;
    const char* p = r.pos;
    const char* const end = r.end;
    const bool negative = *p == '-';
    if (negative) ++p;
    const char* const first = p;
    std::uint64_t digits = 0;
    if (p != end && *p == '0') {
        ++p;
    } else {
        while (p != end && is_digit(*p)) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
    }
    if (p == first || (p != end && is_digit(*p))) return false;
    std::ptrdiff_t fraction = 0;
    if (p != end && *p == '.') {
        const char* const point = ++p;
        while (p != end && is_digit(*p)) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
        fraction = p - point;
        if (fraction == 0) return false;
    }
    if ((p - first) - (fraction != 0) > MAX_DIGITS || (p != end && (*p == 'e' || *p == 'E'))) return false;
    r.pos = p;
    if (fraction == 0 && !(negative && digits == 0)) {
        if (negative) {
            out.kind = Number::Kind::I64;
            out.i64 = -static_cast<std::int64_t>(digits);
        } else {
            out.kind = Number::Kind::U64;
            out.u64 = digits;
        }
        return true;
    }
    const double v = static_cast<double>(digits) / EXACT_POWERS[fraction];
    out.kind = Number::Kind::F64;
    out.f64 = negative ? -v : v;
    return true;
}

// Kept out of line so that the short path pays for none of its registers.
[[gnu::noinline]] bool read_any_number(Reader& r, Number& out) {
    Scan s;
    if (!scan<true>(r, s)) return false;
    if (s.integral && !s.integer_overflow) {
        if (!s.negative) {
            out.kind = Number::Kind::U64;
            out.u64 = s.integer;
            return true;
        }
        // "-0" is a float: only a non-zero negative integer is an i64.
        if (s.integer != 0 && s.integer <= (1ULL << 63)) {
            out.kind = Number::Kind::I64;
            out.i64 = static_cast<std::int64_t>(0 - s.integer);
            return true;
        }
    }
    out.kind = Number::Kind::F64;
    return to_double(r, s, out.f64);
}

}  // namespace

bool read_number(Reader& r, Number& out) {
    return read_short_decimal(r, out) || read_any_number(r, out);
}

bool skip_number(Reader& r) {
    Scan s;
    return scan<false>(r, s);
}

float to_f32(const Number& n) noexcept {
    switch (n.kind) {
        case Number::Kind::U64: return static_cast<float>(n.u64);
        case Number::Kind::I64: return static_cast<float>(n.i64);
        case Number::Kind::F64: break;
    }
    return static_cast<float>(n.f64);
}

}  // namespace plim::json
