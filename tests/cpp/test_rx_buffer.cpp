#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <new>
#include <random>
#include <vector>

#include "link/rx_buffer.hpp"

// Allocation failure injection: while armed, every allocation throws. The
// replacements pair malloc with free, which GCC cannot see through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
bool g_fail_allocations = false;
}

void* operator new(std::size_t size) {
    if (g_fail_allocations) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace plim {
namespace {

Bytes pattern(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(1 + (first + i) % 255);
    return b;
}

// The byte-at-a-time rule the buffer must match: append, then drop the front
// once the limit is passed. The front frame is cut when the last byte dropped
// since a frame was consumed was not a delimiter.
struct ModelStream {
    std::deque<std::uint8_t> bytes;
    std::size_t dropped = 0;
    bool cut = false;
    void append(const Bytes& packet) {
        for (std::uint8_t b : packet) {
            bytes.push_back(b);
            if (bytes.size() > RX_BUFFER_LIMIT) {
                cut = bytes.front() != 0;
                ++dropped;
                bytes.pop_front();
            }
        }
    }
    void consume(std::size_t length) {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        dropped = 0;
        cut = false;
    }
    Bytes view() const { return Bytes(bytes.begin(), bytes.end()); }
};

void expect_same_record(const RxBuffer& rx, const ModelStream& model) {
    EXPECT_EQ(rx.dropped_bytes(), model.dropped);
    EXPECT_EQ(rx.front_frame_cut(), model.cut);
}

Bytes view_of(const RxBuffer& rx) { return Bytes(rx.view().begin(), rx.view().end()); }

struct AppendCase {
    const char* name;
    std::vector<std::size_t> packet_sizes;
};

class RxAppend : public testing::TestWithParam<AppendCase> {};

TEST_P(RxAppend, KeepsNewestBytes) {
    RxBuffer rx;
    ModelStream model;
    std::uint8_t seed = 0;
    for (std::size_t n : GetParam().packet_sizes) {
        const Bytes packet = pattern(n, seed += 17);
        rx.append(packet);
        model.append(packet);
        ASSERT_EQ(view_of(rx), model.view()) << "after a packet of " << n;
        expect_same_record(rx, model);
        ASSERT_LE(rx.size(), RX_BUFFER_LIMIT);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RxAppend,
                         testing::Values(AppendCase{"empty_packet", {0}}, AppendCase{"one_byte", {1}},
                                         AppendCase{"exactly_full", {5000}}, AppendCase{"one_over", {5001}},
                                         AppendCase{"six_thousand", {6000}}, AppendCase{"full_then_one", {5000, 1}},
                                         AppendCase{"fill_in_steps", {1000, 2000, 1999, 1, 1, 3000}},
                                         AppendCase{"long_after_short", {10, 7000}},
                                         AppendCase{"short_after_long", {7000, 10, 0, 4990, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RxBuffer, PeekAndConsumeFrames) {
    RxBuffer rx;
    EXPECT_EQ(rx.peek_frame(), std::nullopt);
    rx.append(Bytes{0x05, 0x06});
    EXPECT_EQ(rx.peek_frame(), std::nullopt);
    rx.append(Bytes{0x00, 0x00, 0x07, 0x00, 0x08});

    auto expect_frame = [&](const Bytes& frame) {
        const std::optional<ByteView> peeked = rx.peek_frame();
        ASSERT_TRUE(peeked.has_value());
        EXPECT_EQ(Bytes(peeked->begin(), peeked->end()), frame);
        // Peeking twice gives the same frame: nothing is consumed by looking.
        EXPECT_EQ(rx.peek_frame()->size(), frame.size());
        rx.consume_frame(peeked->size());
    };
    expect_frame({0x05, 0x06, 0x00});
    expect_frame({0x00});
    expect_frame({0x07, 0x00});
    EXPECT_EQ(rx.peek_frame(), std::nullopt);
    EXPECT_EQ(view_of(rx), Bytes{0x08});
}

TEST(RxBuffer, FailedGrowthLeavesBufferUnchanged) {
    RxBuffer rx;
    const Bytes first = pattern(10, 1);
    rx.append(first);
    for (std::size_t n : {std::size_t{100}, std::size_t{6000}}) {
        g_fail_allocations = true;
        EXPECT_THROW(rx.append(pattern(n, 3)), std::bad_alloc);
        g_fail_allocations = false;
        EXPECT_EQ(view_of(rx), first);
        EXPECT_EQ(rx.dropped_bytes(), 0u);
    }
}

// Random packets and frame cuts against the model: the buffer never passes
// its limit and always holds exactly the model's bytes.
TEST(RxBuffer, RandomTrafficMatchesModel) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> size(0, 1800);
    std::uniform_int_distribution<int> byte(0, 255);
    std::bernoulli_distribution consume(0.4);
    RxBuffer rx;
    ModelStream model;
    for (int round = 0; round < 3000; ++round) {
        Bytes packet(static_cast<std::size_t>(size(rng)));
        // Zeros rare enough that frames are often long; some rounds end a
        // packet with a delimiter so that drops also end on frame boundaries.
        for (auto& b : packet) b = byte(rng) < 2 ? 0 : static_cast<std::uint8_t>(byte(rng) | 1);
        if (!packet.empty() && round % 4 == 0) packet.back() = 0;
        rx.append(packet);
        model.append(packet);
        ASSERT_LE(rx.size(), RX_BUFFER_LIMIT);
        while (consume(rng)) {
            const std::optional<ByteView> frame = rx.peek_frame();
            auto zero = std::find(model.bytes.begin(), model.bytes.end(), 0);
            ASSERT_EQ(frame.has_value(), zero != model.bytes.end());
            if (!frame) break;
            ASSERT_EQ(frame->size(), static_cast<std::size_t>(zero - model.bytes.begin()) + 1);
            rx.consume_frame(frame->size());
            model.consume(frame->size());
        }
        ASSERT_EQ(view_of(rx), model.view()) << "round " << round;
        expect_same_record(rx, model);
        // Frames further in are found from the end of the one before.
        std::size_t offset = 0;
        while (const std::optional<ByteView> frame = rx.peek_frame_at(offset)) {
            ASSERT_EQ(frame->back(), 0);
            ASSERT_EQ(std::count(frame->begin(), frame->end(), 0), 1);
            offset += frame->size();
        }
        ASSERT_EQ(std::count(model.bytes.begin() + static_cast<std::ptrdiff_t>(offset), model.bytes.end(), 0), 0);
    }
}

}  // namespace
}  // namespace plim
