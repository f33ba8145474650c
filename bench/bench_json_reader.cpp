// Throughput of the strict reader on the texts the link reads most:
// full-size packets, a drive command, and a long uid.
//   cmake -DPLIM_BUILD_BENCH=ON (Release) && ./bench_json_reader
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "json/packet_reader.hpp"
#include "link/bytes.hpp"
#include "messages/host_message.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of this process: on a machine shared with other work the
// wall clock also counts the time other processes held the core.
double cpu_ns() { return static_cast<double>(std::clock()) * (1e9 / CLOCKS_PER_SEC); }

// Runs `body` repeatedly for about a third of a second, five times, and
// returns the best nanoseconds per call by processor time.
template <class Body>
double best_ns_per_call(Body&& body) {
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        std::uint64_t calls = 0;
        const auto start = Clock::now();
        const double cpu_start = cpu_ns();
        do {
            for (int i = 0; i < 64; ++i) body();
            calls += 64;
        } while (Clock::now() - start < std::chrono::milliseconds(300));
        const double ns = (cpu_ns() - cpu_start) / static_cast<double>(calls);
        if (ns < best) best = ns;
    }
    return best;
}

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark input refused: %s\n", what);
        std::exit(1);
    }
}

// A packet's bytes in a vector of their own, as a caller that keeps them
// would read it; out of line, as such a caller's call is.
[[gnu::noinline]] std::optional<plim::Bytes> packet_bytes(std::string_view text) {
    plim::Bytes bytes(plim::packet_capacity(text));
    const auto count = plim::parse_packet_into(text, bytes.data());
    if (!count) return std::nullopt;
    bytes.resize(*count);
    return bytes;
}

}  // namespace

int main() {
    std::uint64_t sink = 0;

    // A full packet of pseudo-random bytes, written as the transport hands it over.
    std::string packet = "[";
    std::uint32_t state = 2463534242U;
    for (int i = 0; i < 1400; ++i) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        if (i > 0) packet += ',';
        packet += std::to_string(state & 0xFF);
    }
    packet += ']';
    require(packet_bytes(packet).has_value(), "packet");
    const double packet_ns = best_ns_per_call([&] { sink += packet_bytes(packet)->size(); });
    std::printf("parse_packet, 1400-byte packet (%zu bytes of text): %.0f ns, %.2f GB/s\n", packet.size(),
                packet_ns, static_cast<double>(packet.size()) / packet_ns);

    const std::string drive = R"({"SetDriveBaseVelocity":[1.5,-1.5]})";
    require(plim::host::parse_host_message(drive).has_value(), "drive");
    plim::Bytes body;
    const double drive_ns = best_ns_per_call([&] {
        body.clear();
        plim::host::encode_host_message(*plim::host::parse_host_message(drive), body);
        sink += body.size();
    });
    std::printf("parse_host_message + encode_host_message, %s: %.1f ns\n", drive.c_str(), drive_ns);

    std::string uid_text = R"({"SetUid":{"uid":")";
    for (int i = 0; i < 100000; ++i) uid_text += static_cast<char>('A' + i % 26);
    uid_text += "\"}}";
    require(plim::host::parse_host_message(uid_text).has_value(), "uid");
    const double uid_ns = best_ns_per_call([&] {
        body.clear();
        plim::host::encode_host_message(*plim::host::parse_host_message(uid_text), body);
        sink += body.size();
    });
    std::printf("parse_host_message + encode_host_message, 100 kB uid: %.0f ns, %.2f GB/s\n", uid_ns,
                static_cast<double>(uid_text.size()) / uid_ns);

    return sink == 0 ? 1 : 0;
}
