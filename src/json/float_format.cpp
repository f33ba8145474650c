#include "json/float_format.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace plim {

namespace {

// Writes the notation once the shortest digits are known: `digits[0..n)`
// without trailing zeros, `exponent` the decimal exponent of the first digit.
char* write_notation(const char* digits, int n, int exponent, int plain_min, int plain_max, char* w) noexcept {
    if (exponent < plain_min || exponent > plain_max) {
        *w++ = digits[0];
        if (n > 1) {
            *w++ = '.';
            std::memcpy(w, digits + 1, static_cast<std::size_t>(n - 1));
            w += n - 1;
        }
        *w++ = 'e';
        *w++ = exponent < 0 ? '-' : '+';
        unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
        if (magnitude >= 100) {
            *w++ = static_cast<char>('0' + magnitude / 100);
            magnitude %= 100;
            *w++ = static_cast<char>('0' + magnitude / 10);
        } else if (magnitude >= 10) {
            *w++ = static_cast<char>('0' + magnitude / 10);
        }
        *w++ = static_cast<char>('0' + magnitude % 10);
        return w;
    }
    if (exponent >= n - 1) {
        std::memcpy(w, digits, static_cast<std::size_t>(n));
        w += n;
        for (int i = 0; i < exponent - n + 1; ++i) *w++ = '0';
        *w++ = '.';
        *w++ = '0';
    } else if (exponent >= 0) {
        std::memcpy(w, digits, static_cast<std::size_t>(exponent + 1));
        w += exponent + 1;
        *w++ = '.';
        std::memcpy(w, digits + exponent + 1, static_cast<std::size_t>(n - exponent - 1));
        w += n - exponent - 1;
    } else {
        *w++ = '0';
        *w++ = '.';
        for (int i = 0; i < -exponent - 1; ++i) *w++ = '0';
        std::memcpy(w, digits, static_cast<std::size_t>(n));
        w += n;
    }
    return w;
}

// The standard library's shortest conversion picks the nearest (then even)
// digit string among the shortest; its scientific form hands over the digits
// and the exponent. 64-bit floats always take this road, 32-bit ones only
// when subnormal.
template <class Float>
std::size_t format_via_to_chars(Float value, int plain_min, int plain_max, char* out) noexcept {
    char sci[FLOAT_TEXT_MAX];
    const auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* p = sci;
    const char* end = result.ptr;
    char* w = out;
    if (*p == '-') *w++ = *p++;
    char digits[20];
    int n = 0;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;
    int exponent = 0;
    for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;
    return static_cast<std::size_t>(write_notation(digits, n, exponent, plain_min, plain_max, w) - out);
}

// Normal 32-bit floats have their own shortest-digits routine, being on the
// hot path of every lidar sweep. It is the Schubfach method: the value and the
// two ends of its rounding interval are scaled by a power of ten with one
// 64x64-bit multiplication each (rounded to odd, which keeps the comparisons
// exact), and the shortest decimal inside the interval is read off, the
// nearest and then even one when two are equally short. It looks at most one
// digit shorter than the scaled value, which suffices while the significand
// has its full 24 bits; subnormals, whose interval can hold a decimal two or
// more digits shorter (3e-44), go the slow road.

constexpr int Q_MIN = -149;                  // exponent of the least subnormal
constexpr std::uint32_t C_MIN = 1u << 23;    // hidden bit of a normal significand
constexpr int PRECISION = 24;
constexpr int K_MIN = -45;

// floor(e * log10(2)), floor(e * log2(10)), floor(log10(3/4 * 2^e)): exact
// over far wider ranges than the exponents of a float.
constexpr int floor_log10_pow2(int e) noexcept { return static_cast<int>((e * 661971961083LL) >> 41); }
constexpr int floor_log2_pow10(int e) noexcept { return static_cast<int>((e * 913124641741LL) >> 38); }
constexpr int floor_log10_three_quarters_pow2(int e) noexcept {
    return static_cast<int>((e * 661971961083LL - 274743187321LL) >> 41);
}

// For k = K_MIN, K_MIN + 1, ...: the upper 63 bits of floor(10^-k * 2^-r) + 1,
// with r chosen so that value lies in [2^125, 2^126). Generated with exact
// integer arithmetic; every float's text is rechecked by tools/check_f32_format.
constexpr std::uint64_t POW10_INVERSE[] = {
    0x59AEDFC10D7279C5, 0x47BF19673DF52E37, 0x72CB5BD86321E38C,
    0x5BD5E313828182D6, 0x4977E8DC68679BDF, 0x758CA7C70D7292FE,
    0x5E0A1FD271287598, 0x4B3B4CA85A86C47A, 0x785EE10D5DA46D90,
    0x604BE73DE4838AD9, 0x4D0985CB1D3608AE, 0x7B426FAB61F00DE3,
    0x629B8C891B267182, 0x4EE2D6D415B85ACE, 0x7E37BE2022C0914B,
    0x64F964E68233A76F, 0x50C783EB9B5C85F2, 0x409F9CBC7C4A04C2,
    0x6765C793FA10079D, 0x52B7D2DCC80CD2E4, 0x422CA8B0A00A4250,
    0x69E10DE76676D080, 0x54B40B1F852BDA00, 0x43C33C1937564800,
    0x6C6B935B8BBD4000, 0x56BC75E2D6310000, 0x4563918244F40000,
    0x6F05B59D3B200000, 0x58D15E1762800000, 0x470DE4DF82000000,
    0x71AFD498D0000000, 0x5AF3107A40000000, 0x48C2739500000000,
    0x746A528800000000, 0x5D21DBA000000000, 0x4A817C8000000000,
    0x7735940000000000, 0x5F5E100000000000, 0x4C4B400000000000,
    0x7A12000000000000, 0x61A8000000000000, 0x4E20000000000000,
    0x7D00000000000000, 0x6400000000000000, 0x5000000000000000,
    0x4000000000000000, 0x6666666666666666, 0x51EB851EB851EB85,
    0x4189374BC6A7EF9D, 0x68DB8BAC710CB295, 0x53E2D6238DA3C211,
    0x431BDE82D7B634DA, 0x6B5FCA6AF2BD215E, 0x55E63B88C230E77E,
    0x44B82FA09B5A52CB, 0x6DF37F675EF6EADF, 0x57F5FF85E592557F,
    0x465E6604B7A84465, 0x709709A125DA0709, 0x5A126E1A84AE6C07,
    0x480EBE7B9D58566C, 0x734ACA5F6226F0AD, 0x5C3BD5191B525A24,
    0x49C97747490EAE83, 0x760F253EDB4AB0D2, 0x5E72843249088D75,
    0x4B8ED0283A6D3DF7, 0x78E480405D7B9658, 0x60B6CD004AC94513,
    0x4D5F0A66A23A9DA9, 0x7BCB43D769F762A8, 0x63090312BB2C4EED,
    0x4F3A68DBC8F03F24, 0x7EC3DAF941806506, 0x65697BFA9ACD1D9F,
    0x51212FFBAF0A7E18, 0x40E7599625A1FE7A,
};

__extension__ typedef unsigned __int128 Uint128;

// The high 64 bits of g * cp, shifted down 31 bits and rounded to odd.
inline std::uint64_t round_to_odd(std::uint64_t g, std::uint64_t cp) noexcept {
    const Uint128 product = static_cast<Uint128>(g) * cp;
    const auto high = static_cast<std::uint64_t>(product >> 64);
    return (high >> 31) | (((high & 0xFFFFFFFFu) + 0xFFFFFFFFu) >> 32);
}

struct Decimal {
    std::uint32_t significand;
    int exponent;  // value = significand * 10^exponent
};

// The value c * 2^q.
Decimal shortest_decimal(int q, std::uint32_t c) noexcept {
    const std::uint64_t odd = c & 1;
    const std::uint64_t cb = static_cast<std::uint64_t>(c) << 2;
    const std::uint64_t cbr = cb + 2;
    std::uint64_t cbl;
    int k;
    // At a power of two the interval below is half as wide as above.
    if (c != C_MIN || q == Q_MIN) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 33;
    const std::uint64_t g = POW10_INVERSE[k - K_MIN] + 1;
    const std::uint64_t vb = round_to_odd(g, cb << h);
    const std::uint64_t vbl = round_to_odd(g, cbl << h);
    const std::uint64_t vbr = round_to_odd(g, cbr << h);
    const std::uint64_t s = vb >> 2;
    if (s >= 100) {
        // One digit fewer, if exactly one of its two neighbours is inside.
        const std::uint64_t sp10 = 10 * ((s * 1717986919ULL) >> 34);
        const std::uint64_t tp10 = sp10 + 10;
        const bool upin = vbl + odd <= sp10 << 2;
        const bool wpin = (tp10 << 2) + odd <= vbr;
        if (upin != wpin) return {static_cast<std::uint32_t>(upin ? sp10 : tp10), k};
    }
    const std::uint64_t t = s + 1;
    const bool uin = vbl + odd <= s << 2;
    const bool win = (t << 2) + odd <= vbr;
    if (uin != win) return {static_cast<std::uint32_t>(uin ? s : t), k};
    // Both inside: the nearer, and the even one on a tie.
    const auto cmp = static_cast<std::int64_t>(vb) - static_cast<std::int64_t>((s + t) << 1);
    return {static_cast<std::uint32_t>(cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t), k};
}

constexpr std::uint32_t POWERS_OF_TEN[] = {1,      10,      100,      1000,      10000,
                                           100000, 1000000, 10000000, 100000000, 1000000000};

constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The notation for a normal float, with fixed-size copies only: `digits`
// holds the n significant digits followed by at least 16 bytes of '0', and
// `out` has FLOAT_TEXT_MAX bytes of room, of which at most 24 are touched.
// Variable-length copies would cost a library call and a mispredicted
// branch or two per value.
char* write_f32_notation(const char* digits, int n, int exponent, char* w) noexcept {
    if (exponent < -6 || exponent > 12) {
        w[0] = digits[0];
        w[1] = '.';
        std::memcpy(w + 2, digits + 1, 8);
        w += n > 1 ? n + 1 : 1;
        w[0] = 'e';
        w[1] = exponent < 0 ? '-' : '+';
        const unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
        const char* pair = DIGIT_PAIRS + 2 * magnitude;
        const int one_digit = magnitude < 10;
        w[2] = pair[one_digit];
        w[3] = pair[1];
        return w + 4 - one_digit;
    }
    if (exponent >= n - 1) {
        // Digits, the zeros up to the point, ".0".
        std::memcpy(w, digits, 16);
        w += exponent + 1;
        w[0] = '.';
        w[1] = '0';
        return w + 2;
    }
    if (exponent >= 0) {
        std::memcpy(w, digits, 16);
        w[exponent + 1] = '.';
        std::memcpy(w + exponent + 2, digits + exponent + 1, 8);
        return w + n + 1;
    }
    std::memcpy(w, "0.000000", 8);
    std::memcpy(w + 1 - exponent, digits, 16);
    return w + 1 - exponent + n;
}

}  // namespace

// Flattened: the shortest-digit routine is the body of the hot float
// formatter, and a call into it would cost every value.
[[gnu::flatten]] std::size_t format_f32(float value, char* out) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    char* w = out;
    if ((bits & 0x7F800000u) == 0x7F800000u) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    // Without a branch: signs of successive values are often unpredictable.
    *w = '-';
    w += bits >> 31;
    if ((bits & 0x7F800000u) == 0) {
        if ((bits & 0x7FFFFFFFu) == 0) {
            std::memcpy(w, "0.0", 3);
            return static_cast<std::size_t>(w + 3 - out);
        }
        return format_via_to_chars(value, -6, 12, out);
    }
    // Whole numbers (counts, percentages, set points) are common and always
    // plain: their digits and ".0", without the general machinery. The test
    // is the one the shortest-digits routine would make first anyway.
    const std::uint32_t fraction = bits & (C_MIN - 1);
    const int mq = -Q_MIN + 1 - static_cast<int>((bits >> 23) & 0xFF);
    const std::uint32_t c = C_MIN | fraction;
    if (0 < mq && mq < PRECISION && (c >> mq) << mq == c) {
        std::uint32_t whole = c >> mq;
        char digits[8];
        char* d = digits + sizeof digits;
        do {
            *--d = static_cast<char>('0' + whole % 10);
            whole /= 10;
        } while (whole != 0);
        const auto n = static_cast<std::size_t>(digits + sizeof digits - d);
        std::memcpy(w, d, n);
        std::memcpy(w + n, ".0", 2);
        return static_cast<std::size_t>(w + n + 2 - out);
    }
    const Decimal d = shortest_decimal(-mq, c);
    // Trailing zeros go in halving steps (a significand has at most ten
    // digits), where a loop would branch unpredictably once per zero.
    std::uint32_t f = d.significand;
    int exponent = d.exponent;
    if (f % 100000000 == 0) {
        f /= 100000000;
        exponent += 8;
    }
    if (f % 10000 == 0) {
        f /= 10000;
        exponent += 4;
    }
    if (f % 100 == 0) {
        f /= 100;
        exponent += 2;
    }
    if (f % 10 == 0) {
        f /= 10;
        exponent += 1;
    }
    // At most nine digits now; their count from the bit length, corrected
    // by one comparison. All ten places are written zero-padded, then the
    // significant ones are used from where they start.
    const int estimate = (static_cast<int>(std::bit_width(f)) * 1233) >> 12;
    const int n = estimate + (f >= POWERS_OF_TEN[estimate]);
    char padded[32];
    std::memset(padded, '0', sizeof padded);
    const std::uint32_t high = f / 100000000;
    const std::uint32_t low = f % 100000000;
    padded[1] = static_cast<char>('0' + high);
    std::memcpy(padded + 2, DIGIT_PAIRS + 2 * (low / 1000000), 2);
    std::memcpy(padded + 4, DIGIT_PAIRS + 2 * (low / 10000 % 100), 2);
    std::memcpy(padded + 6, DIGIT_PAIRS + 2 * (low / 100 % 100), 2);
    std::memcpy(padded + 8, DIGIT_PAIRS + 2 * (low % 100), 2);
    return static_cast<std::size_t>(write_f32_notation(padded + 10 - n, n, exponent + n - 1, w) - out);
}

double f32_shortest_value(float value) noexcept {
    // Powers of ten that a double holds exactly; with a significand below
    // 2^53, one multiplication or division by them is correctly rounded.
    static constexpr double EXACT_POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const double sign = (bits >> 31) != 0 ? -1.0 : 1.0;
    const int mq = -Q_MIN + 1 - static_cast<int>((bits >> 23) & 0xFF);
    const std::uint32_t c = C_MIN | (bits & (C_MIN - 1));
    if ((bits & 0x7F800000u) != 0) {
        // Whole numbers are their own shortest decimal.
        if (0 < mq && mq < PRECISION && (c >> mq) << mq == c) return static_cast<double>(value);
        const Decimal d = shortest_decimal(-mq, c);
        const auto significand = static_cast<double>(d.significand);
        if (0 <= d.exponent && d.exponent <= 22) return sign * (significand * EXACT_POWERS_OF_TEN[d.exponent]);
        if (-22 <= d.exponent && d.exponent < 0) return sign * (significand / EXACT_POWERS_OF_TEN[-d.exponent]);
    } else if ((bits & 0x7FFFFFFFu) == 0) {
        return static_cast<double>(value);
    }
    // Subnormals and the far ends of the range read their own text back.
    char text[FLOAT_TEXT_MAX];
    const std::size_t length = format_f32(value, text);
    double parsed = 0;
    std::from_chars(text, text + length, parsed);
    return parsed;
}

std::size_t format_f64(double value, char* out) noexcept { return format_via_to_chars(value, -5, 15, out); }

}  // namespace plim
