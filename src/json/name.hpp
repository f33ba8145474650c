#pragma once
// Names fixed in the program: member names and variant names of the
// messages.
#include <cstddef>
#include <string_view>

namespace plim {

// A name checked when it is compiled to need no escaping in JSON, so writing
// it is a plain copy.
class JsonName {
public:
    consteval JsonName() = default;
    template <std::size_t N>
    consteval explicit JsonName(const char (&text)[N]) : text_(text), size_(N - 1) {
        for (std::size_t i = 0; i + 1 < N; ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte < 0x20 || byte == '"' || byte == '\\') throw "member name needs escaping";
        }
    }
    constexpr const char* data() const noexcept { return text_; }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr std::string_view view() const noexcept { return {text_, size_}; }
    constexpr bool empty() const noexcept { return size_ == 0; }

private:
    const char* text_ = "";
    std::size_t size_ = 0;
};

}  // namespace plim
