#pragma once
// The vocabulary in which each message record, family and enum is declared
// once, beside its C++ type:
//   - a record lists its fields in wire and JSON order, each a name and a
//     member (a newtype record has one unnamed field and stands for it);
//   - a family (a std::variant) or a plain enum lists its variant names in
//     discriminant order;
//   - a record without members is a unit and needs no declaration.
// The body codec, the JSON reader and writer, the error descriptions, the
// Python-object conversion and the generated schemas and Python types all
// walk these declarations at compile time; nothing is looked up at run time.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json/name.hpp"

namespace plim {

// Specialised beside each record, family and enum with
//   static constexpr std::string_view name;
//   static constexpr std::string_view doc;          // optional
//   static constexpr auto fields = std::tuple{...};  // records
//   static constexpr auto variants = names(...);     // families and enums
template <class T>
struct Declare;

template <class Record, class Value>
struct Field {
    using value_type = Value;
    JsonName name;  // empty for the value of a newtype record
    Value Record::*member;
};

template <class Record, class Value, std::size_t N>
consteval Field<Record, Value> field(const char (&name)[N], Value Record::*member) {
    return {JsonName(name), member};
}

template <class Record, class Value>
consteval Field<Record, Value> newtype(Value Record::*member) {
    return {JsonName(), member};
}

template <std::size_t... N>
consteval std::array<JsonName, sizeof...(N)> names(const char (&... text)[N]) {
    return {JsonName(text)...};
}

// ---- what kind of value a type is

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

template <class T>
inline constexpr bool is_vector = false;
template <class T>
inline constexpr bool is_vector<std::vector<T>> = true;

// A record held behind a pointer because of its size; it reads and writes as
// the record itself.
template <class T>
inline constexpr bool is_box = false;
template <class T>
inline constexpr bool is_box<std::unique_ptr<T>> = true;

template <class T>
inline constexpr bool is_variant = false;
template <class... T>
inline constexpr bool is_variant<std::variant<T...>> = true;

template <class T>
concept Unit = std::is_class_v<T> && std::is_empty_v<T>;

template <class T>
concept Record = requires { Declare<T>::fields; };

template <class T>
concept Family = is_variant<T> && requires { Declare<T>::variants; };

template <class T>
concept Enumeration = std::is_enum_v<T> && requires { Declare<T>::variants; };

// ---- records

template <Record R>
inline constexpr std::size_t field_count = std::tuple_size_v<std::remove_cvref_t<decltype(Declare<R>::fields)>>;

template <Record R, std::size_t I>
inline constexpr const auto& field_at = std::get<I>(Declare<R>::fields);

template <Record R, std::size_t I>
using field_type = typename std::remove_cvref_t<decltype(field_at<R, I>)>::value_type;

// A newtype record is written, read and described as its one value.
template <class R>
concept Newtype = Record<R> && field_count<R> == 1 && field_at<R, 0>.name.empty();

template <class R>
concept Struct = Record<R> && !Newtype<R>;

// Calls visit(std::integral_constant<std::size_t, I>{}) for every field in order.
template <Record R, class Visit>
constexpr void for_each_field(Visit&& visit) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (visit(std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<field_count<R>>{});
}

// Calls visit on each field in order while it returns true; returns whether
// every call did.
template <Record R, class Visit>
constexpr bool all_fields(Visit&& visit) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (visit(std::integral_constant<std::size_t, I>{}) && ...);
    }(std::make_index_sequence<field_count<R>>{});
}

// The names a declaration gives: a record's field names, or a family's or
// an enum's variant names, in declaration order.
template <class T>
constexpr auto declared_names() {
    if constexpr (Record<T>) {
        std::array<JsonName, field_count<T>> names{};
        for_each_field<T>([&](auto i) { names[i] = field_at<T, i>.name; });
        return names;
    } else {
        return Declare<T>::variants;
    }
}

template <std::size_t N>
constexpr std::array<std::string_view, N> name_views(const std::array<JsonName, N>& names) {
    std::array<std::string_view, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = names[i].view();
    return out;
}

// ---- families

template <Family F>
inline constexpr std::size_t variant_count = std::variant_size_v<F>;

// Calls visit(std::integral_constant<std::size_t, I>{}) for the alternative
// whose index is `index`; nothing when there is none.
template <Family F, class Visit>
constexpr void with_alternative(std::size_t index, Visit&& visit) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (void)((index == I ? (visit(std::integral_constant<std::size_t, I>{}), true) : false) || ...);
    }(std::make_index_sequence<variant_count<F>>{});
}

// The bytes a value always takes in a body, or 0 when that depends on the
// value. Records made of fixed-size fields are read with one length check.
template <class T>
constexpr std::size_t fixed_wire_size() {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        return 1;
    } else if constexpr (std::is_same_v<T, float>) {
        return 4;
    } else if constexpr (Record<T>) {
        std::size_t total = 0;
        bool fixed = true;
        for_each_field<T>([&](auto i) {
            const std::size_t size = fixed_wire_size<field_type<T, i>>();
            fixed = fixed && size != 0;
            total += size;
        });
        return fixed ? total : 0;
    } else {
        return 0;
    }
}

}  // namespace plim
