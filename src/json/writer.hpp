#pragma once
// Compact JSON writer: no whitespace; separators placed by the writer.
#include <cstdint>
#include <string>
#include <string_view>

#include "link/bytes.hpp"

namespace plim {

inline constexpr std::size_t JSON_OUTPUT_INITIAL_CAPACITY = 128;

class JsonWriter {
public:
    JsonWriter();

    void begin_object();
    void end_object();
    void key(std::string_view name);
    void begin_array();
    void end_array();
    void string(std::string_view text);
    void u8(std::uint8_t value);
    void f32(float value);
    void null();

    std::string take() noexcept {
        out_.resize(size_);
        size_ = 0;
        return std::move(out_);
    }

private:
    void before_value();
    // Room for `count` more bytes; returns where they go. The buffer is kept
    // at its full allocated length and `size_` marks the written part, so
    // the hot paths store through a pointer instead of appending piecewise.
    char* room(std::size_t count);
    void append(const char* data, std::size_t count);
    void put(char c);
    void write_escaped(std::string_view text);

    std::string out_;
    std::size_t size_ = 0;
    // One bit per open container, innermost lowest: set once it holds an
    // element. The message set nests at most five deep, far below 64.
    std::uint64_t need_comma_ = 0;
    bool after_key_ = false;
};

// "[1,2,3]"; the empty packet is "[]".
std::string write_packet_json(ByteView packet);

}  // namespace plim
