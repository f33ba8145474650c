#include "link/rx_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace plim {

void RxBuffer::append(ByteView packet) {
    if (packet.empty()) return;
    // Only the newest RX_BUFFER_LIMIT bytes of the joined stream survive, so a
    // long packet contributes just its tail and the old bytes it pushes out
    // are never copied.
    const ByteView incoming = packet.size() > RX_BUFFER_LIMIT ? packet.last(RX_BUFFER_LIMIT) : packet;
    const std::size_t keep = std::min(bytes_.size(), RX_BUFFER_LIMIT - incoming.size());
    const std::size_t drop = bytes_.size() - keep;
    const std::size_t new_size = keep + incoming.size();

    if (new_size > bytes_.capacity()) {
        // Build aside and swap in, so a failed allocation leaves the buffer as it was.
        Bytes grown;
        grown.reserve(std::min(RX_BUFFER_LIMIT, std::max(new_size, 2 * bytes_.capacity())));
        grown.insert(grown.end(), bytes_.end() - static_cast<std::ptrdiff_t>(keep), bytes_.end());
        grown.insert(grown.end(), incoming.begin(), incoming.end());
        bytes_.swap(grown);
        return;
    }
    // Within capacity nothing below can allocate or throw.
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(drop));
    bytes_.insert(bytes_.end(), incoming.begin(), incoming.end());
}

std::optional<ByteView> RxBuffer::peek_frame() const noexcept {
    if (bytes_.empty()) return std::nullopt;
    const void* delimiter = std::memchr(bytes_.data(), 0, bytes_.size());
    if (delimiter == nullptr) return std::nullopt;
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(delimiter) - bytes_.data()) + 1;
    return ByteView(bytes_.data(), length);
}

void RxBuffer::consume_frame(std::size_t length) noexcept {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes_.size())));
}

}  // namespace plim
