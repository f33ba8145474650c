#include "link/cobs.hpp"

#include <cstring>

namespace plim {

namespace {

constexpr std::size_t MAX_BLOCK_DATA = 254;

// Message bodies are full of zeros (small integers, floats), so most blocks
// are a few bytes long; for those a byte loop beats the fixed cost of a
// library call. Longer runs go to memchr/memcpy.
constexpr std::size_t SHORT_BLOCK = 16;

// Input length below which decoding goes byte by byte.
constexpr std::size_t SHORT_FRAME = 64;

void copy_block(std::uint8_t* out, const std::uint8_t* in, std::size_t length) noexcept {
    if (length < SHORT_BLOCK) {
        for (std::size_t i = 0; i < length; ++i) out[i] = in[i];
    } else {
        std::memcpy(out, in, length);
    }
}

// Length of the zero-free run at the start of [in, in + window).
std::size_t zero_free_run(const std::uint8_t* in, std::size_t window) noexcept {
    const std::size_t probe = window < SHORT_BLOCK ? window : SHORT_BLOCK;
    std::size_t length = 0;
    while (length < probe && in[length] != 0) ++length;
    if (length < probe || probe == window) return length;
    const auto* zero = static_cast<const std::uint8_t*>(std::memchr(in + probe, 0, window - probe));
    return zero == nullptr ? window : static_cast<std::size_t>(zero - in);
}

// Below one full block no 0xFF code can arise, so the classic loop (each
// zero closes the block opened at `code_at`) is exact; for the small frames
// of everyday messages it costs a few instructions per byte and none per block.
std::size_t encode_short(ByteView input, std::uint8_t* out) noexcept {
    std::uint8_t* o = out;
    std::uint8_t* code_at = o++;
    std::uint8_t code = 1;
    for (const std::uint8_t byte : input) {
        if (byte == 0) {
            *code_at = code;
            code_at = o++;
            code = 1;
        } else {
            *o++ = byte;
            ++code;
        }
    }
    *code_at = code;
    *o++ = 0x00;
    return static_cast<std::size_t>(o - out);
}

}  // namespace

std::size_t cobs_encode(ByteView input, std::uint8_t* out) noexcept {
    if (input.size() < MAX_BLOCK_DATA) return encode_short(input, out);
    const std::uint8_t* in = input.data();
    const std::uint8_t* const end = in + input.size();
    std::uint8_t* o = out;
    // Each pass writes one block: a code byte and up to 254 data bytes. A zero
    // found inside the window closes the block and is consumed by its code.
    for (;;) {
        const std::size_t available = static_cast<std::size_t>(end - in);
        const std::size_t window = available < MAX_BLOCK_DATA ? available : MAX_BLOCK_DATA;
        const std::size_t length = zero_free_run(in, window);
        *o++ = static_cast<std::uint8_t>(length + 1);
        copy_block(o, in, length);
        o += length;
        in += length;
        if (length < window) {
            // Input ending in a zero still owes the empty final run its 0x01,
            // which the next pass writes.
            ++in;
            continue;
        }
        if (window < MAX_BLOCK_DATA || in == end) break;
        // A full block carries no implied zero, so a zero right behind it
        // needs a block of its own.
        if (*in == 0) {
            *o++ = 0x01;
            ++in;
        }
    }
    *o++ = 0x00;
    return static_cast<std::size_t>(o - out);
}

namespace {

// Small frames are mostly short blocks, so a byte at a time beats the fixed
// cost of each block. The zero a block stands for is stored when the next
// code byte arrives and counted (`pending`) only then.
std::optional<std::size_t> decode_short(ByteView input, std::uint8_t* out) noexcept {
    std::uint8_t* o = out;
    std::size_t left = 0;  // data bytes still due in the current block
    std::size_t pending = 0;
    for (const std::uint8_t byte : input) {
        if (left != 0) {
            *o++ = byte;
            --left;
            continue;
        }
        if (byte == 0x00) return static_cast<std::size_t>(o - out);
        *o = 0x00;
        o += pending;
        left = byte - 1u;
        pending = byte != 0xFF;
    }
    return std::nullopt;
}

}  // namespace

// On a cache line of its own start: its speed on every received frame then
// does not move with the size of the code placed before it.
[[gnu::aligned(64)]] std::optional<std::size_t> cobs_decode(ByteView input, std::uint8_t* out) noexcept {
    if (input.size() < SHORT_FRAME) return decode_short(input, out);
    const std::uint8_t* in = input.data();
    const std::uint8_t* const end = in + input.size();
    std::uint8_t* o = out;
    // The zero a block stands for is stored behind it straight away but
    // counted (`pending`) only when another block follows, which spares a
    // branch per block.
    std::size_t pending = 0;
    while (in != end) {
        const std::uint8_t code = *in++;
        if (code == 0x00) return static_cast<std::size_t>(o - out);
        o += pending;
        const std::size_t length = code - 1u;
        const auto left = static_cast<std::size_t>(end - in);
        if (length <= SHORT_BLOCK && left >= SHORT_BLOCK) {
            // One fixed-size copy instead of a loop. The output never runs
            // ahead of the input (each block's code byte outweighs the zero
            // it stands for), so with SHORT_BLOCK input bytes left the copy
            // stays within input.size() bytes of `out`.
            std::memcpy(o, in, SHORT_BLOCK);
        } else {
            if (left < length) return std::nullopt;
            copy_block(o, in, length);
        }
        o += length;
        in += length;
        *o = 0x00;
        pending = code != 0xFF;
    }
    return std::nullopt;
}

}  // namespace plim
