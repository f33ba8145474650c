#include "json/skip.hpp"

#include <vector>

#include "json/number_reader.hpp"
#include "json/string_reader.hpp"
#include "json/texts.hpp"

namespace plim::json {

namespace {

// Skips one scalar, or opens a container: pushes its closing byte and
// leaves the cursor after the opening one.
bool skip_start(Reader& r, std::vector<char>& open) {
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    switch (value_start(*r.pos)) {
        case ValueStart::String: return skip_string(r);
        case ValueStart::Number: return skip_number(r);
        case ValueStart::Null: return read_literal(r, "null");
        case ValueStart::True: return read_literal(r, "true");
        case ValueStart::False: return read_literal(r, "false");
        case ValueStart::Array:
            open.push_back(']');
            ++r.pos;
            return true;
        case ValueStart::Object:
            open.push_back('}');
            ++r.pos;
            return true;
        case ValueStart::None: break;
    }
    return r.fail_at(r.pos, json_text::EXPECTED_VALUE);
}

// In an object, after the opening brace or a comma: a key and its colon.
bool skip_key(Reader& r) {
    if (!skip_string(r)) return false;
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
    if (*r.pos != ':') return r.fail_at(r.pos, json_text::EXPECTED_COLON);
    ++r.pos;
    r.skip_whitespace();
    return true;
}

}  // namespace

bool skip_value(Reader& r) {
    // The closing bytes of the open containers, innermost last. The heap
    // holds the nesting, so depth costs one byte each and never the stack.
    std::vector<char> open;
    // Whether the cursor stands just inside a container that was just opened.
    bool just_opened = false;
    if (!skip_start(r, open)) return false;
    just_opened = !open.empty();
    while (!open.empty()) {
        const char close = open.back();
        r.skip_whitespace();
        if (just_opened) {
            just_opened = false;
            if (r.at_end()) return r.fail_end(close == ']' ? json_text::EOF_LIST : json_text::EOF_OBJECT);
            if (*r.pos == close) {
                ++r.pos;
                open.pop_back();
                continue;
            }
            if (close == '}') {
                if (*r.pos != '"') return r.fail_at(r.pos, json_text::KEY_MUST_BE_A_STRING);
                if (!skip_key(r)) return false;
            }
        } else {
            // After a value inside the innermost container.
            if (r.at_end()) return r.fail_end(close == ']' ? json_text::EOF_LIST : json_text::EOF_OBJECT);
            if (*r.pos == close) {
                ++r.pos;
                open.pop_back();
                continue;
            }
            if (*r.pos != ',') {
                return r.fail_at(r.pos, close == ']' ? json_text::EXPECTED_LIST_COMMA_OR_END
                                                     : json_text::EXPECTED_OBJECT_COMMA_OR_END);
            }
            ++r.pos;
            r.skip_whitespace();
            if (close == '}') {
                if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
                if (*r.pos != '"') return r.fail_at(r.pos, json_text::KEY_MUST_BE_A_STRING);
                if (!skip_key(r)) return false;
            }
        }
        const std::size_t depth = open.size();
        if (!skip_start(r, open)) return false;
        just_opened = open.size() > depth;
    }
    return true;
}

}  // namespace plim::json
