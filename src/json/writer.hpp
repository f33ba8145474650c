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

    std::string take() noexcept { return std::move(out_); }

private:
    void before_value();

    std::string out_;
    std::uint64_t need_comma_ = 0;  // one bit per open container, innermost lowest
    bool after_key_ = false;
};

// "[1,2,3]"; the empty packet is "[]".
std::string write_packet_json(ByteView packet);

}  // namespace plim
