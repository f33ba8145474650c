// Reading a host message from its JSON text: the variant-tagging outer
// object (or bare variant name), then the record in object or array form,
// both walked from the declarations.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

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

// The names as the reader compares and lists them.
template <Record R>
constexpr auto field_names = name_views(declared_names<R>());

constexpr auto VARIANT_NAMES = name_views(declared_names<HostMessage>());

template <std::size_t I>
constexpr bool is_unit_variant = Unit<std::variant_alternative_t<I, HostMessage>>;

constexpr auto UNIT_VARIANTS = [] {
    std::array<bool, variant_count<HostMessage>> out{};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((out[I] = is_unit_variant<I>), ...);
    }(std::make_index_sequence<variant_count<HostMessage>>{});
    return out;
}();

// The message of a variant without payload.
HostMessage unit_message(std::size_t index) {
    HostMessage message;
    with_alternative<HostMessage>(index, [&](auto i) {
        if constexpr (is_unit_variant<i>) message.emplace<i>();
    });
    return message;
}

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

template <class T>
bool read_value(Reader& r, T& out) {
    if constexpr (std::is_same_v<T, std::string>) {
        return read_text(r, out);
    } else {
        static_assert(std::is_same_v<T, float>, "host records hold texts and floats");
        return read_f32(r, out);
    }
}

template <Struct R>
constexpr bool same_field_types = [] {
    bool same = true;
    for_each_field<R>([&](auto i) { same = same && std::is_same_v<field_type<R, i>, field_type<R, 0>>; });
    return same;
}();

// Reads the value of field `index` of the record. Where all fields have one
// type the member is picked first, so a single reader is inlined.
template <Struct R>
bool read_field(Reader& r, R& record, std::size_t index) {
    if constexpr (same_field_types<R>) {
        static constexpr auto members = [] {
            std::array<field_type<R, 0> R::*, field_count<R>> out{};
            for_each_field<R>([&](auto i) { out[i] = field_at<R, i>.member; });
            return out;
        }();
        return read_value(r, record.*members[index]);
    } else {
        bool ok = false;
        for_each_field<R>([&](auto i) {
            if (i == index) ok = read_value(r, record.*field_at<R, i>.member);
        });
        return ok;
    }
}

// "struct SetUid": what a value that is no record was expected to be.
template <Struct R>
[[gnu::cold]] std::string record_expected() {
    return "struct " + std::string(Declare<R>::name);
}

// "struct SetUid with 1 element": what a short array was expected to hold.
template <Struct R>
[[gnu::cold]] std::string record_length_expected() {
    return record_expected<R>() + " with " + std::to_string(field_count<R>) +
           (field_count<R> == 1 ? " element" : " elements");
}

std::string field_text(std::string_view what, std::string_view field) {
    std::string text(what);
    text += " `";
    text += field;
    text += '`';
    return text;
}

// The cursor stands on the opening brace.
template <Struct R>
bool read_record_object(Reader& r, R& record) {
    constexpr auto& fields = field_names<R>;
    std::array<bool, fields.size()> seen{};
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
            const int index = find_name(fields, key);
            r.skip_whitespace();
            if (index >= 0 && seen[static_cast<std::size_t>(index)]) {
                return r.fail_offset(r.pos, field_text("duplicate field", key));
            }
            if (r.at_end()) return r.fail_end(json_text::EOF_OBJECT);
            if (*r.pos != ':') return r.fail_at(r.pos, json_text::EXPECTED_COLON);
            ++r.pos;
            r.skip_whitespace();
            if (index >= 0) {
                if (!read_field(r, record, static_cast<std::size_t>(index))) return false;
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
        if (!seen[i]) return r.fail_offset(r.pos, field_text("missing field", fields[i]));
    }
    return true;
}

// The cursor stands on the opening bracket.
template <Struct R>
bool read_record_array(Reader& r, R& record) {
    ++r.pos;
    r.skip_whitespace();
    for (std::size_t i = 0; i < field_count<R>; ++i) {
        if (r.at_end()) return r.fail_end(json_text::EOF_LIST);
        if (*r.pos == ']') {
            ++r.pos;
            return r.fail_offset(r.pos, "invalid length " + std::to_string(i) + ", expected " +
                                            record_length_expected<R>());
        }
        if (i > 0) {
            if (*r.pos != ',') return r.fail_at(r.pos, json_text::EXPECTED_LIST_COMMA_OR_END);
            ++r.pos;
            r.skip_whitespace();
            if (!r.at_end() && *r.pos == ']') return r.fail_at(r.pos, json_text::TRAILING_COMMA);
        }
        if (!read_field(r, record, i)) return false;
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

template <Struct R>
bool read_record(Reader& r, HostMessage& out) {
    R record;
    if (r.at_end()) return r.fail_end(json_text::EOF_VALUE);
    bool ok;
    if (*r.pos == '{') {
        ok = read_record_object(r, record);
    } else if (*r.pos == '[') {
        ok = read_record_array(r, record);
    } else {
        return json::refuse_invalid_type(r, record_expected<R>());
    }
    if (ok) out.emplace<R>(std::move(record));
    return ok;
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
    bool ok = false;
    if (UNIT_VARIANTS[index]) {
        ok = read_unit(r);
        if (ok) out = unit_message(index);
    } else {
        with_alternative<HostMessage>(index, [&](auto i) {
            if constexpr (!is_unit_variant<i>) ok = read_record<std::variant_alternative_t<i, HostMessage>>(r, out);
        });
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
        if (!UNIT_VARIANTS[index]) return r.fail_unpositioned(json_text::UNIT_VARIANT_AS_NEWTYPE);
        out = unit_message(index);
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
