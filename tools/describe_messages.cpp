// Writes the message declarations as one JSON document on standard output,
// for tools/generate_messages.py, which turns it into the JSON Schemas and
// the Python message types. Walking the same declarations as the codecs is
// what keeps those files in step with the module.
//
// A type is "u8", "f32", "text", "unit", {"optional": T}, {"sequence": T},
// {"record": NAME}, {"family": NAME} or {"enum": NAME}; a newtype record is
// written as the type of its value. Besides the two message families, the
// document has a table each of the records, families and enums they reach,
// every entry after the entries it refers to; and the wire constants the
// Python side must agree on.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "link/frame.hpp"
#include "link/rx_buffer.hpp"
#include "link/version.hpp"
#include "messages/device_message.hpp"
#include "messages/host_message.hpp"

namespace {

using namespace plim;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

// The tables, each a list of `"NAME":{...}` members.
struct Tables {
    std::vector<std::string_view> seen;
    std::string records, families, enums;

    bool first_visit(std::string_view name) {
        for (std::string_view known : seen) {
            if (known == name) return false;
        }
        seen.push_back(name);
        return true;
    }
    static void add(std::string& table, std::string_view name, const std::string& entry) {
        if (!table.empty()) table += ',';
        table += quoted(name) + ':' + entry;
    }
};

template <class T>
std::string doc_member() {
    if constexpr (requires { Declare<T>::doc; }) {
        return ",\"doc\":" + quoted(Declare<T>::doc);
    } else {
        return "";
    }
}

template <class T>
std::string describe(Tables& tables);

template <class F>
std::string describe_family(Tables& tables) {
    if (tables.first_visit(Declare<F>::name)) {
        std::string variants;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((variants += (I == 0 ? "" : ",") + std::string("{\"name\":") +
                          quoted(Declare<F>::variants[I].view()) + ",\"type\":" +
                          describe<std::variant_alternative_t<I, F>>(tables) +
                          doc_member<std::variant_alternative_t<I, F>>() + '}'),
             ...);
        }(std::make_index_sequence<variant_count<F>>{});
        Tables::add(tables.families, Declare<F>::name, "{\"variants\":[" + variants + "]" + doc_member<F>() + '}');
    }
    return "{\"family\":" + quoted(Declare<F>::name) + '}';
}

template <class R>
std::string describe_record(Tables& tables) {
    if (tables.first_visit(Declare<R>::name)) {
        std::string fields;
        for_each_field<R>([&](auto i) {
            if (i > 0) fields += ',';
            fields += "{\"name\":" + quoted(field_at<R, i>.name.view()) +
                      ",\"type\":" + describe<field_type<R, i>>(tables) + '}';
        });
        Tables::add(tables.records, Declare<R>::name, "{\"fields\":[" + fields + "]" + doc_member<R>() + '}');
    }
    return "{\"record\":" + quoted(Declare<R>::name) + '}';
}

template <class T>
std::string describe(Tables& tables) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        return "\"u8\"";
    } else if constexpr (std::is_same_v<T, float>) {
        return "\"f32\"";
    } else if constexpr (std::is_same_v<T, std::string>) {
        return "\"text\"";
    } else if constexpr (is_optional<T>) {
        return "{\"optional\":" + describe<typename T::value_type>(tables) + '}';
    } else if constexpr (is_vector<T>) {
        return "{\"sequence\":" + describe<typename T::value_type>(tables) + '}';
    } else if constexpr (is_box<T>) {
        return describe<typename T::element_type>(tables);
    } else if constexpr (Enumeration<T>) {
        if (tables.first_visit(Declare<T>::name)) {
            std::string names;
            for (const JsonName& name : Declare<T>::variants) names += (names.empty() ? "" : ",") + quoted(name.view());
            Tables::add(tables.enums, Declare<T>::name, "{\"variants\":[" + names + "]}");
        }
        return "{\"enum\":" + quoted(Declare<T>::name) + '}';
    } else if constexpr (Family<T>) {
        return describe_family<T>(tables);
    } else if constexpr (Unit<T>) {
        return "\"unit\"";
    } else if constexpr (Newtype<T>) {
        return describe<field_type<T, 0>>(tables);
    } else {
        static_assert(Struct<T>, "every message value is declared");
        return describe_record<T>(tables);
    }
}

}  // namespace

int main() {
    Tables tables;
    const std::string host = describe<host::HostMessage>(tables);
    const std::string device = describe<device::DeviceMessage>(tables);
    const std::string wire = "{\"max_packet_len\":" + std::to_string(MAX_PACKET_LEN) +
                             ",\"rx_buffer_limit\":" + std::to_string(RX_BUFFER_LIMIT) +
                             ",\"version_header_len\":" + std::to_string(VERSION_HEADER_LEN) + ",\"api_version\":[" +
                             std::to_string(HOST_API_VERSION.major) + ',' + std::to_string(HOST_API_VERSION.minor) +
                             ',' + std::to_string(HOST_API_VERSION.patch) + "]}";
    const std::string text = "{\"host\":" + host + ",\"device\":" + device + ",\"records\":{" + tables.records +
                             "},\"families\":{" + tables.families + "},\"enums\":{" + tables.enums +
                             "},\"wire\":" + wire + "}\n";
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
