#pragma once
// Structured random device messages for the harnesses: the body bytes by the
// layout rules and, alongside, the JSON text the module must print for them.
#include <cstring>
#include <string>

#include "check.hpp"
#include "model.hpp"

namespace fuzzgen {

using fuzzcheck::Input;
using fuzzmodel::Buffer;

class Generator {
public:
    explicit Generator(Input& in) : in_(in) {}

    void message() {
        switch (in_.byte() % 6) {
            case 0: varint(0, 5); json_ = "\"Ping\""; return;
            case 1: varint(1, 5); json_ = "\"Pong\""; return;
            case 2:
                varint(2, 5);
                json_ += "{\"Scan\":";
                sequence([&] {
                    const std::uint8_t quality = in_.byte();
                    body_.push_back(quality);
                    json_ += "{\"quality\":" + std::to_string(quality) + ",\"angle_rad\":";
                    f32();
                    json_ += ",\"distance_mm\":";
                    f32();
                    json_ += '}';
                });
                json_ += '}';
                return;
            case 3:
                varint(3, 5);
                json_ += "{\"DriveBaseState\":{\"left\":";
                record3("effort_percent", "velocity_rad_per_s", "position_rad");
                json_ += ",\"right\":";
                record3("effort_percent", "velocity_rad_per_s", "position_rad");
                json_ += "}}";
                return;
            case 4:
                varint(4, 5);
                json_ += "{\"ImuMeasurement\":{\"accel\":";
                record3("x", "y", "z");
                json_ += ",\"gyro\":";
                record3("x", "y", "z");
                json_ += "}}";
                return;
            default: state(); return;
        }
    }

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

    void record3(const char* a, const char* b, const char* c) {
        json_ += "{\"";
        json_ += a;
        json_ += "\":";
        f32();
        json_ += ",\"";
        json_ += b;
        json_ += "\":";
        f32();
        json_ += ",\"";
        json_ += c;
        json_ += "\":";
        f32();
        json_ += '}';
    }

    void optional_text() {
        if (in_.byte() % 2) {
            body_.push_back(1);
            text();
        } else {
            body_.push_back(0);
            json_ += "null";
        }
    }

    void state() {
        varint(5, 5);
        json_ += "{\"State\":{\"uid\":";
        text();
        json_ += ",\"ip\":";
        optional_text();
        json_ += ",\"mac\":";
        optional_text();
        json_ += ",\"current_network_connection\":";
        switch (in_.byte() % 5) {
            case 0: body_.push_back(0); json_ += "null"; break;
            case 1: body_.push_back(1); varint(0, 5); json_ += "{\"Ok\":"; text(); json_ += '}'; break;
            case 2: body_.push_back(1); varint(1, 5); varint(0, 5); json_ += "{\"Err\":\"Timeout\"}"; break;
            case 3: body_.push_back(1); varint(1, 5); varint(1, 5); json_ += "{\"Err\":\"AuthOrRefused\"}"; break;
            default:
                body_.push_back(1);
                varint(1, 5);
                varint(2, 5);
                json_ += "{\"Err\":{\"Other\":";
                text();
                json_ += "}}";
        }
        json_ += ",\"available_network_connections\":";
        sequence([&] {
            json_ += "{\"ssid\":";
            text();
            const std::uint8_t strength = in_.byte();
            body_.push_back(strength);
            json_ += ",\"strength\":" + std::to_string(strength) + '}';
        });
        json_ += ",\"built_in_test\":{";
        static const char* const groups[] = {"power", "wifi", "lidar", "imu", "encoders"};
        static const char* const results[] = {"Waiting", "Pass", "Fail"};
        for (int g = 0; g < 5; ++g) {
            if (g) json_ += ',';
            json_ += '"';
            json_ += groups[g];
            json_ += "\":";
            sequence([&] {
                json_ += "{\"name\":";
                text();
                const int r = in_.byte() % 3;
                varint(static_cast<std::uint64_t>(r), 5);
                json_ += ",\"result\":\"";
                json_ += results[r];
                json_ += "\"}";
            });
        }
        json_ += "}}}";
    }

    Input& in_;
    Buffer body_;
    std::string json_;
};

}  // namespace fuzzgen
