#pragma once
// Frames: the six-byte version header, the body, COBS and the delimiter; and
// the cutting of outgoing wire frames into packets.
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "link/bytes.hpp"
#include "link/link_error.hpp"

namespace plim {

inline constexpr std::size_t VERSION_HEADER_LEN = 6;
inline constexpr std::size_t MAX_PACKET_LEN = 1400;

// A decoded frame under construction starts with the host's header; the body
// encoder appends behind it, so the frame is built without a copy.
Bytes frame_with_host_header();

// The same start in a frame buffer that is reused: its old content goes, its
// storage stays, so a buffer that was large enough once never allocates again.
void restart_host_frame(Bytes& frame);

// COBS-encodes a decoded frame (header + body) and cuts the wire frame into
// packets of at most MAX_PACKET_LEN bytes, each allocated at its exact length.
std::vector<Bytes> encode_frame_packets(ByteView decoded_frame);

// Wire frame for a body: header, body, COBS, delimiter.
Bytes encode_frame(ByteView body);

// Cuts one wire frame into packets.
std::vector<Bytes> cut_packets(ByteView wire_frame);

// The three outcomes of reading one delimited wire frame.
struct FrameDiscarded {};
struct FrameBody {
    Bytes decoded;  // the whole decoded frame; the body starts at VERSION_HEADER_LEN
    ByteView body() const noexcept {
        return ByteView(decoded).subspan(VERSION_HEADER_LEN);
    }
};
using FrameOutcome = std::variant<FrameDiscarded, FrameBody, LinkError>;

FrameOutcome decode_frame(ByteView wire_frame);

// The same outcomes without an allocation: the frame is decoded into `out`,
// which holds at least wire_frame.size() bytes, and the body is a view into it.
using FrameViewOutcome = std::variant<FrameDiscarded, ByteView, LinkError>;
FrameViewOutcome decode_frame_into(ByteView wire_frame, std::uint8_t* out) noexcept;

}  // namespace plim
