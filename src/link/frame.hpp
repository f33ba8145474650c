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
// encoder appends behind it, so the frame is built without a copy. The
// buffer is reused: its old content goes, its storage stays, so a buffer that
// was large enough once never allocates again.
void restart_host_frame(Bytes& frame);

// COBS-encodes a decoded frame (header + body) and cuts the wire frame into
// packets of at most MAX_PACKET_LEN bytes, each allocated at its exact length.
std::vector<Bytes> encode_frame_packets(ByteView decoded_frame);

// Cuts one wire frame into packets.
std::vector<Bytes> cut_packets(ByteView wire_frame);

// The three outcomes of reading one delimited wire frame, decoded into `out`,
// which holds at least wire_frame.size() bytes: dropped for broken COBS, the
// body as a view into `out`, or an error.
struct FrameDiscarded {};
using FrameViewOutcome = std::variant<FrameDiscarded, ByteView, LinkError>;
FrameViewOutcome decode_frame_into(ByteView wire_frame, std::uint8_t* out) noexcept;

}  // namespace plim
