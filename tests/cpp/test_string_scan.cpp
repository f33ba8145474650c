// The scan for the end of a plain run inside a JSON string, against a plain
// byte loop: every special byte at every place across the block widths, with
// the bytes that border the special ranges around it.
#include <gtest/gtest.h>

#include <string>

#include "json/string_reader.hpp"

namespace {

bool special(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

TEST(FindStringSpecial, AgreesWithAByteLoop) {
    const std::string fillers = std::string("\x20\x21\x23\x5b\x5d\x7f\x80\xff", 8) + "aZ";
    for (const char filler : fillers) {
        for (std::size_t length = 0; length <= 48; ++length) {
            for (const char mark : {'"', '\\', '\x00', '\x01', '\x1f', 'x'}) {
                for (std::size_t place = 0; place <= length; ++place) {
                    std::string text(length, filler);
                    if (place < length) text[place] = mark;
                    const char* begin = text.data();
                    const char* expected = begin;
                    while (expected != begin + length && !special(static_cast<unsigned char>(*expected))) ++expected;
                    ASSERT_EQ(plim::json::find_string_special(begin, begin + length) - begin, expected - begin)
                        << "filler " << int(static_cast<unsigned char>(filler)) << " length " << length << " place " << place;
                }
            }
        }
    }
}

}  // namespace
