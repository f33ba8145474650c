#include "link/rx_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace plim {

// A later drop decides alone whether the new front frame is cut; a drop that
// ends at a delimiter has removed any earlier cut frame whole.
void RxBuffer::note_dropped(std::size_t dropped, bool cut) noexcept {
    if (dropped == 0) return;
    dropped_ += dropped;
    front_cut_ = cut;
}

void RxBuffer::append(ByteView packet) {
    if (packet.empty()) return;
    // Only the newest RX_BUFFER_LIMIT bytes of the joined stream survive, so a
    // long packet contributes just its tail and the old bytes it pushes out
    // are never copied.
    const ByteView incoming = packet.size() > RX_BUFFER_LIMIT ? packet.last(RX_BUFFER_LIMIT) : packet;
    const std::size_t keep = std::min(bytes_.size(), RX_BUFFER_LIMIT - incoming.size());
    const std::size_t drop = bytes_.size() - keep;
    const std::size_t new_size = keep + incoming.size();
    // The last byte that falls out of the stream: from the packet's own head
    // when only its tail fits, otherwise from the front of the buffer.
    const std::size_t cut_from_packet = packet.size() - incoming.size();
    const std::size_t dropped = drop + cut_from_packet;
    const bool cut = dropped != 0 && (cut_from_packet != 0 ? packet[cut_from_packet - 1] : bytes_[drop - 1]) != 0;

    if (new_size > bytes_.capacity()) {
        // Build aside and swap in, so a failed allocation leaves the buffer as it was.
        Bytes grown;
        grown.reserve(std::min(RX_BUFFER_LIMIT, std::max(new_size, 2 * bytes_.capacity())));
        grown.insert(grown.end(), bytes_.end() - static_cast<std::ptrdiff_t>(keep), bytes_.end());
        grown.insert(grown.end(), incoming.begin(), incoming.end());
        bytes_.swap(grown);
        note_dropped(dropped, cut);
        return;
    }
    // Within capacity nothing below can allocate or throw.
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(drop));
    bytes_.insert(bytes_.end(), incoming.begin(), incoming.end());
    note_dropped(dropped, cut);
}

std::optional<ByteView> RxBuffer::peek_frame_at(std::size_t offset) const noexcept {
    if (offset >= bytes_.size()) return std::nullopt;
    const std::uint8_t* start = bytes_.data() + offset;
    const void* delimiter = std::memchr(start, 0, bytes_.size() - offset);
    if (delimiter == nullptr) return std::nullopt;
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(delimiter) - start) + 1;
    return ByteView(start, length);
}

void RxBuffer::consume_frame(std::size_t length) noexcept {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes_.size())));
    dropped_ = 0;
    front_cut_ = false;
}

}  // namespace plim
