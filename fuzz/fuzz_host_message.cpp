// Host-message text: every refusal has a well-formed position; every accepted
// text is grammatical JSON, its body decodes (test-side) to the parsed values,
// and the engine queues it as packets that reassemble into the framed body.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "check.hpp"
#include "json/json_error.hpp"
#include "json_check.hpp"
#include "link/cobs.hpp"
#include "messages/host_message.hpp"
#include "messages/plim_codec.hpp"
#include "model.hpp"
#include "replay_main.hpp"

namespace fuzz_host_message {

using fuzzmodel::Buffer;

struct Decoded {
    std::size_t variant = 0;
    std::string text1, text2;
    std::uint32_t bits1 = 0, bits2 = 0;
};

// Reads a body back by the layout rules; the body must be consumed exactly.
class BodyDecoder {
public:
    explicit BodyDecoder(const Buffer& body) : b_(body) {}

    Decoded run() {
        Decoded d;
        d.variant = byte();
        FUZZ_CHECK(d.variant <= 5, "discriminant");
        if (d.variant == 3) {
            d.text1 = text();
            d.text2 = text();
        } else if (d.variant == 4) {
            d.text1 = text();
        } else if (d.variant == 5) {
            d.bits1 = f32bits();
            d.bits2 = f32bits();
        }
        FUZZ_CHECK(i_ == b_.size(), "body has bytes after its last field");
        return d;
    }

private:
    std::uint8_t byte() {
        FUZZ_CHECK(i_ < b_.size(), "body ends early");
        return b_[i_++];
    }
    std::string text() {
        std::uint64_t len = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t b = byte();
            len |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0) {
                FUZZ_CHECK(b != 0 || shift == 0, "length varint not in shortest form");
                break;
            }
            FUZZ_CHECK(shift < 63, "length varint too long");
        }
        FUZZ_CHECK(len <= b_.size() - i_, "text runs past the body");
        std::string s(b_.begin() + static_cast<std::ptrdiff_t>(i_), b_.begin() + static_cast<std::ptrdiff_t>(i_ + len));
        i_ += static_cast<std::size_t>(len);
        return s;
    }
    std::uint32_t f32bits() {
        std::uint32_t bits = 0;
        for (int k = 0; k < 4; ++k) bits |= static_cast<std::uint32_t>(byte()) << (8 * k);
        return bits;
    }

    const Buffer& b_;
    std::size_t i_ = 0;
};

inline std::uint32_t bits_of(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

inline void check_matches(const plim::host::HostMessage& message, const Decoded& d) {
    using namespace plim::host;
    FUZZ_CHECK(message.index() == d.variant, "variant");
    if (const auto* m = std::get_if<SetNetworkConnectionConfig>(&message)) {
        FUZZ_CHECK(m->ssid == d.text1, fuzzcheck::diff(d.text1, m->ssid));
        FUZZ_CHECK(m->password == d.text2, fuzzcheck::diff(d.text2, m->password));
    } else if (const auto* u = std::get_if<SetUid>(&message)) {
        FUZZ_CHECK(u->uid == d.text1, fuzzcheck::diff(d.text1, u->uid));
    } else if (const auto* v = std::get_if<SetDriveBaseVelocity>(&message)) {
        FUZZ_CHECK(bits_of(v->left_velocity_rad_per_s) == d.bits1, "left velocity bits");
        FUZZ_CHECK(bits_of(v->right_velocity_rad_per_s) == d.bits2, "right velocity bits");
    }
}

// The position must name an offset inside the input: the line exists and the
// column does not reach past that line's end.
inline void check_position(std::string_view text, const plim::JsonInputError& error) {
    const std::string display = plim::json_error_text(error);
    FUZZ_CHECK(!error.message.empty(), display);
    if (error.line == 0) {
        FUZZ_CHECK(error.column == 0, display);
        FUZZ_CHECK(error.message == "invalid type: unit variant, expected newtype variant", display);
        FUZZ_CHECK(display == error.message, display);
        return;
    }
    FUZZ_CHECK(display == error.message + " at line " + std::to_string(error.line) + " column " +
                              std::to_string(error.column),
               display);
    std::size_t line_start = 0;
    for (std::uint64_t line = 1; line < error.line; ++line) {
        const std::size_t lf = text.find('\n', line_start);
        FUZZ_CHECK(lf != std::string_view::npos, display);
        line_start = lf + 1;
    }
    const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
    FUZZ_CHECK(error.column <= line_end - line_start, display);
}

inline void check_packets(const plim::host::HostMessage& message) {
    Buffer body;
    plim::host::encode_host_message(message, body);
    check_matches(message, BodyDecoder(body).run());

    plim::PlimEngine engine;
    engine.send(message);
    Buffer wire;
    std::size_t packets = 0;
    std::size_t last_size = 0;
    for (const plim::Bytes* packet; (packet = engine.front_packet()) != nullptr; engine.pop_packet()) {
        FUZZ_CHECK(!packet->empty() && packet->size() <= plim::MAX_PACKET_LEN, "packet size");
        FUZZ_CHECK(packets == 0 || last_size == plim::MAX_PACKET_LEN, "short packet before the last");
        last_size = packet->size();
        wire.insert(wire.end(), packet->begin(), packet->end());
        ++packets;
    }
    FUZZ_CHECK(!wire.empty() && wire.back() == 0, "frame not closed by its delimiter");
    FUZZ_CHECK(std::memchr(wire.data(), 0, wire.size() - 1) == nullptr, "zero byte inside the wire frame");
    Buffer frame = {0, 0, 2, 0, 0, 0};
    frame.insert(frame.end(), body.begin(), body.end());
    FUZZ_CHECK(wire.size() <= plim::max_encoded_len(frame.size()), "wire frame above its bound");
    FUZZ_CHECK(wire == fuzzmodel::cobs_encode(frame), "wire frame differs from the reference encoding");
    const auto decoded = fuzzmodel::cobs_decode({reinterpret_cast<const char*>(wire.data()), wire.size()});
    FUZZ_CHECK(decoded && *decoded == frame, "wire frame does not decode to header + body");

    // The same packets again, behind a message queued earlier.
    engine.send(plim::host::Ping{});
    engine.send(message);
    Buffer again;
    for (const plim::Bytes* packet; (packet = engine.front_packet()) != nullptr; engine.pop_packet()) {
        again.insert(again.end(), packet->begin(), packet->end());
    }
    const Buffer ping_wire = {1, 1, 2, 2, 1, 1, 1, 1, 0};
    FUZZ_CHECK(again.size() == ping_wire.size() + wire.size() &&
                   std::equal(ping_wire.begin(), ping_wire.end(), again.begin()) &&
                   std::equal(wire.begin(), wire.end(), again.begin() + static_cast<std::ptrdiff_t>(ping_wire.size())),
               "packets differ behind another message");
    FUZZ_CHECK(engine.front_packet() == nullptr, "queue not empty after draining");
}

}  // namespace fuzz_host_message

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzz_host_message;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = plim::host::parse_host_message(text);
    if (!parsed) {
        check_position(text, parsed.error());
        return 0;
    }
    FUZZ_CHECK(fuzzjson::is_json(text), "accepted text is not JSON");
    check_packets(*parsed);
    return 0;
}
