#pragma once
// Shortest round-trip float text in the module's notation: plain decimal
// inside a window of decimal exponents (with ".0" on integral values), a
// signed exponent outside it.
#include <cstddef>

namespace plim {

// Enough for "-1.2345678901234567e-308".
inline constexpr std::size_t FLOAT_TEXT_MAX = 32;

// Output JSON: 32-bit floats, plain for exponents -6..12; NaN and the
// infinities are written "null". Returns the length of the text; `out` must
// have FLOAT_TEXT_MAX bytes, all of which may be used as scratch.
std::size_t format_f32(float value, char* out) noexcept;

// The 64-bit float that reading format_f32's text back gives: the value
// nearest the shortest decimal of `value` (1.0000000149011612e-1 becomes
// 0.1). Only ever called with finite values.
double f32_shortest_value(float value) noexcept;

// Error descriptions: 64-bit floats, plain for exponents -5..15. Only ever
// called with finite values.
std::size_t format_f64(double value, char* out) noexcept;

}  // namespace plim
