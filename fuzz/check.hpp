#pragma once
// Invariant checks and input slicing shared by the fuzz harnesses. A failed
// check prints what broke and aborts, so libFuzzer saves the input as a crash
// and the replay programs stop with a non-zero status.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzcheck {

[[noreturn]] inline void fail(const char* file, int line, const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    if (!detail.empty()) {
        std::fprintf(stderr, "  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
    }
    std::abort();
}

// Shows both sides of a failed string comparison.
inline std::string diff(std::string_view got, std::string_view want) {
    std::string text = "got  ";
    text.append(got);
    text.append("\n  want ");
    text.append(want);
    return text;
}

// Hands out the fuzz input piece by piece; an exhausted input yields zeros,
// so every harness can run to the end of its script on any input.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : pos_(data), end_(data + size) {}

    bool empty() const { return pos_ == end_; }
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }

    std::uint8_t byte() { return pos_ == end_ ? 0 : *pos_++; }
    // Sequenced reads, so every compiler slices an input the same way and a
    // finding replays in the g++ build as it crashed in the clang one.
    std::uint16_t u16() {
        const unsigned low = byte();
        return static_cast<std::uint16_t>(low | (byte() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }

    // Up to `n` bytes, fewer when the input runs out.
    std::string_view take(std::size_t n) {
        if (n > remaining()) n = remaining();
        std::string_view view(reinterpret_cast<const char*>(pos_), n);
        pos_ += n;
        return view;
    }

private:
    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

}  // namespace fuzzcheck

#define FUZZ_CHECK(cond, detail)                                                    \
    do {                                                                            \
        if (!(cond)) ::fuzzcheck::fail(__FILE__, __LINE__, #cond, (detail));        \
    } while (0)
