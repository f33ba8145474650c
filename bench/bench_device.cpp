// Timings of the receive-side hot paths: a lidar sweep decoded and written as
// JSON, single floats formatted, and an outgoing packet written as a JSON
// byte array. Build with -DPLIM_BUILD_BENCH=ON (Release) and run without
// arguments. The machine is shared, so each figure is the best of many short
// rounds: the fastest round is the one least disturbed by other work.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "json/float_format.hpp"
#include "json/writer.hpp"
#include "link/body_reader.hpp"
#include "messages/device_message.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps results alive so the optimiser cannot drop the work.
volatile std::size_t sink;

template <class Work>
double best_ns_per_call(int calls, int rounds, Work work) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i) work(i);
        const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
        best = std::min(best, elapsed.count() / calls);
    }
    return best;
}

void put_f32(std::vector<std::uint8_t>& body, float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) body.push_back(static_cast<std::uint8_t>(bits >> shift));
}

// A plausible sweep: angles round the circle, distances in millimetres.
std::vector<std::uint8_t> scan_body(int points) {
    std::vector<std::uint8_t> body = {0x02};
    for (unsigned n = static_cast<unsigned>(points); ; n >>= 7) {
        if (n < 0x80) {
            body.push_back(static_cast<std::uint8_t>(n));
            break;
        }
        body.push_back(static_cast<std::uint8_t>(n | 0x80));
    }
    std::uint32_t seed = 12345;
    for (int i = 0; i < points; ++i) {
        seed = seed * 1664525u + 1013904223u;
        body.push_back(static_cast<std::uint8_t>(seed >> 24));
        put_f32(body, static_cast<float>(i) * 6.2831853f / static_cast<float>(points));
        put_f32(body, 150.0f + static_cast<float>(seed % 1200000) / 100.0f);
    }
    return body;
}

void bench_scan() {
    const std::vector<std::uint8_t> body = scan_body(500);
    std::size_t json_size = 0;
    const double ns = best_ns_per_call(20, 300, [&](int) {
        plim::BodyReader reader(body);
        const auto message = plim::device::decode_device_message(reader);
        plim::JsonWriter writer;
        plim::device::write_device_message_json(*message, writer);
        const std::string json = writer.take();
        json_size = json.size();
        sink = json.size();
    });
    std::printf("scan of 500 points, decode + JSON: %8.2f us  (%zu-byte body, %zu-byte text; target <= 30 us)\n",
                ns / 1000, body.size(), json_size);
}

void bench_f32(const char* label, const std::vector<float>& values) {
    char buffer[plim::FLOAT_TEXT_MAX];
    // Rounds of 4096 values, each round on the next slice of the values.
    constexpr int slice = 4096;
    const int slices = static_cast<int>(values.size()) / slice;
    int round = 0;
    double best = 1e300;
    for (int r = 0; r < 2000; ++r) {
        const float* base = values.data() + static_cast<std::size_t>(round++ % slices) * slice;
        best = std::min(best, best_ns_per_call(slice, 1, [&](int i) { sink = plim::format_f32(base[i], buffer); }));
    }
    const double ns = best;
    std::printf("format_f32, %-26s %8.2f ns per value (target <= 25 ns)\n", label, ns);
}

void bench_floats() {
    constexpr int count = 1 << 20;
    std::vector<float> random_bits, measurements;
    std::uint32_t seed = 987654321;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        std::uint32_t bits = seed & 0x7FFFFFFFu;
        if (bits >= 0x7F800000u) bits -= 0x7F800000u;  // finite only
        random_bits.push_back(std::bit_cast<float>(seed & 0x80000000u ? bits | 0x80000000u : bits));
        measurements.push_back(static_cast<float>(seed % 2000000) / 1000.0f - 1000.0f);
    }
    bench_f32("random finite bit patterns:", random_bits);
    bench_f32("measurements -1000..1000:", measurements);
}

void bench_packet() {
    std::vector<std::uint8_t> packet(1400);
    std::uint32_t seed = 42;
    for (std::uint8_t& byte : packet) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    const double ns = best_ns_per_call(100, 300, [&](int) { sink = plim::write_packet_json(packet).size(); });
    std::printf("write_packet_json, 1400 bytes:      %8.2f us\n", ns / 1000);
}

}  // namespace

// With an argument (scan, f32 or packet) only that part runs, for profiling.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    if (only.empty() || only == "scan") bench_scan();
    if (only.empty() || only == "f32") bench_floats();
    if (only.empty() || only == "packet") bench_packet();
}
