// Reading a host message from its JSON text: the variant-tagging outer
// object (or bare variant name), then the record in object or array form.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "json/describe.hpp"
#include "json/number_reader.hpp"
#include "json/reader.hpp"
#include "json/skip.hpp"
#include "json/string_reader.hpp"
#include "json/texts.hpp"
#include "messages/host_message.hpp"

namespace plim::host {

namespace {

using json::Reader;

constexpr std::array<std::string_view, 6> VARIANT_NAMES = {
    "Ping", "Pong", "RequestNetworkScan", "SetNetworkConnectionConfig", "SetUid", "SetDriveBaseVelocity"};
constexpr std::size_t FIRST_PAYLOAD_VARIANT = 3;

constexpr std::string_view UNIT_VARIANT_AS_NEWTYPE = "invalid type: unit variant, expected newtype variant";

// Index into VARIANT_NAMES, or -1.
int find_name(std::span<const std::string_view> names, std::string_view name) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

bool refuse_unknown_variant(Reader& r, std::string_view name) {
    std::string text = "unknown variant `";
    text += name;
    text += "`, expected ";
    text += json::expected_one_of(VARIANT_NAMES);
    return r.fail_offset(r.pos, text);
}

// Field readers: the cursor stands where the value must start.

bool read_text(Reader& r, std::string& out) {
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (*r.pos != '"') return json::refuse_invalid_type(r, "a string");
    std::string scratch;
    std::string_view value;
    if (!json::read_string(r, scratch, value)) return false;
    if (value.data() == scratch.data()) {
        out = std::move(scratch);
    } else {
        out.assign(value);
    }
    return true;
}

bool read_f32(Reader& r, float& out) {
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (json::value_start(*r.pos) != json::ValueStart::Number) return json::refuse_invalid_type(r, "f32");
    json::Number n;
    if (!json::read_number(r, n)) return false;
    out = json::to_f32(n);
    return true;
}

// What the reader needs to know of each payload record.
template <class Record>
struct Shape;

template <>
struct Shape<SetNetworkConnectionConfig> {
    static constexpr std::string_view expected = "struct SetNetworkConnectionConfig";
    static constexpr std::string_view length_expected = "struct SetNetworkConnectionConfig with 2 elements";
    static constexpr std::array<std::string_view, 2> fields = {"ssid", "password"};
    static bool read_field(Reader& r, SetNetworkConnectionConfig& record, std::size_t i) {
        return read_text(r, i == 0 ? record.ssid : record.password);
    }
};

template <>
struct Shape<SetUid> {
    static constexpr std::string_view expected = "struct SetUid";
    static constexpr std::string_view length_expected = "struct SetUid with 1 element";
    static constexpr std::array<std::string_view, 1> fields = {"uid"};
    static bool read_field(Reader& r, SetUid& record, std::size_t) { return read_text(r, record.uid); }
};

template <>
struct Shape<SetDriveBaseVelocity> {
    static constexpr std::string_view expected = "struct SetDriveBaseVelocity";
    static constexpr std::string_view length_expected = "struct SetDriveBaseVelocity with 2 elements";
    static constexpr std::array<std::string_view, 2> fields = {"left_velocity_rad_per_s",
                                                               "right_velocity_rad_per_s"};
    static bool read_field(Reader& r, SetDriveBaseVelocity& record, std::size_t i) {
        return read_f32(r, i == 0 ? record.left_velocity_rad_per_s : record.right_velocity_rad_per_s);
    }
};

std::string field_text(std::string_view what, std::string_view field) {
    std::string text(what);
    text += " `";
    text += field;
    text += '`';
    return text;
}

// The cursor stands on the opening brace.
template <class Record>
bool read_record_object(Reader& r, Record& record) {
    using S = Shape<Record>;
    std::array<bool, S::fields.size()> seen{};
    ++r.pos;
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
    if (*r.pos == '}') {
        ++r.pos;
    } else {
        if (*r.pos != '"') return r.fail_at(r.pos, json_text::KEY_MUST_BE_A_STRING);
        std::string scratch;
        for (;;) {
            std::string_view key;
            if (!json::read_string(r, scratch, key)) return false;
            const int index = find_name(S::fields, key);
            r.skip_whitespace();
            if (index >= 0 && seen[static_cast<std::size_t>(index)]) {
                return r.fail_offset(r.pos, field_text("duplicate field", key));
            }
            if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
            if (*r.pos != ':') return r.fail_at(r.pos, json_text::EXPECTED_COLON);
            ++r.pos;
            r.skip_whitespace();
            if (index >= 0) {
                if (!S::read_field(r, record, static_cast<std::size_t>(index))) return false;
                seen[static_cast<std::size_t>(index)] = true;
            } else if (!json::skip_value(r)) {
                return false;
            }
            r.skip_whitespace();
            if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
            if (*r.pos == '}') {
                ++r.pos;
                break;
            }
            if (*r.pos != ',') return r.fail_at(r.pos, json_text::EXPECTED_OBJECT_COMMA_OR_END);
            ++r.pos;
            r.skip_whitespace();
            if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
            if (*r.pos == '}') return r.fail_at(r.pos, json_text::TRAILING_COMMA);
            if (*r.pos != '"') return r.fail_at(r.pos, json_text::KEY_MUST_BE_A_STRING);
        }
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) return r.fail_offset(r.pos, field_text("missing field", S::fields[i]));
    }
    return true;
}

// The cursor stands on the opening bracket.
template <class Record>
bool read_record_array(Reader& r, Record& record) {
    using S = Shape<Record>;
    ++r.pos;
    r.skip_whitespace();
    for (std::size_t i = 0; i < S::fields.size(); ++i) {
        if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
        if (*r.pos == ']') {
            ++r.pos;
            return r.fail_offset(r.pos, "invalid length " + std::to_string(i) + ", expected " +
                                            std::string(S::length_expected));
        }
        if (i > 0) {
            if (*r.pos != ',') return r.fail_at(r.pos, json_text::EXPECTED_LIST_COMMA_OR_END);
            ++r.pos;
            r.skip_whitespace();
            if (!r.at_end() && *r.pos == ']') return r.fail_at(r.pos, json_text::TRAILING_COMMA);
        }
        if (!S::read_field(r, record, i)) return false;
        r.skip_whitespace();
    }
    // After the last field only the closing bracket may come.
    if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
    if (*r.pos == ']') {
        ++r.pos;
        return true;
    }
    if (*r.pos == ',') {
        ++r.pos;
        r.skip_whitespace();
        if (r.at_end()) return r.fail_end(json_text::TRAILING_CHARACTERS);
        if (*r.pos == ']') return r.fail_at(r.pos, json_text::TRAILING_COMMA);
    }
    return r.fail_at(r.pos, json_text::TRAILING_CHARACTERS);
}

template <class Record>
bool read_record(Reader& r, HostMessage& out) {
    Record record;
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    bool ok;
    if (*r.pos == '{') {
        ok = read_record_object(r, record);
    } else if (*r.pos == '[') {
        ok = read_record_array(r, record);
    } else {
        return json::refuse_invalid_type(r, Shape<Record>::expected);
    }
    if (ok) out.emplace<Record>(std::move(record));
    return ok;
}

HostMessage unit_variant(std::size_t index) {
    switch (index) {
        case 0: return Ping{};
        case 1: return Pong{};
        default: return RequestNetworkScan{};
    }
}

// The member value of a variant without payload must be null.
bool read_unit(Reader& r) {
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (*r.pos == 'n') return json::read_literal(r, "null");
    return json::refuse_invalid_type(r, "unit");
}

// Reads a variant name (string form or member key) at the opening quote.
bool read_variant_name(Reader& r, std::size_t& index) {
    std::string scratch;
    std::string_view name;
    if (!json::read_string(r, scratch, name)) return false;
    const int found = find_name(VARIANT_NAMES, name);
    if (found < 0) return refuse_unknown_variant(r, name);
    index = static_cast<std::size_t>(found);
    return true;
}

bool read_tagged_member(Reader& r, HostMessage& out) {
    ++r.pos;
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
    if (*r.pos == '}') return r.fail_at(r.pos, json_text::EXPECTED_VALUE);
    if (*r.pos != '"') return r.fail_at(r.pos, json_text::KEY_MUST_BE_A_STRING);
    std::size_t index;
    if (!read_variant_name(r, index)) return false;
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
    if (*r.pos != ':') return r.fail_at(r.pos, json_text::EXPECTED_COLON);
    ++r.pos;
    r.skip_whitespace();
    bool ok;
    switch (index) {
        case 3: ok = read_record<SetNetworkConnectionConfig>(r, out); break;
        case 4: ok = read_record<SetUid>(r, out); break;
        case 5: ok = read_record<SetDriveBaseVelocity>(r, out); break;
        default:
            ok = read_unit(r);
            if (ok) out = unit_variant(index);
            break;
    }
    if (!ok) return false;
    // The tagging object holds exactly one member.
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
    if (*r.pos != '}') return r.fail_before(r.pos, json_text::EXPECTED_VALUE);
    ++r.pos;
    return true;
}

bool read_message(Reader& r, HostMessage& out) {
    r.skip_whitespace();
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    if (*r.pos == '"') {
        std::size_t index;
        if (!read_variant_name(r, index)) return false;
        if (index >= FIRST_PAYLOAD_VARIANT) return r.fail_unpositioned(UNIT_VARIANT_AS_NEWTYPE);
        out = unit_variant(index);
    } else if (*r.pos == '{') {
        if (!read_tagged_member(r, out)) return false;
    } else {
        return r.fail_at(r.pos, json_text::EXPECTED_VALUE);
    }
    r.skip_whitespace();
    if (!r.at_end()) return r.fail_at(r.pos, json_text::TRAILING_CHARACTERS);
    return true;
}

}  // namespace

JsonResult<HostMessage> parse_host_message(std::string_view json_text) {
    Reader r(json_text);
    HostMessage message;
    if (!read_message(r, message)) return std::unexpected(std::move(r.error));
    return message;
}

}  // namespace plim::host
