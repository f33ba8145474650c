#pragma once
// The strict reader's error: a fixed text and a byte-counted position.
#include <cstdint>
#include <expected>
#include <string>

namespace plim {

struct JsonInputError {
    std::string message;     // without the position
    std::uint64_t line = 0;  // 1-based; 0 when the error has no position
    std::uint64_t column = 0;
};

// "{message} at line {line} column {column}", or the message alone without a position.
std::string json_error_text(const JsonInputError& error);

template <class T>
using JsonResult = std::expected<T, JsonInputError>;

}  // namespace plim
