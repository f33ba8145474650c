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
    std::optional<ByteView> peek_frame() const noexcept;
    void consume_frame(std::size_t length) noexcept;

    std::size_t size() const noexcept { return bytes_.size(); }
    ByteView view() const noexcept { return bytes_; }

private:
    Bytes bytes_;
};

}  // namespace plim
