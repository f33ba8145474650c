#pragma once
// JSON numbers, classified as every number read is classified: an integer
// without point or exponent that fits 64 unsigned bits, a negative one that
// fits 64 signed bits, and everything else as the nearest 64-bit float.
#include <cstdint>

#include "json/reader.hpp"

namespace plim::json {

struct Number {
    enum class Kind : std::uint8_t { U64, I64, F64 };
    Kind kind = Kind::U64;
    std::uint64_t u64 = 0;
    std::int64_t i64 = 0;
    double f64 = 0;
};

// The cursor stands on the minus sign or the first digit. Refuses a number
// whose magnitude is beyond the 64-bit float range.
bool read_number(Reader& r, Number& out);

// Checks a number against the grammar only: it is never converted, so it is
// never out of range.
bool skip_number(Reader& r);

// The nearest 32-bit float: integers convert directly, others through their
// 64-bit float, keeping the sign through overflow to infinity and underflow
// to zero.
float to_f32(const Number& n) noexcept;

}  // namespace plim::json
