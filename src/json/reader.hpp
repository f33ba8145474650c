#pragma once
// The strict reader's cursor: a position over the input bytes and the first
// refusal met. A refusal records only a byte offset; its line and column are
// counted once, when the refusal is made, so the accepting path never pays
// for position tracking.
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json_error.hpp"

namespace plim::json {

struct Reader {
    const char* begin;
    const char* pos;
    const char* end;
    JsonInputError error;

    explicit Reader(std::string_view text) noexcept
        : begin(text.data()), pos(text.data()), end(text.data() + text.size()) {}

    [[nodiscard]] bool at_end() const noexcept { return pos == end; }

    void skip_whitespace() noexcept {
        while (pos != end && is_whitespace(*pos)) ++pos;
    }

    static constexpr bool is_whitespace(char c) noexcept {
        return c == ' ' || c == '\n' || c == '\r' || c == '\t';
    }

    // Every refusal returns false so that readers can `return r.fail_...(...)`.
    // `fail_offset` is the one primitive: k is the number of input bytes before
    // the position.
    bool fail_offset(const char* k, std::string_view message);
    bool fail_at(const char* byte, std::string_view message) { return fail_offset(byte + 1, message); }
    bool fail_before(const char* byte, std::string_view message) { return fail_offset(byte, message); }
    bool fail_end(std::string_view message) { return fail_offset(end, message); }
    bool fail_unpositioned(std::string_view message);
};

// What a byte standing where a value must start begins.
enum class ValueStart : std::uint8_t { String, Number, Null, True, False, Array, Object, None };

constexpr ValueStart value_start(char c) noexcept {
    switch (c) {
        case '"': return ValueStart::String;
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': return ValueStart::Number;
        case 'n': return ValueStart::Null;
        case 't': return ValueStart::True;
        case 'f': return ValueStart::False;
        case '[': return ValueStart::Array;
        case '{': return ValueStart::Object;
        default: return ValueStart::None;
    }
}

// Reads null, true or false; the cursor stands on the first letter, which
// the caller has already matched.
bool read_literal(Reader& r, std::string_view word);

}  // namespace plim::json
