#pragma once
// An independent judge of JSON well-formedness (RFC 8259 grammar, bytewise),
// iterative so that nesting depth costs no stack. Any \uXXXX escape is
// grammatical; surrogate pairing is a question of meaning, not syntax.
#include <cstddef>
#include <string_view>
#include <vector>

namespace fuzzjson {

class Checker {
public:
    explicit Checker(std::string_view text) : s_(text) {}

    bool document() {
        std::vector<char> open;  // '[' or '{', innermost last
        bool want_value = true;
        for (;;) {
            skip_ws();
            if (want_value) {
                if (i_ == s_.size()) return false;
                const char c = s_[i_];
                if (c == '{') {
                    ++i_;
                    skip_ws();
                    if (peek('}')) {
                        ++i_;
                        want_value = false;
                        continue;
                    }
                    if (!member_key()) return false;
                    open.push_back('{');
                    continue;
                }
                if (c == '[') {
                    ++i_;
                    skip_ws();
                    if (peek(']')) {
                        ++i_;
                        want_value = false;
                        continue;
                    }
                    open.push_back('[');
                    continue;
                }
                if (!scalar()) return false;
                want_value = false;
                continue;
            }
            if (open.empty()) return i_ == s_.size();
            if (i_ == s_.size()) return false;
            const char c = s_[i_++];
            if (c == ',') {
                if (open.back() == '{') {
                    skip_ws();
                    if (!member_key()) return false;
                }
                want_value = true;
            } else if ((c == ']' && open.back() == '[') || (c == '}' && open.back() == '{')) {
                open.pop_back();
            } else {
                return false;
            }
        }
    }

private:
    bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

    void skip_ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }

    // A key, the colon after it, and the whitespace before the value.
    bool member_key() {
        if (!peek('"') || !string()) return false;
        skip_ws();
        if (!peek(':')) return false;
        ++i_;
        return true;
    }

    bool scalar() {
        const char c = s_[i_];
        if (c == '"') return string();
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        for (std::string_view word : {std::string_view("true"), std::string_view("false"), std::string_view("null")}) {
            if (s_.substr(i_, word.size()) == word) {
                i_ += word.size();
                return true;
            }
        }
        return false;
    }

    bool string() {
        ++i_;  // opening quote
        while (i_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (i_ == s_.size()) return false;
            const char e = s_[i_++];
            if (e == 'u') {
                for (int k = 0; k < 4; ++k) {
                    if (i_ == s_.size()) return false;
                    const char h = s_[i_++];
                    const bool hex = (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F');
                    if (!hex) return false;
                }
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }

    bool number() {
        if (peek('-')) ++i_;
        if (peek('0')) {
            ++i_;
        } else if (digit()) {
            while (digit()) ++i_;
        } else {
            return false;
        }
        if (peek('.')) {
            ++i_;
            if (!digit()) return false;
            while (digit()) ++i_;
        }
        if (peek('e') || peek('E')) {
            ++i_;
            if (peek('+') || peek('-')) ++i_;
            if (!digit()) return false;
            while (digit()) ++i_;
        }
        return true;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

inline bool is_json(std::string_view text) { return Checker(text).document(); }

}  // namespace fuzzjson
