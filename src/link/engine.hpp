#pragma once
// The protocol core behind one Link: the transmit queue and the receive
// stream. It knows nothing of Python or JSON; the message codecs come in as a
// type with
//   static void encode(const Outgoing&, Bytes& out);        // appends the body
//   static Decoded<Incoming> decode(BodyReader& reader);
#include <cstddef>
#include <deque>
#include <expected>
#include <optional>
#include <utility>

#include "link/body_reader.hpp"
#include "link/frame.hpp"
#include "link/link_error.hpp"
#include "link/rx_buffer.hpp"

namespace plim {

template <class Codec>
class LinkEngine {
public:
    using Outgoing = typename Codec::Outgoing;
    using Incoming = typename Codec::Incoming;
    using Received = std::expected<Incoming, LinkError>;

    // Queues the message's packets whole: if memory runs out part way, the
    // packets already appended are taken back and the exception propagates.
    void send(const Outgoing& message) {
        Bytes frame = frame_with_host_header();
        Codec::encode(message, frame);
        std::vector<Bytes> packets = encode_frame_packets(frame);
        const std::size_t before = tx_queue_.size();
        try {
            for (Bytes& packet : packets) tx_queue_.push_back(std::move(packet));
        } catch (...) {
            tx_queue_.resize(before);
            throw;
        }
    }

    std::optional<Bytes> poll_transmit() noexcept {
        if (tx_queue_.empty()) return std::nullopt;
        Bytes packet = std::move(tx_queue_.front());
        tx_queue_.pop_front();
        return packet;
    }

    // Two-phase form for callers that must turn the packet into something
    // else (which may fail) before it leaves the queue, so nothing is lost.
    const Bytes* front_packet() const noexcept { return tx_queue_.empty() ? nullptr : &tx_queue_.front(); }
    void pop_packet() noexcept {
        if (!tx_queue_.empty()) tx_queue_.pop_front();
    }

    void handle_receive(ByteView packet) { rx_buffer_.append(packet); }

    // At most one frame per call. The frame is consumed only after its
    // outcome has been built, so an allocation failure leaves the stream as
    // it was; on every other path it is consumed whatever the outcome.
    std::optional<Received> poll_receive() {
        PendingFrame pending = read_next_frame();
        consume(pending);
        return std::move(pending.outcome);
    }

    // Two-phase form of poll_receive: read_next_frame leaves the stream as it
    // was; consume then drops the frame it read (nothing when there was none).
    // A caller whose result cannot be delivered skips consume and loses nothing.
    struct PendingFrame {
        std::size_t frame_length = 0;          // 0: no complete frame buffered
        std::optional<Received> outcome;       // empty: frame discarded silently
    };
    PendingFrame read_next_frame() const {
        std::optional<ByteView> wire = rx_buffer_.peek_frame();
        if (!wire) return {};
        return PendingFrame{wire->size(), read_frame(*wire)};
    }
    void consume(const PendingFrame& pending) noexcept {
        if (pending.frame_length != 0) rx_buffer_.consume_frame(pending.frame_length);
    }

    std::size_t tx_queue_len() const noexcept { return tx_queue_.size(); }
    const RxBuffer& rx_buffer() const noexcept { return rx_buffer_; }

private:
    static std::optional<Received> read_frame(ByteView wire) {
        FrameOutcome outcome = decode_frame(wire);
        if (std::holds_alternative<FrameDiscarded>(outcome)) return std::nullopt;
        if (auto* error = std::get_if<LinkError>(&outcome)) {
            return Received(std::unexpect, *error);
        }
        BodyReader reader(std::get<FrameBody>(outcome).body());
        Decoded<Incoming> message = Codec::decode(reader);
        if (!message) {
            LinkError error;
            error.kind = LinkError::Kind::Decode;
            error.decode_error = message.error();
            return Received(std::unexpect, error);
        }
        return Received(std::move(*message));
    }

    std::deque<Bytes> tx_queue_;
    RxBuffer rx_buffer_;
};

}  // namespace plim
