// The receive stream: packets of raw bytes, framed random bodies and long
// runs fed into an engine between polls, against a model of the stream. The
// buffer always equals the last 5000 bytes of the model, each poll consumes
// exactly the bytes up to the first 00, and its outcome (nothing, a message's
// JSON text, or an error text) is the one the test-side codecs predict.
// A second engine polled in the reporting mode gets the same bytes; its model
// also counts the bytes dropped since the last frame taken and whether the
// last of them was a delimiter, skips frames the codecs drop, and expects
// the overflow text for a frame that lost its beginning.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "device_gen.hpp"
#include "json_check.hpp"
#include "link/link_error.hpp"
#include "messages/plim_codec.hpp"
#include "model.hpp"
#include "replay_main.hpp"

namespace fuzz_stream {

using fuzzcheck::Input;
using fuzzmodel::Buffer;

struct Outcome {
    enum Kind { Nothing, Message, Error } kind = Nothing;
    std::string text;
};

inline std::string version(unsigned major, unsigned minor, unsigned patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

// What one delimited wire frame must give.
inline Outcome predict(std::string_view wire) {
    const auto frame = fuzzmodel::cobs_decode(wire);
    if (!frame) return {};
    if (frame->size() < 6) return {Outcome::Error, "Message frame too short to contain a version header"};
    const unsigned major = (*frame)[0] | ((*frame)[1] << 8);
    const unsigned minor = (*frame)[2] | ((*frame)[3] << 8);
    const unsigned patch = (*frame)[4] | ((*frame)[5] << 8);
    if (major != 0 || minor != 2) {
        const bool peer_newer = major > 0 || (major == 0 && minor > 2);
        return {Outcome::Error, "plim-api version mismatch: host is v0.2.0, plim is v" +
                                    version(major, minor, patch) + " \xE2\x80\x94 update " +
                                    (peer_newer ? "host" : "plim") + " to a compatible version"};
    }
    const std::string body(frame->begin() + 6, frame->end());
    const fuzzmodel::Expected decoded = fuzzmodel::decode_device_body(body);
    if (decoded.failed) return {Outcome::Error, "message decode failed: " + decoded.text};
    return {Outcome::Message, decoded.text};
}

// The last 5000 bytes of a stream. Bytes leave the front by a moving start,
// not by moving the rest, which had been most of the harness's time.
class Window {
public:
    std::string_view view() const { return {bytes_.data() + start_, size()}; }
    std::size_t size() const { return bytes_.size() - start_; }
    // Appends, then returns how many bytes the limit dropped from the front.
    std::size_t append(std::string_view packet) {
        if (start_ > 1 << 16) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
            start_ = 0;
        }
        bytes_.insert(bytes_.end(), packet.data(), packet.data() + packet.size());
        const std::size_t drop = size() > 5000 ? size() - 5000 : 0;
        start_ += drop;
        return drop;
    }
    char last_dropped() const { return bytes_[start_ - 1]; }
    // The bytes up to and including the first 00, taken off the front; the
    // view holds until the next append.
    std::optional<std::string_view> take_frame() {
        const std::string_view held = view();
        const std::size_t delimiter = held.find('\0');
        if (delimiter == std::string_view::npos) return std::nullopt;
        start_ += delimiter + 1;
        return held.substr(0, delimiter + 1);
    }

private:
    std::vector<char> bytes_;  // a vector, so appends are one copy, not a byte loop
    std::size_t start_ = 0;
};

class Session {
public:
    void feed(std::string_view packet) {
        const plim::ByteView bytes(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
        engine_.handle_receive(bytes);
        reported_.handle_receive(bytes);
        model_.append(packet);
        if (const std::size_t drop = reported_model_.append(packet); drop != 0) {
            dropped_ += drop;
            cut_ = reported_model_.last_dropped() != '\0';
        }
        check_buffer();
    }

    // One poll of the engine in the reporting mode, against its model.
    void poll_reported() {
        auto pending = reported_.read_next_frame(plim::FrameFaults::Reported);
        reported_.consume(pending);
        std::optional<plim::PlimEngine::Received> got = std::move(pending.outcome);
        Outcome want;
        while (want.kind == Outcome::Nothing) {
            const std::optional<std::string_view> wire = reported_model_.take_frame();
            if (!wire) break;
            want = cut_ ? Outcome{Outcome::Error, "receive buffer overflow: " + std::to_string(dropped_) +
                                                      " bytes dropped before this frame"}
                        : predict(*wire);
            dropped_ = 0;
            cut_ = false;
        }
        const plim::ByteView held = reported_.rx_buffer().view();
        FUZZ_CHECK(held.size() == reported_model_.size() &&
                       (held.empty() || std::memcmp(held.data(), reported_model_.view().data(), held.size()) == 0),
                   "reporting engine's buffer differs from its model");
        if (!got) {
            FUZZ_CHECK(want.kind == Outcome::Nothing, "nothing from the reporting engine, expected: " + want.text);
        } else if (got->has_value()) {
            const std::string json = fuzzgen::module_json(**got);
            FUZZ_CHECK(want.kind == Outcome::Message && json == want.text, fuzzcheck::diff(json, want.text));
        } else {
            const std::string text = plim::link_error_text(got->error());
            FUZZ_CHECK(want.kind == Outcome::Error && text == want.text, fuzzcheck::diff(text, want.text));
        }
    }

    // Returns false when the model held no complete frame. The two-phase
    // form first reads the frame, drops the outcome as an undeliverable
    // result would be, checks that nothing was consumed, and reads it again.
    bool poll(bool two_phase = false) {
        if (two_phase) {
            { auto undelivered = engine_.read_next_frame(); }
            check_buffer();
        }
        auto pending = engine_.read_next_frame();
        engine_.consume(pending);
        std::optional<plim::PlimEngine::Received> got = std::move(pending.outcome);
        const std::optional<std::string_view> wire = model_.take_frame();
        check_buffer();
        if (!wire) {
            FUZZ_CHECK(!got.has_value(), "a result without a complete frame");
            return false;
        }
        const Outcome want = predict(*wire);
        if (!got) {
            FUZZ_CHECK(want.kind == Outcome::Nothing, "frame dropped, expected: " + want.text);
        } else if (got->has_value()) {
            const std::string json = fuzzgen::module_json(**got);
            FUZZ_CHECK(fuzzjson::is_json(json), json);
            FUZZ_CHECK(want.kind == Outcome::Message && json == want.text, fuzzcheck::diff(json, want.text));
        } else {
            const std::string text = plim::link_error_text(got->error());
            FUZZ_CHECK(text == "Message frame too short to contain a version header" ||
                           text.starts_with("plim-api version mismatch: ") ||
                           text.starts_with("message decode failed: "),
                       text);
            FUZZ_CHECK(want.kind == Outcome::Error && text == want.text, fuzzcheck::diff(text, want.text));
        }
        return true;
    }

private:
    void check_buffer() {
        const plim::ByteView held = engine_.rx_buffer().view();
        FUZZ_CHECK(engine_.rx_buffer().size() <= 5000, "receive buffer above its limit");
        FUZZ_CHECK(held.size() == model_.size() &&
                       (held.empty() || std::memcmp(held.data(), model_.view().data(), held.size()) == 0),
                   "receive buffer differs from the model stream");
    }

    plim::PlimEngine engine_;
    Window model_;  // the joined stream
    plim::PlimEngine reported_;
    Window reported_model_;
    std::size_t dropped_ = 0;
    bool cut_ = false;
};

inline Buffer framed(Input& in) {
    Buffer frame;
    switch (in.byte() % 4) {
        case 0:
        case 1: {
            const std::uint16_t patch = in.byte() % 2 ? in.u16() : 0;
            frame = {0, 0, 2, 0, static_cast<std::uint8_t>(patch), static_cast<std::uint8_t>(patch >> 8)};
            break;
        }
        case 2: {
            for (const char c : in.take(6)) frame.push_back(static_cast<std::uint8_t>(c));
            break;
        }
        default: {
            const std::string_view shorter = in.take(in.byte() % 6);
            return fuzzmodel::cobs_encode(Buffer(shorter.begin(), shorter.end()));
        }
    }
    if (in.byte() % 2) {
        fuzzgen::Generator gen(in);
        gen.message();
        frame.insert(frame.end(), gen.body().begin(), gen.body().end());
    } else if (in.byte() % 4 != 0) {
        const std::string_view body = in.take(in.byte());
        frame.insert(frame.end(), body.begin(), body.end());
    } else {
        // Long bodies, up to past the receive buffer's limit: a short pattern repeated.
        const std::size_t length = static_cast<std::size_t>(in.byte()) * 24;
        std::string_view pattern = in.take(1 + in.byte() % 8);
        if (pattern.empty()) pattern = "\x11";
        for (std::size_t k = 0; k < length; ++k) frame.push_back(static_cast<std::uint8_t>(pattern[k % pattern.size()]));
    }
    return fuzzmodel::cobs_encode(frame);
}

}  // namespace fuzz_stream

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzz_stream;
    Input in(data, size);
    Session session;
    while (!in.empty()) {
        switch (in.byte() % 8) {
            case 0:
            case 1: session.feed(in.take(in.byte())); break;
            case 2:
                session.poll();
                session.poll_reported();
                break;
            case 3:
                session.poll(true);
                session.poll_reported();
                break;
            case 4:
            case 5: {
                const Buffer wire = framed(in);
                const std::string_view all(reinterpret_cast<const char*>(wire.data()), wire.size());
                const std::size_t cut = std::min<std::size_t>(in.byte(), all.size());
                session.feed(all.substr(0, cut));
                session.feed(all.substr(cut));
                break;
            }
            case 6: {
                // Long runs overflow the buffer; a run of zeros is thousands
                // of empty frames, so ask for it explicitly.
                const std::size_t length = in.u16() % 6000;
                const std::uint8_t fill = in.byte();
                const std::string run(length, static_cast<char>(fill != 0 || in.byte() == 0x5A ? fill : 0x11));
                session.feed(run);
                break;
            }
            default: session.feed(std::string_view()); break;
        }
    }
    for (int k = 0; k < 64 && session.poll(); ++k) {
    }
    for (int k = 0; k < 64; ++k) session.poll_reported();
    return 0;
}
