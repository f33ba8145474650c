#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <variant>
#include <vector>

#include "link/cobs.hpp"
#include "link/frame.hpp"

namespace plim {
namespace {

const Bytes PING_WIRE = {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00};

std::vector<std::size_t> sizes_of(const std::vector<Bytes>& packets) {
    std::vector<std::size_t> sizes;
    for (const Bytes& p : packets) sizes.push_back(p.size());
    return sizes;
}

// The wire frame a body makes: host header, body, COBS, delimiter.
Bytes wire_of(const Bytes& body) {
    Bytes frame;
    restart_host_frame(frame);
    frame.insert(frame.end(), body.begin(), body.end());
    Bytes wire(max_encoded_len(frame.size()));
    wire.resize(cobs_encode(frame, wire.data()));
    return wire;
}

// The body a wire frame carries, or nothing when it gives no body.
std::optional<Bytes> body_of(const Bytes& wire) {
    Bytes storage(wire.size());
    const FrameViewOutcome outcome = decode_frame_into(wire, storage.data());
    const ByteView* body = std::get_if<ByteView>(&outcome);
    if (body == nullptr) return std::nullopt;
    return Bytes(body->begin(), body->end());
}

TEST(Frame, PingWorkedExample) {
    Bytes frame = {0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09, 0x09};  // a reused buffer's old content goes
    restart_host_frame(frame);
    EXPECT_EQ(frame, (Bytes{0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));
    frame.push_back(0x00);
    EXPECT_EQ(encode_frame_packets(frame), std::vector<Bytes>{PING_WIRE});
    EXPECT_EQ(wire_of(Bytes{0x00}), PING_WIRE);
    EXPECT_EQ(body_of(PING_WIRE), Bytes{0x00});
}

struct CutCase {
    std::size_t wire_len;
    std::vector<std::size_t> packet_sizes;
};

class PacketCut : public testing::TestWithParam<CutCase> {};

TEST_P(PacketCut, SizesAndContent) {
    const CutCase& c = GetParam();
    Bytes wire(c.wire_len);
    std::iota(wire.begin(), wire.end(), std::uint8_t{1});
    const std::vector<Bytes> packets = cut_packets(wire);
    EXPECT_EQ(sizes_of(packets), c.packet_sizes);
    Bytes joined;
    for (const Bytes& p : packets) joined.insert(joined.end(), p.begin(), p.end());
    EXPECT_EQ(joined, wire);
}

INSTANTIATE_TEST_SUITE_P(Table, PacketCut,
                         testing::Values(CutCase{1, {1}}, CutCase{9, {9}}, CutCase{1399, {1399}},
                                         CutCase{1400, {1400}}, CutCase{1401, {1400, 1}},
                                         CutCase{2800, {1400, 1400}}, CutCase{2801, {1400, 1400, 1}},
                                         CutCase{3000, {1400, 1400, 200}}));

enum class Verdict { Discarded, TooShort, Body, Mismatch };

struct DecodeCase {
    const char* name;
    Bytes wire;
    Verdict verdict;
    Bytes body;
};

class DecodeFrame : public testing::TestWithParam<DecodeCase> {};

// The outcome of each frame, its body a view into the caller's storage;
// nothing is written past wire.size() bytes of it.
TEST_P(DecodeFrame, IntoCallerStorage) {
    const DecodeCase& c = GetParam();
    constexpr std::uint8_t CANARY = 0xA5;
    Bytes storage(c.wire.size() + 16, CANARY);
    const FrameViewOutcome outcome = decode_frame_into(c.wire, storage.data());
    for (std::size_t i = c.wire.size(); i < storage.size(); ++i) EXPECT_EQ(storage[i], CANARY) << i;
    switch (c.verdict) {
        case Verdict::Discarded:
            EXPECT_TRUE(std::holds_alternative<FrameDiscarded>(outcome));
            break;
        case Verdict::TooShort:
        case Verdict::Mismatch:
            ASSERT_TRUE(std::holds_alternative<LinkError>(outcome));
            EXPECT_EQ(std::get<LinkError>(outcome).kind, c.verdict == Verdict::TooShort
                                                             ? LinkError::Kind::FrameTooShort
                                                             : LinkError::Kind::VersionMismatch);
            break;
        case Verdict::Body: {
            ASSERT_TRUE(std::holds_alternative<ByteView>(outcome));
            const ByteView body = std::get<ByteView>(outcome);
            EXPECT_EQ(body.data(), storage.data() + VERSION_HEADER_LEN);
            EXPECT_EQ(Bytes(body.begin(), body.end()), c.body);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeFrame,
    testing::Values(
        DecodeCase{"empty", {}, Verdict::Discarded, {}},
        DecodeCase{"block_into_delimiter", {0x03, 0x11, 0x00}, Verdict::Discarded, {}},
        DecodeCase{"no_delimiter", {0x01, 0x01, 0x02, 0x02}, Verdict::Discarded, {}},
        DecodeCase{"lone_delimiter", {0x00}, Verdict::TooShort, {}},
        DecodeCase{"five_bytes", {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x00}, Verdict::TooShort, {}},
        DecodeCase{"exact_header", {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x01, 0x00}, Verdict::Body, {}},
        DecodeCase{"pong", {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00}, Verdict::Body, {0x01}},
        DecodeCase{"extra_bytes_kept", {0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0x04, 0x01, 0x02, 0x03, 0x00},
                   Verdict::Body, {0x01, 0x02, 0x03}},
        DecodeCase{"patch_ignored", {0x01, 0x01, 0x02, 0x02, 0x02, 0x07, 0x01, 0x01, 0x00},
                   Verdict::Body, {0x00}},
        DecodeCase{"newer_minor", {0x01, 0x01, 0x02, 0x03, 0x01, 0x01, 0x01, 0x01, 0x00}, Verdict::Mismatch,
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Header-only frames are accepted with an empty body: the failure belongs to
// the body decoder, not to the frame.
TEST(Frame, EncodedEmptyBodyDecodesToEmptyBody) { EXPECT_EQ(body_of(wire_of({})), Bytes{}); }

TEST(Frame, RoundTripBodiesWithZeros) {
    for (std::size_t n : {1u, 253u, 254u, 255u, 1000u, 6000u}) {
        Bytes body(n);
        for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<std::uint8_t>(i * 7);
        EXPECT_EQ(body_of(wire_of(body)), body) << n;
    }
}

}  // namespace
}  // namespace plim
