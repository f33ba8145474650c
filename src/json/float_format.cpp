#include "json/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace plim {

namespace {

// The standard library's shortest round-trip conversion picks the nearest
// (then even) digit string among the shortest; scientific form hands us the
// digits and the decimal exponent of the first one, and the notation is ours.
template <class Float>
std::size_t format_shortest(Float value, int plain_min, int plain_max, char* out) noexcept {
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
    ++p;  // sign
    int exponent = 0;
    for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    if (exponent < plain_min || exponent > plain_max) {
        *w++ = digits[0];
        if (n > 1) {
            *w++ = '.';
            std::memcpy(w, digits + 1, static_cast<std::size_t>(n - 1));
            w += n - 1;
        }
        *w++ = 'e';
        *w++ = negative_exponent ? '-' : '+';
        const auto tail = std::to_chars(w, out + FLOAT_TEXT_MAX, negative_exponent ? -exponent : exponent);
        return static_cast<std::size_t>(tail.ptr - out);
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
    return static_cast<std::size_t>(w - out);
}

}  // namespace

std::size_t format_f32(float value, char* out) noexcept {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    return format_shortest(value, -6, 12, out);
}

std::size_t format_f64(double value, char* out) noexcept { return format_shortest(value, -5, 15, out); }

}  // namespace plim
