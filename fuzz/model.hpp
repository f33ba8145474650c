#pragma once
// Test-side reference codecs, written from the protocol's rules and sharing no
// code with the module, only its message declarations: COBS, UTF-8
// well-formedness, the compact JSON text of strings and 32-bit floats, and a
// device body decoder that produces the expected JSON text (or the expected
// error text) in one pass.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "messages/device_message.hpp"

namespace fuzzmodel {

using Buffer = std::vector<std::uint8_t>;

// Segment by segment: each run of non-zero bytes becomes blocks of at most
// 254 bytes; a run that fills its last block exactly and was closed by a zero
// needs one extra empty block to carry that zero.
inline Buffer cobs_encode(const Buffer& in) {
    Buffer out;
    std::size_t i = 0;
    for (;;) {
        const std::size_t start = i;
        while (i < in.size() && in[i] != 0) ++i;
        const std::size_t run = i - start;
        const bool closed = i < in.size();
        std::size_t done = 0;
        do {
            const std::size_t take = run - done < 254 ? run - done : 254;
            out.push_back(static_cast<std::uint8_t>(take + 1));
            out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(start + done),
                       in.begin() + static_cast<std::ptrdiff_t>(start + done + take));
            done += take;
            if (take < 254) break;
        } while (done < run);
        if (!closed) break;
        if (run > 0 && run % 254 == 0) out.push_back(1);
        ++i;
    }
    out.push_back(0);
    return out;
}

// Decodes a wire frame up to its first zero code byte; nothing on truncation.
inline std::optional<Buffer> cobs_decode(std::string_view wire) {
    Buffer out;
    bool zero_pending = false;
    std::size_t i = 0;
    for (;;) {
        if (i == wire.size()) return std::nullopt;
        const std::uint8_t code = static_cast<std::uint8_t>(wire[i++]);
        if (code == 0) return out;
        if (zero_pending) out.push_back(0);
        if (wire.size() - i < static_cast<std::size_t>(code - 1)) return std::nullopt;
        for (int k = 0; k < code - 1; ++k) out.push_back(static_cast<std::uint8_t>(wire[i++]));
        zero_pending = code < 0xFF;
    }
}

inline bool utf8_ok(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned b = static_cast<unsigned char>(s[i]);
        std::size_t len;
        unsigned cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, cp = b & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += len;
    }
    return true;
}

inline void json_string(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

// The n-digit decimal that reads back as `a`, if there is one: the n-digit
// decimal nearest the value (printf rounds exactly), or failing that its
// neighbour on the other side of the value; no other n-digit string can.
struct Digits {
    std::string digits;
    int exponent = 0;
};
inline std::optional<Digits> digits_of(float a, int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", n - 1, static_cast<double>(a));
    std::string mant;
    const char* p = buf;
    for (; *p != 'e'; ++p) {
        if (*p != '.') mant += *p;
    }
    int e = std::atoi(p + 1);
    if (std::strtof(buf, nullptr) == a) return Digits{mant, e};
    unsigned long long m = std::strtoull(mant.c_str(), nullptr, 10);
    unsigned long long low = 1;
    for (int k = 1; k < n; ++k) low *= 10;
    if (std::strtod(buf, nullptr) < static_cast<double>(a)) {
        if (++m == low * 10) m = low, ++e;
    } else if (m == low) {
        m = low * 10 - 1, --e;
    } else {
        --m;
    }
    char alt[64];
    std::snprintf(alt, sizeof alt, "%llue%d", m, e - (n - 1));
    if (std::strtof(alt, nullptr) == a) return Digits{std::to_string(m), e};
    return std::nullopt;
}

// Shortest digits: whether some n-digit string reads back is monotone in n
// (an n-digit string is also an (n+1)-digit one), so a binary search finds
// the least n; nine digits always suffice for a float.
inline std::string json_f32(float value) {
    if (!std::isfinite(value)) return "null";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    const float a = std::fabs(value);
    int lo = 1, hi = 9;
    std::optional<Digits> best;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (auto found = digits_of(a, mid)) {
            best = found;
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    if (!best || static_cast<int>(best->digits.size()) != lo) best = digits_of(a, lo);
    std::string digits = best->digits;
    const int exponent = best->exponent;
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int n = static_cast<int>(digits.size());
    std::string out = value < 0 ? "-" : "";
    if (exponent >= -6 && exponent <= 12) {
        if (exponent >= n - 1) {
            out += digits + std::string(static_cast<std::size_t>(exponent - n + 1), '0') + ".0";
        } else if (exponent >= 0) {
            out += digits.substr(0, static_cast<std::size_t>(exponent + 1)) + "." +
                   digits.substr(static_cast<std::size_t>(exponent + 1));
        } else {
            out += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        }
    } else {
        out += digits.substr(0, 1);
        if (n > 1) out += "." + digits.substr(1);
        out += exponent < 0 ? "e-" : "e+";
        out += std::to_string(std::abs(exponent));
    }
    return out;
}

// How the module writes a declared name, a variant around its value (a unit
// as its bare name, any other as a one-member object) and a record (every
// field in order); `value` writes the value, `field(i)` field i.
inline void json_name(std::string& out, std::string_view name) {
    out += '"';
    out += name;
    out += '"';
}

template <class Alternative, class Value>
void json_variant(std::string& out, std::string_view name, Value value) {
    if constexpr (plim::Unit<Alternative>) {
        json_name(out, name);
    } else {
        out += '{';
        json_name(out, name);
        out += ':';
        value();
        out += '}';
    }
}

template <class Record, class Field>
void json_record(std::string& out, Field field) {
    out += '{';
    plim::for_each_field<Record>([&](auto i) {
        if (i > 0) out += ',';
        json_name(out, plim::field_at<Record, i>.name.view());
        out += ':';
        field(i);
    });
    out += '}';
}

inline constexpr std::string_view kEndOfInput = "Hit the end of buffer, expected more data";
inline constexpr std::string_view kVarintTooLong =
    "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr std::string_view kInvalidUtf8 = "Tried to parse invalid utf-8";
inline constexpr std::string_view kInvalidOptionTag = "Found an Option discriminant that wasn't 0 or 1";
inline constexpr std::string_view kDeserializeFailed = "Serde Deserialization Error";

// The expected outcome of decoding one device body: its JSON text, or the
// codec error text when `failed`.
struct Expected {
    bool failed = false;
    std::string text;
};

class DeviceDecoder {
public:
    explicit DeviceDecoder(std::string_view body) : b_(body) {}

    Expected run() {
        try {
            message();
            return {false, std::move(out_)};
        } catch (const Failure& f) {
            return {true, std::string(f.text)};
        }
    }

private:
    struct Failure {
        std::string_view text;
    };
    [[noreturn]] static void fail(std::string_view text) { throw Failure{text}; }

    std::uint8_t u8() {
        if (i_ == b_.size()) fail(kEndOfInput);
        return static_cast<std::uint8_t>(b_[i_++]);
    }
    std::uint64_t varint(int max_bytes, std::uint8_t last_max) {
        std::uint64_t value = 0;
        for (int k = 0; k < max_bytes; ++k) {
            const std::uint8_t b = u8();
            if (k == max_bytes - 1 && b > last_max) fail(kVarintTooLong);
            value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * k);
            if ((b & 0x80) == 0) break;
        }
        return value;
    }
    std::uint64_t disc() { return varint(5, 0x0F); }
    std::uint64_t count() { return varint(10, 0x01); }
    void f32() {
        std::uint32_t bits = 0;
        for (int k = 0; k < 4; ++k) bits |= static_cast<std::uint32_t>(u8()) << (8 * k);
        float value;
        std::memcpy(&value, &bits, 4);
        out_ += json_f32(value);
    }
    void text() {
        const std::uint64_t len = count();
        if (len > b_.size() - i_) fail(kEndOfInput);
        const std::string_view bytes = b_.substr(i_, static_cast<std::size_t>(len));
        i_ += static_cast<std::size_t>(len);
        if (!utf8_ok(bytes)) fail(kInvalidUtf8);
        json_string(out_, bytes);
    }
    bool tag() {
        const std::uint8_t t = u8();
        if (t > 1) fail(kInvalidOptionTag);
        return t == 1;
    }
    template <class F>
    void sequence(F element) {
        const std::uint64_t n = count();
        out_ += '[';
        for (std::uint64_t k = 0; k < n; ++k) {
            if (k) out_ += ',';
            element();
        }
        out_ += ']';
    }
    // The message's shape comes from the declarations, so a new kind is
    // modelled as soon as it is declared; the layout rules and the JSON text
    // of each value are this file's own.
    template <class T>
    void value() {
        using namespace plim;
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            out_ += std::to_string(u8());
        } else if constexpr (std::is_same_v<T, float>) {
            f32();
        } else if constexpr (std::is_same_v<T, std::string>) {
            text();
        } else if constexpr (is_optional<T>) {
            if (tag()) value<typename T::value_type>();
            else out_ += "null";
        } else if constexpr (is_vector<T>) {
            sequence([&] { value<typename T::value_type>(); });
        } else if constexpr (is_box<T>) {
            value<typename T::element_type>();
        } else if constexpr (Enumeration<T>) {
            const std::uint64_t d = disc();
            if (d >= Declare<T>::variants.size()) fail(kDeserializeFailed);
            json_name(out_, Declare<T>::variants[d].view());
        } else if constexpr (Family<T>) {
            const std::uint64_t d = disc();
            if (d >= variant_count<T>) fail(kDeserializeFailed);
            with_alternative<T>(d, [&](auto i) {
                using A = std::variant_alternative_t<i, T>;
                json_variant<A>(out_, Declare<T>::variants[i].view(), [&] { value<A>(); });
            });
        } else if constexpr (Newtype<T>) {
            value<field_type<T, 0>>();
        } else if constexpr (!Unit<T>) {
            json_record<T>(out_, [&](auto i) { value<field_type<T, i>>(); });
        }
    }

    void message() { value<plim::device::DeviceMessage>(); }

    std::string_view b_;
    std::size_t i_ = 0;
    std::string out_;
};

inline Expected decode_device_body(std::string_view body) { return DeviceDecoder(body).run(); }

}  // namespace fuzzmodel
