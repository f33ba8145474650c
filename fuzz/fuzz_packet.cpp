// Packet text: the reader accepts exactly the arrays of decimal integers 0 to
// 255 (an independent scan judges), and the bytes it returns are the numbers
// written in the text. Refusals carry a position. The reader into caller
// storage gives the same bytes or the same error.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "check.hpp"
#include "json/packet_reader.hpp"
#include "replay_main.hpp"

namespace fuzz_packet {

// ws [ ws ( int ws ( , ws int ws )* )? ] ws, with int = 0 | [1-9][0-9]* <= 255.
inline std::optional<std::string> scan(std::string_view s) {
    std::size_t i = 0;
    auto ws = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    };
    auto integer = [&](std::string& out) {
        if (i == s.size() || s[i] < '0' || s[i] > '9') return false;
        if (s[i] == '0') {
            ++i;
            out.push_back(0);
        } else {
            unsigned value = 0;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                value = value * 10 + static_cast<unsigned>(s[i++] - '0');
                if (value > 255) return false;
            }
            out.push_back(static_cast<char>(value));
        }
        // A fraction or exponent makes it a float; another digit after 0 is malformed.
        return i == s.size() || (s[i] != '.' && s[i] != 'e' && s[i] != 'E' && (s[i] < '0' || s[i] > '9'));
    };
    std::string bytes;
    ws();
    if (i == s.size() || s[i] != '[') return std::nullopt;
    ++i;
    ws();
    if (i < s.size() && s[i] == ']') {
        ++i;
    } else {
        for (;;) {
            if (!integer(bytes)) return std::nullopt;
            ws();
            if (i < s.size() && s[i] == ',') {
                ++i;
                ws();
                continue;
            }
            if (i < s.size() && s[i] == ']') {
                ++i;
                break;
            }
            return std::nullopt;
        }
    }
    ws();
    if (i != s.size()) return std::nullopt;
    return bytes;
}

}  // namespace fuzz_packet

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto expected = fuzz_packet::scan(text);

    // Exactly the room the reader asks for, on the heap, so a write past it is caught.
    const std::size_t room = plim::packet_capacity(text);
    const std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[room]);
    const auto parsed = plim::parse_packet_into(text, storage.get());
    if (!parsed) {
        const std::string display = plim::json_error_text(parsed.error());
        FUZZ_CHECK(!expected, "valid packet refused: " + display);
        FUZZ_CHECK(parsed.error().line >= 1, display);
        FUZZ_CHECK(display.ends_with(" at line " + std::to_string(parsed.error().line) + " column " +
                                     std::to_string(parsed.error().column)),
                   display);
        return 0;
    }
    FUZZ_CHECK(expected.has_value(), "invalid packet accepted");
    FUZZ_CHECK(*parsed <= room, "more bytes than the room asked for");
    const std::string got(storage.get(), storage.get() + *parsed);
    FUZZ_CHECK(got == *expected, "bytes differ from the numbers in the text");
    return 0;
}
