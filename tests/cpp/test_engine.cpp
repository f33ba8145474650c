#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "link/cobs.hpp"
#include "link/engine.hpp"
#include "link/frame.hpp"

namespace plim {
namespace {

// A stand-in for the message layers: outgoing messages are raw bodies;
// incoming bodies are a discriminant (0 Ping, 1 Pong, 2 Text) and, for Text,
// one text.
struct FakeMessage {
    std::uint32_t variant = 0;
    std::string text;
    friend bool operator==(const FakeMessage&, const FakeMessage&) = default;
};

struct FakeCodec {
    using Outgoing = Bytes;
    using Incoming = FakeMessage;
    static void encode(const Outgoing& body, Bytes& out) { out.insert(out.end(), body.begin(), body.end()); }
    static Decoded<Incoming> decode(BodyReader& reader) {
        const Decoded<std::uint32_t> variant = reader.read_varint32();
        if (!variant) return std::unexpected(variant.error());
        if (*variant > 2) return std::unexpected(PostcardError::DeserializeFailed);
        FakeMessage message{*variant, {}};
        if (*variant == 2) {
            Decoded<std::string> text = reader.read_text();
            if (!text) return std::unexpected(text.error());
            message.text = std::move(*text);
        }
        return message;
    }
};

using Engine = LinkEngine<FakeCodec>;

const Bytes PING_WIRE = {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00};
const Bytes PONG_WIRE = {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00};
const FakeMessage PING{0, {}};
const FakeMessage PONG{1, {}};

// Wire frame for a raw header and body, as a peer would send it.
Bytes wire(std::initializer_list<std::uint8_t> header, const Bytes& body) {
    Bytes frame(header);
    frame.insert(frame.end(), body.begin(), body.end());
    Bytes out(max_encoded_len(frame.size()));
    out.resize(cobs_encode(frame, out.data()));
    return out;
}
Bytes wire(const Bytes& body) { return wire({0, 0, 2, 0, 0, 0}, body); }

// Texts here stay below 128 bytes, so their length is one varint byte.
Bytes text_body(const std::string& text) {
    Bytes body(2 + text.size());
    body[0] = 0x02;
    body[1] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), body.begin() + 2);
    return body;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One poll as a caller makes it: the frame is consumed once its outcome is built.
std::optional<Engine::Received> poll_receive(Engine& engine, FrameFaults faults = FrameFaults::Quiet) {
    Engine::PendingFrame pending = engine.read_next_frame(faults);
    engine.consume(pending);
    return std::move(pending.outcome);
}

std::optional<Bytes> poll_transmit(Engine& engine) {
    const Bytes* packet = engine.front_packet();
    if (packet == nullptr) return std::nullopt;
    Bytes out = *packet;
    engine.pop_packet();
    return out;
}

// What one poll_receive gave, in a form a table can state.
std::string describe(const std::optional<Engine::Received>& got) {
    if (!got) return "nothing";
    if (!*got) return "error: " + link_error_text(got->error());
    const FakeMessage& m = **got;
    return m.variant == 0 ? "Ping" : m.variant == 1 ? "Pong" : "Text " + m.text;
}

std::vector<std::string> drain(Engine& engine, std::size_t polls, FrameFaults faults = FrameFaults::Quiet) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < polls; ++i) out.push_back(describe(poll_receive(engine, faults)));
    return out;
}

Bytes rx_view(const Engine& engine) {
    const ByteView v = engine.rx_buffer().view();
    return Bytes(v.begin(), v.end());
}

TEST(EngineTransmit, FreshEngineGivesNothing) {
    Engine engine;
    EXPECT_EQ(poll_transmit(engine), std::nullopt);
    EXPECT_FALSE(poll_receive(engine).has_value());
}

TEST(EngineTransmit, PingIsOnePacket) {
    Engine engine;
    engine.send(Bytes{0x00});
    EXPECT_EQ(poll_transmit(engine), std::optional<Bytes>(PING_WIRE));
    EXPECT_EQ(poll_transmit(engine), std::nullopt);
}

TEST(EngineTransmit, MessagesLeaveWholeAndInOrder) {
    Engine engine;
    const Bytes big(2981, 0x33);  // wire frame of 3000 bytes
    engine.send(big);
    engine.send(Bytes{0x01});
    std::vector<Bytes> packets;
    while (auto p = poll_transmit(engine)) packets.push_back(std::move(*p));
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].size(), 1400u);
    EXPECT_EQ(packets[1].size(), 1400u);
    EXPECT_EQ(packets[2].size(), 200u);
    EXPECT_EQ(cat({packets[0], packets[1], packets[2]}), wire(big));
    EXPECT_EQ(packets[3], PONG_WIRE);
}

// Bodies around the size where a frame stops fitting one packet for certain:
// the packets must be the frame's wire bytes cut in order, for plain and for
// zero-laden bodies, and a small message after a large one is unaffected.
TEST(EngineTransmit, FramesAroundOnePacketAreCutFromTheWireFrame) {
    for (std::size_t n = 1380; n <= 1400; ++n) {
        for (const bool zeros : {false, true}) {
            Bytes body(n, 0x33);
            if (zeros) {
                for (std::size_t i = 0; i < n; i += 5) body[i] = 0x00;
            }
            Engine engine;
            engine.send(body);
            engine.send(Bytes{0x01});
            std::vector<Bytes> packets;
            while (auto p = poll_transmit(engine)) packets.push_back(std::move(*p));
            std::vector<Bytes> expected = cut_packets(wire(body));
            expected.push_back(PONG_WIRE);
            EXPECT_EQ(packets, expected) << n << (zeros ? " with zeros" : "");
        }
    }
}

TEST(EngineTransmit, TwoPhasePollKeepsPacketUntilPopped) {
    Engine engine;
    engine.send(Bytes{0x00});
    ASSERT_NE(engine.front_packet(), nullptr);
    EXPECT_EQ(*engine.front_packet(), PING_WIRE);
    EXPECT_EQ(*engine.front_packet(), PING_WIRE);
    engine.pop_packet();
    EXPECT_EQ(engine.front_packet(), nullptr);
    engine.pop_packet();  // harmless on an empty queue
    EXPECT_EQ(engine.front_packet(), nullptr);
}

struct ReceiveCase {
    const char* name;
    std::vector<Bytes> packets;
    std::vector<std::string> polls;  // outcome of each poll_receive, in order
};

const char* const TOO_SHORT = "error: Message frame too short to contain a version header";
const char* const END_OF_INPUT = "error: message decode failed: Hit the end of buffer, expected more data";

std::vector<ReceiveCase> receive_cases() {
    return {
        {"pong", {PONG_WIRE}, {"Pong", "nothing"}},
        {"empty_packet", {{}}, {"nothing"}},
        {"two_frames_one_packet", {cat({PONG_WIRE, PING_WIRE})}, {"Pong", "Ping", "nothing"}},
        {"two_delimiters", {{0x00, 0x00}}, {TOO_SHORT, TOO_SHORT, "nothing"}},
        {"frame_then_extra_delimiter", {cat({PONG_WIRE, {0x00}})}, {"Pong", TOO_SHORT, "nothing"}},
        {"cobs_failure_then_frame", {cat({{0x03, 0x11, 0x00}, PING_WIRE})}, {"nothing", "Ping", "nothing"}},
        {"newer_version_then_frame", {cat({wire({0, 0, 3, 0, 0, 0}, {0x01}), PONG_WIRE})},
         {"error: plim-api version mismatch: host is v0.2.0, plim is v0.3.0 \xE2\x80\x94 update host to a "
          "compatible version",
          "Pong", "nothing"}},
        {"header_only", {wire({})}, {END_OF_INPUT, "nothing"}},
        {"lone_varint_continuation", {wire({0x80})}, {END_OF_INPUT}},
        {"unknown_variant_then_frame", {cat({wire({0x07}), PING_WIRE})},
         {"error: message decode failed: Serde Deserialization Error", "Ping", "nothing"}},
        {"bad_utf8", {wire({0x02, 0x02, 0xC3, 0x28})}, {"error: message decode failed: Tried to parse invalid utf-8"}},
        {"trailing_body_bytes_ignored", {wire({0x01, 0x09, 0x09})}, {"Pong", "nothing"}},
        {"text_with_zero_bytes", {wire(text_body(std::string("a\0b", 3)))}, {std::string("Text a\0b", 8)}},
        // Noise without a delimiter is cut together with the frame behind it;
        // the stream is back in step from the next delimiter on.
        {"noise_glued_to_frame",
         {{0x05, 0x05}, PING_WIRE, PONG_WIRE},
         {"error: plim-api version mismatch: host is v0.2.0, plim is v261.513.256 \xE2\x80\x94 update host to a "
          "compatible version",
          "Pong", "nothing"}},
        {"partial_frame_waits", {{0x01, 0x01, 0x02}}, {"nothing", "nothing"}},
    };
}

class EngineReceive : public testing::TestWithParam<ReceiveCase> {};

TEST_P(EngineReceive, Outcomes) {
    Engine engine;
    for (const Bytes& p : GetParam().packets) engine.handle_receive(p);
    EXPECT_EQ(drain(engine, GetParam().polls.size()), GetParam().polls);
}

INSTANTIATE_TEST_SUITE_P(Table, EngineReceive, testing::ValuesIn(receive_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A frame split into two packets at every possible offset arrives only once
// its second part does.
TEST(EngineReceive, SplitAtEveryOffset) {
    const std::string text = std::string(100, 'x') + std::string(1, '\0') + "tail";
    const Bytes frame = wire(text_body(text));
    for (std::size_t cut = 0; cut <= frame.size(); ++cut) {
        Engine engine;
        engine.handle_receive(ByteView(frame).first(cut));
        if (cut < frame.size()) {
            ASSERT_EQ(describe(poll_receive(engine)), "nothing") << cut;
        }
        engine.handle_receive(ByteView(frame).subspan(cut));
        ASSERT_EQ(describe(poll_receive(engine)), "Text " + text) << cut;
        ASSERT_FALSE(poll_receive(engine).has_value()) << cut;
        ASSERT_EQ(engine.rx_buffer().size(), 0u);
    }
}

TEST(EngineReceive, SixThousandBytesWithoutDelimiterKeepLastFiveThousand) {
    Engine engine;
    Bytes stream(6000);
    for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(1 + i % 251);
    engine.handle_receive(stream);
    EXPECT_EQ(rx_view(engine), Bytes(stream.end() - 5000, stream.end()));
    EXPECT_FALSE(poll_receive(engine).has_value());
    EXPECT_EQ(engine.rx_buffer().size(), 5000u);
}

TEST(EngineReceive, EmptyPacketChangesNothing) {
    Engine engine;
    engine.handle_receive(Bytes{0x01, 0x01, 0x02});
    const Bytes before = rx_view(engine);
    engine.handle_receive(Bytes{});
    EXPECT_EQ(rx_view(engine), before);
}

// Overflow drops the oldest bytes: the first frame loses its head, decodes to
// three bytes, and every frame behind it still arrives.
class EngineOverflow : public testing::TestWithParam<std::size_t> {};

TEST_P(EngineOverflow, OldestBytesDropped) {
    const std::size_t copies = GetParam();
    Engine engine;
    engine.handle_receive(PONG_WIRE);
    Bytes pings;
    for (std::size_t i = 0; i < copies; ++i) pings.insert(pings.end(), PING_WIRE.begin(), PING_WIRE.end());
    engine.handle_receive(pings);
    EXPECT_EQ(engine.rx_buffer().size(), 5000u);
    EXPECT_EQ(describe(poll_receive(engine)), TOO_SHORT);
    std::size_t received = 0;
    while (auto got = poll_receive(engine)) {
        ASSERT_TRUE(got->has_value());
        ASSERT_EQ(**got, PING);
        ++received;
    }
    EXPECT_EQ(received, copies == 555 ? 555u : copies - 1);
    EXPECT_EQ(engine.rx_buffer().size(), 0u);
}

// 555 copies drop four bytes of the Pong frame; 556 drop the Pong and four
// bytes of the first Ping.
INSTANTIATE_TEST_SUITE_P(Copies, EngineOverflow, testing::Values(555u, 556u));

// Arbitrary traffic: nothing crashes, the buffer never passes its limit, and
// every frame-yielding poll shrinks the buffer.
TEST(EngineReceive, ArbitraryBytesNeverBreakTheEngine) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> size(0, 900);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> polls(0, 4);
    Engine engine;
    for (int round = 0; round < 4000; ++round) {
        Bytes packet(static_cast<std::size_t>(size(rng)));
        const int zero_odds = round % 3 == 0 ? 128 : 2;
        for (auto& b : packet) b = byte(rng) < zero_odds ? 0 : static_cast<std::uint8_t>(byte(rng));
        if (round % 5 == 0) packet = cat({packet, PING_WIRE});
        engine.handle_receive(packet);
        ASSERT_LE(engine.rx_buffer().size(), RX_BUFFER_LIMIT);
        for (int i = polls(rng); i > 0; --i) {
            const std::size_t before = engine.rx_buffer().size();
            const bool had_frame = engine.rx_buffer().peek_frame().has_value();
            (void)poll_receive(engine);
            ASSERT_EQ(engine.rx_buffer().size() < before, had_frame);
        }
    }
}

// The reporting mode: broken COBS frames are skipped within one poll, and a
// frame whose beginning the full buffer dropped is reported, not decoded.
struct ReportedCase {
    const char* name;
    std::vector<Bytes> packets;
    std::vector<std::string> polls;
    std::size_t left_in_buffer = 0;
};

const Bytes BROKEN = {0x03, 0x11, 0x00};  // a block that claims more bytes than the frame has

Bytes copies(const Bytes& frame, std::size_t n) {
    Bytes out;
    for (std::size_t i = 0; i < n; ++i) out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

std::string overflow(std::size_t n) {
    return "error: receive buffer overflow: " + std::to_string(n) + " bytes dropped before this frame";
}

std::vector<ReportedCase> reported_cases() {
    const Bytes three_zeros = {0x01, 0x01, 0x01, 0x01, 0x00};  // decodes to 00 00 00
    std::vector<ReportedCase> cases = {
        {"broken_then_frame", {cat({BROKEN, PING_WIRE})}, {"Ping", "nothing"}},
        {"broken_runs_between_frames", {cat({BROKEN, BROKEN, PONG_WIRE, BROKEN, {0x02, 0x00}, PING_WIRE})},
         {"Pong", "Ping", "nothing"}},
        {"broken_alone_is_consumed", {BROKEN}, {"nothing", "nothing"}},
        {"broken_before_partial_frame", {cat({BROKEN, {0x01, 0x01}})}, {"nothing"}, 2},
        {"error_frames_still_reported", {cat({{0x00}, BROKEN, wire({0x07})})},
         {TOO_SHORT, "error: message decode failed: Serde Deserialization Error", "nothing"}},
        // 555 Pings behind a Pong drop the Pong's first four bytes; 556 drop
        // the Pong and four bytes of the first Ping.
        {"overflow_cuts_first_frame", {PONG_WIRE, copies(PING_WIRE, 555)},
         {overflow(4), "Ping"}, 554 * PING_WIRE.size()},
        {"overflow_cuts_second_frame", {PONG_WIRE, copies(PING_WIRE, 556)},
         {overflow(13), "Ping"}, 554 * PING_WIRE.size()},
        // A drop that ends exactly at a delimiter leaves the next frame whole.
        {"overflow_at_frame_boundary", {PONG_WIRE, cat({copies(PING_WIRE, 555), three_zeros})},
         {"Ping"}, 554 * PING_WIRE.size() + three_zeros.size()},
        // Drops accumulate until the cut frame is taken, and the record goes with it.
        {"drops_add_up",
         {Bytes(4990, 0x01), Bytes(20, 0x01), cat({Bytes(5, 0x01), PING_WIRE, PONG_WIRE})},
         {overflow(33), "Pong", "nothing"}},
        {"overflow_frame_waits_for_its_delimiter", {Bytes(5001, 0x01)}, {"nothing", "nothing"}, 5000},
        {"packet_longer_than_buffer", {cat({Bytes(11, 0x05), copies(PING_WIRE, 555)})},
         {overflow(6), "Ping"}, 553 * PING_WIRE.size()},
        {"packet_longer_than_buffer_at_boundary", {cat({{0x05, 0x00}, copies(PING_WIRE, 555), three_zeros})},
         {"Ping"}, 554 * PING_WIRE.size() + three_zeros.size()},
    };
    return cases;
}

class EngineReported : public testing::TestWithParam<ReportedCase> {};

TEST_P(EngineReported, Outcomes) {
    Engine engine;
    for (const Bytes& p : GetParam().packets) engine.handle_receive(p);
    EXPECT_EQ(drain(engine, GetParam().polls.size(), FrameFaults::Reported), GetParam().polls);
    EXPECT_EQ(engine.rx_buffer().size(), GetParam().left_in_buffer);
}

INSTANTIATE_TEST_SUITE_P(Table, EngineReported, testing::ValuesIn(reported_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace plim
