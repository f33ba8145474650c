#pragma once
// The compact JSON form of a value, walked from the declarations: a struct
// record as an object with every member in declaration order, a newtype as
// its value, a unit variant or enum value as its name, any other variant as
// a one-member object named after it, an absent option as null.
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "json/writer.hpp"
#include "messages/declare.hpp"

namespace plim::json_form {

template <class T>
void write(JsonWriter& w, const T& value) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        w.u8(value);
    } else if constexpr (std::is_same_v<T, float>) {
        w.f32(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        w.string(value);
    } else if constexpr (is_optional<T>) {
        if (value) {
            write(w, *value);
        } else {
            w.null();
        }
    } else if constexpr (is_vector<T>) {
        w.begin_array();
        for (const auto& item : value) write(w, item);
        w.end_array();
    } else if constexpr (is_box<T>) {
        // Decoding always fills the box; a hand-built empty one is written as
        // the record's defaults rather than dereferenced.
        if (value) {
            write(w, *value);
        } else {
            write(w, typename T::element_type{});
        }
    } else if constexpr (Enumeration<T>) {
        const auto index = static_cast<std::size_t>(value);
        constexpr auto& names = Declare<T>::variants;
        // Decoding admits only declared values.
        w.string(index < names.size() ? names[index].view() : names[0].view());
    } else if constexpr (Family<T>) {
        with_alternative<T>(value.index(), [&](auto i) {
            using Alternative = std::variant_alternative_t<i, T>;
            constexpr JsonName name = Declare<T>::variants[i];
            if constexpr (Unit<Alternative>) {
                w.string(name.view());
            } else {
                w.begin_object();
                w.key(name);
                write(w, *std::get_if<i>(&value));
                w.end_object();
            }
        });
    } else if constexpr (Newtype<T>) {
        write(w, value.*field_at<T, 0>.member);
    } else {
        static_assert(Struct<T>, "a JSON value must be declared");
        w.begin_object();
        for_each_field<T>([&](auto i) {
            w.key(field_at<T, i>.name);
            write(w, value.*field_at<T, i>.member);
        });
        w.end_object();
    }
}

}  // namespace plim::json_form
