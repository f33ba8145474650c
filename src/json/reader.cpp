#include "json/reader.hpp"

#include <cstring>

#include "json/texts.hpp"

namespace plim::json {

bool Reader::fail_offset(const char* k, std::string_view message) {
    std::uint64_t line = 1;
    const char* line_start = begin;
    for (const char* p = begin; p < k;) {
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(k - p));
        if (lf == nullptr) break;
        ++line;
        p = static_cast<const char*>(lf) + 1;
        line_start = p;
    }
    error = JsonInputError{std::string(message), line, static_cast<std::uint64_t>(k - line_start)};
    return false;
}

bool Reader::fail_unpositioned(std::string_view message) {
    error = JsonInputError{std::string(message), 0, 0};
    return false;
}

bool read_literal(Reader& r, std::string_view word) {
    const char* p = r.pos + 1;
    for (std::size_t i = 1; i < word.size(); ++i, ++p) {
        if (p == r.end) return r.fail_end(json_text::EOF_VALUE);
        if (*p != word[i]) return r.fail_at(p, json_text::EXPECTED_IDENT);
    }
    r.pos = p;
    return true;
}

}  // namespace plim::json
