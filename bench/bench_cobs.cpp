// COBS throughput on 4 KB frames of random bytes, and the cost of cutting a
// frame into packets. Prints MB/s (1 MB = 10^6 bytes) of decoded input.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "link/cobs.hpp"
#include "link/frame.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t FRAME_LEN = 4096;
constexpr std::size_t FRAMES = 64;       // distinct frames, so branch history cannot memorise one
constexpr double MIN_SECONDS = 0.5;

// Keeps the optimiser from discarding results.
volatile std::size_t g_sink;

template <class Work>
double megabytes_per_second(std::size_t bytes_per_call, Work&& work) {
    std::size_t calls = 0;
    const auto start = Clock::now();
    double seconds = 0;
    do {
        for (int i = 0; i < 256; ++i) g_sink = work(calls++);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < MIN_SECONDS);
    return static_cast<double>(calls) * static_cast<double>(bytes_per_call) / seconds / 1e6;
}

}  // namespace

int main() {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<plim::Bytes> frames(FRAMES, plim::Bytes(FRAME_LEN));
    for (auto& f : frames)
        for (auto& b : f) b = static_cast<std::uint8_t>(byte(rng));

    std::vector<plim::Bytes> wires(FRAMES);
    std::vector<std::uint8_t> out(plim::max_encoded_len(FRAME_LEN));
    for (std::size_t i = 0; i < FRAMES; ++i) {
        wires[i].resize(plim::max_encoded_len(FRAME_LEN));
        wires[i].resize(plim::cobs_encode(frames[i], wires[i].data()));
    }

    const double encode = megabytes_per_second(FRAME_LEN, [&](std::size_t i) {
        return plim::cobs_encode(frames[i % FRAMES], out.data());
    });
    const double decode = megabytes_per_second(FRAME_LEN, [&](std::size_t i) {
        return *plim::cobs_decode(wires[i % FRAMES], out.data());
    });
    const double cut = megabytes_per_second(FRAME_LEN, [&](std::size_t i) {
        return plim::cut_packets(wires[i % FRAMES]).size();
    });
    const double whole = megabytes_per_second(FRAME_LEN, [&](std::size_t i) {
        return plim::encode_frame_packets(frames[i % FRAMES]).size();
    });

    std::printf("g++ %s, frames of %zu random bytes\n", __VERSION__, FRAME_LEN);
    std::printf("cobs_encode          %8.0f MB/s\n", encode);
    std::printf("cobs_decode          %8.0f MB/s\n", decode);
    std::printf("cut_packets          %8.0f MB/s\n", cut);
    std::printf("encode_frame_packets %8.0f MB/s\n", whole);
    return 0;
}
