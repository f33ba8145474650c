#pragma once
// Structured random device messages for the harnesses: the body bytes by the
// layout rules and, alongside, the JSON text the module must print for them.
// Which messages there are comes from the declarations.
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "check.hpp"
#include "json/writer.hpp"
#include "messages/device_message.hpp"
#include "model.hpp"

namespace fuzzgen {

// The module's text for a decoded message.
inline std::string module_json(const plim::device::DeviceMessage& message) {
    plim::JsonWriter writer;
    plim::device::write_device_message_json(message, writer);
    return writer.take();
}

using fuzzcheck::Input;
using fuzzmodel::Buffer;

class Generator {
public:
    explicit Generator(Input& in) : in_(in) {}

    void message() { value<plim::device::DeviceMessage>(); }

    Buffer& body() { return body_; }
    const std::string& json() const { return json_; }

private:
    // Shortest form, or padded with redundant continuation bytes up to the
    // reader's limit, which the format allows.
    void varint(std::uint64_t value, int max_bytes) {
        Buffer bytes;
        do {
            bytes.push_back(static_cast<std::uint8_t>(value & 0x7F));
            value >>= 7;
        } while (value != 0);
        int pad = in_.byte() % 8 == 0 ? in_.byte() % max_bytes : 0;
        while (pad-- > 0 && static_cast<int>(bytes.size()) < max_bytes) bytes.push_back(0);
        for (std::size_t k = 0; k + 1 < bytes.size(); ++k) bytes[k] |= 0x80;
        body_.insert(body_.end(), bytes.begin(), bytes.end());
    }

    void f32() {
        std::uint32_t bits = in_.u32();
        switch (in_.byte() % 8) {
            case 0: bits = 0x7F800000u | (bits & 0x80000000u); break;         // infinities
            case 1: bits &= 0x807FFFFFu; break;                                 // zeros, subnormals
            case 2: bits = (bits & 0xFFFF0000u); break;                         // short digit strings
            default: break;
        }
        for (int k = 0; k < 4; ++k) body_.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
        float value;
        std::memcpy(&value, &bits, 4);
        json_ += fuzzmodel::json_f32(value);
    }

    // Well-formed UTF-8 of every width, with the characters that need escapes.
    void text() {
        std::string s;
        const int chars = in_.byte() % 12 == 0 ? 130 + in_.byte() : in_.byte() % 8;
        for (int k = 0; k < chars; ++k) {
            const std::uint8_t kind = in_.byte();
            std::uint32_t cp;
            switch (kind % 6) {
                case 0: cp = in_.byte() % 0x20; break;
                case 1: cp = "\"\\/\x7f"[in_.byte() % 4]; break;
                case 2: cp = 0x80 + in_.u16() % 0x780; break;
                case 3: cp = 0x800 + in_.u16() % 0xF800; if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800; break;
                case 4: cp = 0x10000 + in_.u32() % 0x100000; break;
                default: cp = 0x20 + kind % 0x5F; break;
            }
            append_utf8(s, cp);
        }
        varint(s.size(), 10);
        body_.insert(body_.end(), s.begin(), s.end());
        fuzzmodel::json_string(json_, s);
    }

    static void append_utf8(std::string& s, std::uint32_t cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    template <class F>
    void sequence(F element) {
        const int n = in_.byte() % 5;
        varint(static_cast<std::uint64_t>(n), 10);
        json_ += '[';
        for (int k = 0; k < n; ++k) {
            if (k) json_ += ',';
            element();
        }
        json_ += ']';
    }

    // The shape from the declarations, each variant and enumerator drawn
    // alike, so a newly declared kind is generated at once.
    template <class T>
    void value() {
        using namespace plim;
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            const std::uint8_t byte = in_.byte();
            body_.push_back(byte);
            json_ += std::to_string(byte);
        } else if constexpr (std::is_same_v<T, float>) {
            f32();
        } else if constexpr (std::is_same_v<T, std::string>) {
            text();
        } else if constexpr (is_optional<T>) {
            const bool present = in_.byte() % 2;
            body_.push_back(present ? 1 : 0);
            if (present) value<typename T::value_type>();
            else json_ += "null";
        } else if constexpr (is_vector<T>) {
            sequence([&] { value<typename T::value_type>(); });
        } else if constexpr (is_box<T>) {
            value<typename T::element_type>();
        } else if constexpr (Enumeration<T>) {
            const std::size_t d = in_.byte() % Declare<T>::variants.size();
            varint(d, 5);
            fuzzmodel::json_name(json_, Declare<T>::variants[d].view());
        } else if constexpr (Family<T>) {
            const std::size_t d = in_.byte() % variant_count<T>;
            varint(d, 5);
            with_alternative<T>(d, [&](auto i) {
                using A = std::variant_alternative_t<i, T>;
                fuzzmodel::json_variant<A>(json_, Declare<T>::variants[i].view(), [&] { value<A>(); });
            });
        } else if constexpr (Newtype<T>) {
            value<field_type<T, 0>>();
        } else if constexpr (!Unit<T>) {
            fuzzmodel::json_record<T>(json_, [&](auto i) { value<field_type<T, i>>(); });
        }
    }

    Input& in_;
    Buffer body_;
    std::string json_;
};

}  // namespace fuzzgen
