#pragma once
// Compact JSON writer: no whitespace; separators placed by the writer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "json/name.hpp"
#include "link/bytes.hpp"

namespace plim {

// The output buffer's first room, held inside the writer itself so that
// short texts never touch the heap; beyond it the buffer
// doubles on the heap.
inline constexpr std::size_t JSON_OUTPUT_INITIAL_CAPACITY = 128;

class JsonWriter {
public:
    JsonWriter() noexcept = default;
    // A writer that, once its first room is outgrown, moves into
    // `second_room` (storage of the caller's, such as a stack buffer) before
    // it takes anything from the heap. The room must outlive the writer.
    explicit JsonWriter(std::span<char> second_room) noexcept : second_room_(second_room) {}
    // The text may live inside the object, so it stays where it was made.
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void key(std::string_view name);
    void key(JsonName name) {
        before_value();
        char* w = room(name.size() + 3);
        w[0] = '"';
        std::memcpy(w + 1, name.data(), name.size());
        w[name.size() + 1] = '"';
        w[name.size() + 2] = ':';
        size_ += name.size() + 3;
        after_key_ = true;
    }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    void string(std::string_view text);
    void u8(std::uint8_t value);
    void f32(float value);
    void null();

    // The text written so far, valid until the next write or take().
    std::string_view view() const noexcept { return {data_, size_}; }

    // Hands out the text; the writer is left empty, as if new.
    std::string take() {
        std::string text(data_, size_);
        heap_.reset();
        data_ = inline_;
        capacity_ = JSON_OUTPUT_INITIAL_CAPACITY;
        size_ = 0;
        need_comma_ = 0;
        after_key_ = false;
        return text;
    }

private:
    void before_value() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (need_comma_ & 1) put(',');
        need_comma_ |= 1;
    }
    void open(char bracket) {
        before_value();
        put(bracket);
        need_comma_ <<= 1;
    }
    void close(char bracket) {
        put(bracket);
        need_comma_ >>= 1;
    }
    // Room for `count` more bytes; returns where they go. `size_` marks the
    // written part of the buffer, so the hot paths store through a pointer
    // instead of appending piecewise.
    char* room(std::size_t count) {
        if (capacity_ - size_ < count) grow(count);
        return data_ + size_;
    }
    void grow(std::size_t count);
    void put(char c) {
        *room(1) = c;
        ++size_;
    }
    void append(const char* data, std::size_t count) {
        std::memcpy(room(count), data, count);
        size_ += count;
    }
    void write_escaped(std::string_view text);

    char* data_ = inline_;  // inline_ until the text outgrows it, then second_room_ or heap_
    std::span<char> second_room_;
    std::size_t capacity_ = JSON_OUTPUT_INITIAL_CAPACITY;
    std::size_t size_ = 0;
    std::unique_ptr<char[]> heap_;
    // One bit per open container, innermost lowest: set once it holds an
    // element. The message set nests at most five deep, far below 64.
    std::uint64_t need_comma_ = 0;
    bool after_key_ = false;
    // Left unset: only written bytes are read. Word-aligned, since the
    // interpreter checks text a word at a time only from an aligned start.
    alignas(16) char inline_[JSON_OUTPUT_INITIAL_CAPACITY];
};

// "[1,2,3]"; the empty packet is "[]".
std::string write_packet_json(ByteView packet);

// The most text write_packet_json gives for a packet of `size` bytes: three
// digits and a comma each, and the brackets.
constexpr std::size_t packet_json_max_len(std::size_t size) noexcept { return 4 * size + 2; }

// The same text into `out`, which holds packet_json_max_len(packet.size())
// bytes; returns its length.
std::size_t write_packet_json(ByteView packet, char* out) noexcept;

}  // namespace plim
