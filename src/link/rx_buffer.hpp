#pragma once
// The receive stream: at most RX_BUFFER_LIMIT bytes, oldest dropped first.
#include <cstddef>
#include <optional>

#include "link/bytes.hpp"

namespace plim {

inline constexpr std::size_t RX_BUFFER_LIMIT = 5000;

class RxBuffer {
public:
    // Appends the packet, then drops from the front whatever exceeds the limit.
    // If allocation fails the buffer is left as it was.
    void append(ByteView packet);

    // The bytes up to and including the first 0x00, if there is one. The
    // frame stays in the buffer until consume_frame, so a failure while
    // handling it leaves the stream untouched.
    std::optional<ByteView> peek_frame() const noexcept { return peek_frame_at(0); }
    // The same for the frame that starts `offset` bytes in, `offset` being
    // the end of an earlier frame.
    std::optional<ByteView> peek_frame_at(std::size_t offset) const noexcept;
    // Drops the first `length` bytes, which end at a frame's delimiter; the
    // stream then starts with a whole frame, so the overflow record is cleared.
    void consume_frame(std::size_t length) noexcept;

    std::size_t size() const noexcept { return bytes_.size(); }
    ByteView view() const noexcept { return bytes_; }

    // The record of bytes the full buffer dropped since a frame was last
    // consumed. The frame at the front lost its beginning exactly when the
    // last byte dropped was not a delimiter; when the drop ended at a frame
    // boundary the front frame is whole and only the count remains.
    std::size_t dropped_bytes() const noexcept { return dropped_; }
    bool front_frame_cut() const noexcept { return front_cut_; }

private:
    void note_dropped(std::size_t dropped, bool cut) noexcept;

    Bytes bytes_;
    std::size_t dropped_ = 0;
    bool front_cut_ = false;
};

}  // namespace plim
