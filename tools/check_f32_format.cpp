// Exhaustive check of the 32-bit float text: walks the finite positive bit
// patterns (every one, or every stride-th one) plus all patterns near powers
// of ten and near the plain/exponent notation boundaries, and for each
// confirms that the text
//   (a) has the notation's shape and reads back (std::from_chars) to the same float,
//   (b) has no correct digit string one digit shorter (hence none shorter at all),
//   (c) among correct strings of its length is the nearest, then the even one.
// (b) and (c) are judged with exact integer arithmetic on the float's value
// and the bounds of its rounding interval, independently of how the text was
// produced. Each negative twin must be the same text with a leading minus.
//
// Usage: check_f32_format [passes [first_bits [end_bits]]]
// The range is walked in `passes` interleaved passes (default 7): pass p
// takes every pattern congruent to p modulo `passes`, so the first pass alone
// is a stride walk over the whole range and each further pass fills in more.
// A line after each pass gives the count checked, the failures (at most 20
// shown in full) and the time so far; exits non-zero on any failure.
#include <array>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/float_format.hpp"

namespace {

// Unsigned integer of up to 384 bits, little-endian limbs, of which only the
// first `used` can be non-zero: ample for c * 10^60 * 2^151.
struct Big {
    static constexpr int LIMBS = 12;
    std::uint32_t limb[LIMBS] = {};
    int used = 0;

    static Big of(std::uint64_t v) {
        Big b;
        b.limb[0] = static_cast<std::uint32_t>(v);
        b.limb[1] = static_cast<std::uint32_t>(v >> 32);
        b.used = 2;
        return b;
    }
    void mul_small(std::uint32_t factor) {
        std::uint64_t carry = 0;
        for (int i = 0; i < used; ++i) {
            const std::uint64_t product = static_cast<std::uint64_t>(limb[i]) * factor + carry;
            limb[i] = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        if (carry) {
            if (used == LIMBS) std::abort();  // overflow would make every verdict meaningless
            limb[used++] = static_cast<std::uint32_t>(carry);
        }
    }
    int bit_length() const {
        for (int i = used - 1; i >= 0; --i) {
            if (limb[i]) return 32 * i + std::bit_width(limb[i]);
        }
        return 0;
    }
    void shift_left(int bits) {
        if (bit_length() + bits > 32 * LIMBS) std::abort();
        const int words = bits / 32;
        const int rest = bits % 32;
        const int top = used + words + 1 > LIMBS ? LIMBS : used + words + 1;
        for (int i = top - 1; i >= 0; --i) {
            const int from = i - words;
            std::uint64_t v = from >= 0 && from < used ? static_cast<std::uint64_t>(limb[from]) << rest : 0;
            if (rest && from - 1 >= 0 && from - 1 < used) v |= limb[from - 1] >> (32 - rest);
            limb[i] = static_cast<std::uint32_t>(v);
        }
        used = top;
    }
    void mul_pow10(int k) {
        for (; k >= 9; k -= 9) mul_small(1000000000u);
        static constexpr std::uint32_t SMALL[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
        if (k) mul_small(SMALL[k]);
    }
    friend int compare(const Big& a, const Big& b) {
        for (int i = (a.used > b.used ? a.used : b.used) - 1; i >= 0; --i) {
            const std::uint32_t x = i < a.used ? a.limb[i] : 0;
            const std::uint32_t y = i < b.used ? b.limb[i] : 0;
            if (x != y) return x < y ? -1 : 1;
        }
        return 0;
    }
};

// Sign of c * 10^s - units * 2^q, all exact.
int compare_decimal(std::uint64_t c, int s, std::uint64_t units, int q) {
    Big left = Big::of(c);
    Big right = Big::of(units);
    if (s >= 0) left.mul_pow10(s); else right.mul_pow10(-s);
    if (q >= 0) right.shift_left(q); else left.shift_left(-q);
    return compare(left, right);
}

// A positive finite float as m * 2^e, and the bounds of the decimals that
// read back as it, in quarter units of 2^e: (lo, hi), closed when m is even.
struct Exact {
    std::uint64_t m;
    int e;
    std::uint64_t lo4;
    std::uint64_t hi4;
    bool closed;
};

Exact exact_of(std::uint32_t bits) {
    const std::uint32_t fraction = bits & 0x7FFFFF;
    const int biased = static_cast<int>(bits >> 23);
    Exact x{};
    if (biased == 0) {
        x.m = fraction;
        x.e = -149;
    } else {
        x.m = fraction | 0x800000;
        x.e = biased - 150;
    }
    // Just above a power of two the gap below is half the gap above.
    const bool narrow_below = fraction == 0 && biased > 1;
    x.lo4 = 4 * x.m - (narrow_below ? 1 : 2);
    x.hi4 = 4 * x.m + 2;
    x.closed = x.m % 2 == 0;
    return x;
}

// Whether c * 10^s reads back as the float.
bool reads_back(const Exact& x, std::uint64_t c, int s) {
    const int low = compare_decimal(c, s, x.lo4, x.e - 2);
    const int high = compare_decimal(c, s, x.hi4, x.e - 2);
    return x.closed ? (low >= 0 && high <= 0) : (low > 0 && high < 0);
}

// floor(value / 10^s), given it is below 2^63.
std::uint64_t floor_scaled(const Exact& x, int s) {
    // Only a first guess, corrected exactly below.
    static const auto powers = [] {
        std::array<long double, 160> table{};
        for (int k = 0; k < 160; ++k) table[k] = std::pow(10.0L, k - 80);
        return table;
    }();
    const long double estimate = std::ldexp(static_cast<long double>(x.m), x.e) / powers[s + 80];
    auto q = static_cast<std::uint64_t>(estimate);
    while (q > 0 && compare_decimal(q, s, x.m, x.e) > 0) --q;
    while (compare_decimal(q + 1, s, x.m, x.e) <= 0) ++q;
    return q;
}

// Decimal exponent of the value's first digit.
int decimal_exponent(const Exact& x) {
    int k = static_cast<int>(std::floor(std::log10(std::ldexp(static_cast<double>(x.m), x.e))));
    while (compare_decimal(1, k, x.m, x.e) > 0) --k;
    while (compare_decimal(1, k + 1, x.m, x.e) <= 0) ++k;
    return k;
}

// The text taken apart: significant digits without leading or trailing
// zeros, and the decimal exponent of the first one. Empty digits on a shape
// violation.
struct Parsed {
    std::uint64_t digits = 0;
    int n = 0;
    int exponent = 0;
    std::string problem;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

Parsed parse_text(std::string_view t) {
    Parsed p;
    const std::size_t e_at = t.find('e');
    if (e_at == std::string_view::npos) {
        // Plain: integer part without superfluous leading zero, a point, and
        // a fraction that is ".0" exactly when the value is integral.
        const std::size_t dot = t.find('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 == t.size()) return p.problem = "plain form without point", p;
        const std::string_view integer = t.substr(0, dot);
        const std::string_view fraction = t.substr(dot + 1);
        for (char c : integer) if (!is_digit(c)) return p.problem = "non-digit", p;
        for (char c : fraction) if (!is_digit(c)) return p.problem = "non-digit", p;
        if (integer.size() > 1 && integer[0] == '0') return p.problem = "leading zero", p;
        if (fraction.size() > 1 && fraction.back() == '0') return p.problem = "trailing zero", p;
        if (integer == "0" && fraction == "0") return p.problem = "zero text for non-zero value", p;
        std::string all = std::string(integer) + std::string(fraction);
        if (fraction == "0") all.pop_back();
        std::size_t first = all.find_first_not_of('0');
        std::size_t last = all.find_last_not_of('0');
        // "0.00d..." puts the first digit at the position of its index.
        if (integer == "0") p.exponent = -static_cast<int>(first);
        else p.exponent = static_cast<int>(integer.size()) - 1;
        all = all.substr(first, last - first + 1);
        if (all.size() > 9) return p.problem = "more than 9 digits", p;
        for (char c : all) p.digits = p.digits * 10 + static_cast<std::uint64_t>(c - '0');
        p.n = static_cast<int>(all.size());
        if (p.exponent < -6 || p.exponent > 12) return p.problem = "plain notation outside its window", p;
        return p;
    }
    // Exponent form: d[.ddd]e(+|-)x, no trailing zero, sign always written.
    const std::string_view mantissa = t.substr(0, e_at);
    const std::string_view exponent = t.substr(e_at + 1);
    if (mantissa.empty() || !is_digit(mantissa[0]) || mantissa[0] == '0') return p.problem = "bad first digit", p;
    std::string all(1, mantissa[0]);
    if (mantissa.size() > 1) {
        if (mantissa[1] != '.' || mantissa.size() < 3) return p.problem = "bad mantissa", p;
        for (char c : mantissa.substr(2)) {
            if (!is_digit(c)) return p.problem = "non-digit", p;
            all += c;
        }
        if (all.back() == '0') return p.problem = "trailing zero", p;
    }
    if (exponent.size() < 2 || (exponent[0] != '+' && exponent[0] != '-') || exponent[1] == '0') {
        return p.problem = "bad exponent", p;
    }
    int magnitude = 0;
    for (char c : exponent.substr(1)) {
        if (!is_digit(c)) return p.problem = "non-digit", p;
        magnitude = magnitude * 10 + (c - '0');
    }
    p.exponent = exponent[0] == '-' ? -magnitude : magnitude;
    if (all.size() > 9) return p.problem = "more than 9 digits", p;
    for (char c : all) p.digits = p.digits * 10 + static_cast<std::uint64_t>(c - '0');
    p.n = static_cast<int>(all.size());
    if (p.exponent >= -6 && p.exponent <= 12) return p.problem = "exponent notation inside the plain window", p;
    return p;
}

// Strips trailing zeros so two decimals can be compared as (digits, scale).
void normalise(std::uint64_t& c, int& s) {
    while (c != 0 && c % 10 == 0) {
        c /= 10;
        ++s;
    }
}

std::string verdict(std::uint32_t bits) {
    const float value = std::bit_cast<float>(bits);
    char buffer[plim::FLOAT_TEXT_MAX];
    const std::string text(buffer, plim::format_f32(value, buffer));
    char negative[plim::FLOAT_TEXT_MAX];
    const std::string negative_text(negative, plim::format_f32(-value, negative));
    if (negative_text != "-" + text) return "negative twin is " + negative_text + " for " + text;
    if (bits == 0) return text == "0.0" ? "" : "zero written " + text;

    float back = 0;
    const auto read = std::from_chars(text.data(), text.data() + text.size(), back);
    if (read.ec != std::errc() || read.ptr != text.data() + text.size()) return "does not read back: " + text;
    if (std::bit_cast<std::uint32_t>(back) != bits) return "reads back as another float: " + text;

    const Parsed p = parse_text(text);
    if (!p.problem.empty()) return p.problem + ": " + text;
    const Exact x = exact_of(bits);
    const int exponent = decimal_exponent(x);
    if (!reads_back(x, p.digits, p.exponent - p.n + 1)) return "exact value outside the rounding interval: " + text;

    if (p.n > 1) {
        const int s = exponent - p.n + 2;
        const std::uint64_t below = floor_scaled(x, s);
        if (reads_back(x, below, s) || reads_back(x, below + 1, s)) return "a shorter text exists: " + text;
    }

    const int s = exponent - p.n + 1;
    const std::uint64_t below = floor_scaled(x, s);
    const bool exact = compare_decimal(below, s, x.m, x.e) == 0;
    std::uint64_t best;
    if (exact) {
        best = below;
    } else {
        const bool below_ok = reads_back(x, below, s);
        const bool above_ok = reads_back(x, below + 1, s);
        if (below_ok && above_ok) {
            // Twice the value against the midpoint of the two candidates.
            const int side = compare_decimal(2 * below + 1, s, 2 * x.m, x.e);
            best = side > 0 ? below : side < 0 ? below + 1 : (below % 2 == 0 ? below : below + 1);
        } else if (below_ok) {
            best = below;
        } else if (above_ok) {
            best = below + 1;
        } else {
            return "no text of this length reads back: " + text;
        }
    }
    std::uint64_t written = p.digits;
    int written_scale = p.exponent - p.n + 1;
    int best_scale = s;
    normalise(written, written_scale);
    normalise(best, best_scale);
    if (written != best || written_scale != best_scale) {
        return "not the nearest (then even) of its length: " + text + " vs " + std::to_string(best) + "e" +
               std::to_string(best_scale);
    }
    return "";
}

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t failed = 0;
    void check(std::uint32_t bits) {
        ++checked;
        const std::string problem = verdict(bits);
        if (!problem.empty()) {
            if (failed < 20) std::printf("FAIL %08x: %s\n", bits, problem.c_str());
            ++failed;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t passes = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 7;
    const std::uint64_t first = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : 0;
    const std::uint64_t end = argc > 3 ? std::strtoull(argv[3], nullptr, 0) : 0x7F800000;  // first non-finite
    if (passes == 0) return 2;
    const auto start = std::chrono::steady_clock::now();
    Tally tally;

    // Neighbourhoods of every power of ten a float can come near, which
    // include the notation boundaries 1e-7/1e-6 and 1e12/1e13.
    for (int k = -45; k <= 38; ++k) {
        const float nearest = std::strtof(("1e" + std::to_string(k)).c_str(), nullptr);
        const std::uint32_t centre = std::bit_cast<std::uint32_t>(nearest);
        for (std::uint32_t b = centre > 64 ? centre - 64 : 0; b <= centre + 64 && b < 0x7F800000; ++b) tally.check(b);
    }
    // Both ends of the range and the subnormal/normal seam.
    for (std::uint32_t b = 0; b < 4096; ++b) tally.check(b);
    for (std::uint32_t b = 0x7F800000 - 4096; b < 0x7F800000; ++b) tally.check(b);
    for (std::uint32_t b = 0x00800000 - 2048; b < 0x00800000 + 2048; ++b) tally.check(b);

    const auto report = [&](const char* what) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%s: %llu floats checked, %llu failures, %.1f s\n", what,
                    static_cast<unsigned long long>(tally.checked), static_cast<unsigned long long>(tally.failed),
                    elapsed.count());
        std::fflush(stdout);
    };
    report("neighbourhoods of powers of ten, range ends");
    for (std::uint64_t pass = 0; pass < passes; ++pass) {
        for (std::uint64_t b = first + pass; b < end; b += passes) tally.check(static_cast<std::uint32_t>(b));
        char what[96];
        std::snprintf(what, sizeof what, "pass %llu/%llu over bit patterns [0x%08llx, 0x%08llx)",
                      static_cast<unsigned long long>(pass + 1), static_cast<unsigned long long>(passes),
                      static_cast<unsigned long long>(first), static_cast<unsigned long long>(end));
        report(what);
    }
    return tally.failed == 0 ? 0 : 1;
}
