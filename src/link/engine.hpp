#pragma once
// The protocol core behind one Link: the transmit queue and the receive
// stream. It knows nothing of Python or JSON; the message codecs come in as a
// type with
//   static void encode(const Outgoing&, Bytes& out);        // appends the body
//   static Decoded<Incoming> decode(BodyReader& reader);
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "link/body_reader.hpp"
#include "link/cobs.hpp"
#include "link/frame.hpp"
#include "link/link_error.hpp"
#include "link/rx_buffer.hpp"

namespace plim {

// How a poll treats the two stream faults that carry no message of their own.
enum class FrameFaults : std::uint8_t {
    // Link's designed behaviour: a frame with broken COBS ends the poll with
    // no outcome, and bytes dropped by the full buffer go unremarked, so a
    // frame that lost its beginning is decoded as if whole.
    Quiet,
    // Broken COBS frames are skipped within the same poll, so "no outcome"
    // means no complete frame remains; a frame that lost its beginning to the
    // full buffer is consumed and reported as ReceiveOverflow.
    Reported,
};

template <class Codec>
class LinkEngine {
public:
    using Outgoing = typename Codec::Outgoing;
    using Incoming = typename Codec::Incoming;
    using Received = std::expected<Incoming, LinkError>;

    // Queues the message's packets whole: if memory runs out part way, the
    // packets already appended are taken back and the exception propagates.
    void send(const Outgoing& message) {
        restart_host_frame(tx_frame_);
        Codec::encode(message, tx_frame_);
        queue_frame(tx_frame_);
        // A rare large message must not pin its buffer for the Link's lifetime.
        if (tx_frame_.capacity() > MAX_PACKET_LEN) Bytes().swap(tx_frame_);
    }

    // The packet leaves the queue only when pop_packet is called, so a caller
    // that must turn it into something else (which may fail) loses nothing.
    const Bytes* front_packet() const noexcept { return tx_queue_.empty() ? nullptr : &tx_queue_.front(); }
    void pop_packet() noexcept {
        if (!tx_queue_.empty()) tx_queue_.pop_front();
    }

    void handle_receive(ByteView packet) { rx_buffer_.append(packet); }

    // At most one frame per poll, in two phases: read_next_frame leaves the
    // stream as it was; consume then drops the frame it read (nothing when
    // there was none). An allocation failure while the outcome is built, or a
    // caller whose result cannot be delivered, skips consume and loses nothing.
    struct PendingFrame {
        std::size_t frame_length = 0;          // bytes to consume; 0: no complete frame buffered
        std::optional<Received> outcome;       // empty: frame discarded silently
        std::size_t broken_frames = 0;         // frames among them passed over for broken COBS
    };
    PendingFrame read_next_frame(FrameFaults faults = FrameFaults::Quiet) const {
        if (faults == FrameFaults::Reported) return read_next_reported_frame();
        std::optional<ByteView> wire = rx_buffer_.peek_frame();
        if (!wire) return {};
        std::optional<Received> outcome = read_frame(*wire);
        const std::size_t broken = outcome ? 0 : 1;
        return PendingFrame{wire->size(), std::move(outcome), broken};
    }
    void consume(const PendingFrame& pending) noexcept {
        if (pending.frame_length != 0) rx_buffer_.consume_frame(pending.frame_length);
        skipped_frames_ += pending.broken_frames;
    }

    // Frames passed over for broken COBS since the engine was made.
    std::uint64_t skipped_frames() const noexcept { return skipped_frames_; }

    const RxBuffer& rx_buffer() const noexcept { return rx_buffer_; }

private:
    // The frames skipped for broken COBS are consumed together with the frame
    // that gives an outcome, or alone when none follows.
    PendingFrame read_next_reported_frame() const {
        if (rx_buffer_.front_frame_cut()) {
            std::optional<ByteView> wire = rx_buffer_.peek_frame();
            if (!wire) return {};
            LinkError error;
            error.kind = LinkError::Kind::ReceiveOverflow;
            error.dropped_bytes = rx_buffer_.dropped_bytes();
            return PendingFrame{wire->size(), Received(std::unexpect, error)};
        }
        std::size_t offset = 0;
        std::size_t broken = 0;
        while (std::optional<ByteView> wire = rx_buffer_.peek_frame_at(offset)) {
            offset += wire->size();
            if (std::optional<Received> outcome = read_frame(*wire)) {
                return PendingFrame{offset, std::move(outcome), broken};
            }
            ++broken;
        }
        return PendingFrame{offset, std::nullopt, broken};
    }

    void queue_frame(ByteView frame) {
        if (max_encoded_len(frame.size()) <= MAX_PACKET_LEN) {
            // Nearly every frame is one packet whatever its bytes: encoded on
            // the stack, then allocated once at its exact length. A throwing
            // insertion at the end of a deque leaves it as it was.
            std::uint8_t wire[MAX_PACKET_LEN];
            const std::size_t length = cobs_encode(frame, wire);
            tx_queue_.emplace_back(wire, wire + length);
            return;
        }
        std::vector<Bytes> packets = encode_frame_packets(frame);
        const std::size_t before = tx_queue_.size();
        try {
            for (Bytes& packet : packets) tx_queue_.push_back(std::move(packet));
        } catch (...) {
            tx_queue_.resize(before);
            throw;
        }
    }

    static std::optional<Received> read_frame(ByteView wire) {
        // Wire frames come out of the receive buffer, so they are never longer
        // than its limit and decode on the stack; the heap is only a fallback.
        if (wire.size() > RX_BUFFER_LIMIT) {
            Bytes decoded(wire.size());
            return read_frame_into(wire, decoded.data());
        }
        std::uint8_t decoded[RX_BUFFER_LIMIT];
        return read_frame_into(wire, decoded);
    }

    static std::optional<Received> read_frame_into(ByteView wire, std::uint8_t* decoded) {
        FrameViewOutcome outcome = decode_frame_into(wire, decoded);
        if (std::holds_alternative<FrameDiscarded>(outcome)) return std::nullopt;
        if (auto* error = std::get_if<LinkError>(&outcome)) {
            return Received(std::unexpect, *error);
        }
        BodyReader reader(std::get<ByteView>(outcome));
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
    Bytes tx_frame_;  // reused by every send, so small messages never allocate their frame
    RxBuffer rx_buffer_;
    std::uint64_t skipped_frames_ = 0;
};

}  // namespace plim
