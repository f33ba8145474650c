#include "link/cobs.hpp"

#include <cstring>

namespace plim {

namespace {
constexpr std::size_t MAX_BLOCK_DATA = 254;
}  // namespace

std::size_t cobs_encode(ByteView input, std::uint8_t* out) noexcept {
    const std::uint8_t* in = input.data();
    const std::uint8_t* const end = in + input.size();
    std::uint8_t* o = out;
    // Each pass writes one block: a code byte and up to 254 data bytes. A zero
    // found inside the window closes the block and is consumed by its code.
    for (;;) {
        const std::size_t available = static_cast<std::size_t>(end - in);
        const std::size_t window = available < MAX_BLOCK_DATA ? available : MAX_BLOCK_DATA;
        const auto* zero = static_cast<const std::uint8_t*>(window ? std::memchr(in, 0, window) : nullptr);
        if (zero != nullptr) {
            const auto length = static_cast<std::size_t>(zero - in);
            *o++ = static_cast<std::uint8_t>(length + 1);
            std::memcpy(o, in, length);
            o += length;
            in = zero + 1;
            // Input ending in a zero still owes the empty final run its 0x01,
            // which the next pass writes.
            continue;
        }
        *o++ = static_cast<std::uint8_t>(window + 1);
        if (window) std::memcpy(o, in, window);
        o += window;
        in += window;
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

std::optional<std::size_t> cobs_decode(ByteView input, std::uint8_t* out) noexcept {
    const std::uint8_t* in = input.data();
    const std::uint8_t* const end = in + input.size();
    std::uint8_t* o = out;
    bool zero_pending = false;
    while (in != end) {
        const std::uint8_t code = *in++;
        if (code == 0x00) return static_cast<std::size_t>(o - out);
        if (zero_pending) *o++ = 0x00;
        const std::size_t length = code - 1u;
        if (static_cast<std::size_t>(end - in) < length) return std::nullopt;
        std::memcpy(o, in, length);
        o += length;
        in += length;
        zero_pending = code != 0xFF;
    }
    return std::nullopt;
}

}  // namespace plim
