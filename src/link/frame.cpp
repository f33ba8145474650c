#include "link/frame.hpp"

#include <algorithm>
#include <memory>

#include "link/cobs.hpp"
#include "link/version.hpp"

namespace plim {

namespace {

std::uint16_t read_u16_le(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

void restart_host_frame(Bytes& frame) {
    const ApiVersion v = HOST_API_VERSION;
    const std::uint8_t header[VERSION_HEADER_LEN] = {
        static_cast<std::uint8_t>(v.major & 0xFF), static_cast<std::uint8_t>(v.major >> 8),
        static_cast<std::uint8_t>(v.minor & 0xFF), static_cast<std::uint8_t>(v.minor >> 8),
        static_cast<std::uint8_t>(v.patch & 0xFF), static_cast<std::uint8_t>(v.patch >> 8),
    };
    frame.assign(header, header + VERSION_HEADER_LEN);
}

std::vector<Bytes> cut_packets(ByteView wire_frame) {
    std::vector<Bytes> packets;
    packets.reserve((wire_frame.size() + MAX_PACKET_LEN - 1) / MAX_PACKET_LEN);
    for (std::size_t offset = 0; offset < wire_frame.size(); offset += MAX_PACKET_LEN) {
        const ByteView piece = wire_frame.subspan(offset, std::min(MAX_PACKET_LEN, wire_frame.size() - offset));
        packets.emplace_back(piece.begin(), piece.end());
    }
    return packets;
}

std::vector<Bytes> encode_frame_packets(ByteView decoded_frame) {
    // Sized for the worst case once; the wire frame is never copied whole,
    // only cut straight into its packets.
    const auto wire = std::make_unique_for_overwrite<std::uint8_t[]>(max_encoded_len(decoded_frame.size()));
    const std::size_t length = cobs_encode(decoded_frame, wire.get());
    return cut_packets(ByteView(wire.get(), length));
}

// On a cache line of its own start: its speed on every received frame then
// does not move with the size of the code placed before it.
[[gnu::aligned(64)]] FrameViewOutcome decode_frame_into(ByteView wire_frame, std::uint8_t* out) noexcept {
    const std::optional<std::size_t> length = cobs_decode(wire_frame, out);
    if (!length) return FrameDiscarded{};
    if (*length < VERSION_HEADER_LEN) {
        LinkError error;
        error.kind = LinkError::Kind::FrameTooShort;
        return error;
    }
    const ApiVersion peer{read_u16_le(out), read_u16_le(out + 2), read_u16_le(out + 4)};
    if (!is_compatible(HOST_API_VERSION, peer)) {
        LinkError error;
        error.kind = LinkError::Kind::VersionMismatch;
        error.mismatch = VersionMismatch{Side::Host, HOST_API_VERSION, Side::Plim, peer,
                                         outdated_side(HOST_API_VERSION, peer)};
        return error;
    }
    return ByteView(out + VERSION_HEADER_LEN, *length - VERSION_HEADER_LEN);
}

}  // namespace plim
