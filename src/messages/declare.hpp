#pragma once
// The vocabulary in which each message record, family and enum is declared
// once, beside its C++ type:
//   - a record lists its fields in wire and JSON order, each a name and a
//     member (a newtype record has one unnamed field and stands for it);
//   - a family (a std::variant) names each alternative, in discriminant
//     order, and a plain enum names its enumerators by their own identifiers;
//     both are checked when compiled, so a name that is missing, extra or
//     misplaced stops the build with a message saying which;
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
//   static constexpr std::string_view doc;                        // optional
//   static constexpr auto fields = std::tuple{field(...), ...};  // records
//   static constexpr auto variants = variant_names<F>(named<A>("A"), ...);  // families
//   static constexpr auto variants = enumerator_names<E, "A", ...>;        // enums
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

// ---- variant names, checked against what they name when they are compiled

// A family's variant name together with the alternative it names, so that a
// name cannot slip onto a neighbour.
template <class Alternative>
struct Named {
    JsonName name;
};

template <class Alternative, std::size_t N>
consteval Named<Alternative> named(const char (&name)[N]) {
    return Named<Alternative>{JsonName(name)};
}

// Instantiated for every position, so a failure names the family, the
// position and both types.
template <class Family, std::size_t Position, class NamedAlternative, class AlternativeAtPosition>
struct VariantNameAt {
    static_assert(std::is_same_v<NamedAlternative, AlternativeAtPosition>,
                  "variant name is misplaced: it is paired with another alternative than the one at its position");
    static constexpr bool ok = true;
};

template <class F, class... A>
consteval std::array<JsonName, sizeof...(A)> variant_names(Named<A>... names) {
    constexpr std::size_t alternatives = std::variant_size_v<F>;
    static_assert(sizeof...(A) >= alternatives, "variant name is missing: the family has an alternative without one");
    static_assert(sizeof...(A) <= alternatives, "variant name is extra: the family has fewer alternatives");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        using Types = std::tuple<A...>;
        // A name past the last alternative is reported as extra above, not here.
        static_assert((VariantNameAt<F, I, std::tuple_element_t<I, Types>,
                                     std::conditional_t<(I < alternatives),
                                                        std::variant_alternative_t<(I < alternatives ? I : 0), F>,
                                                        std::tuple_element_t<I, Types>>>::ok &&
                       ...));
    }(std::make_index_sequence<sizeof...(A)>{});
    return {names.name...};
}

// An enum's names are its enumerators' own identifiers. The compiler spells
// the identifier of a value in a template's signature ("... V = ns::E::Name]"),
// or a cast ("(ns::E)3") for a value that has none.
template <auto V>
consteval std::string_view enumerator_identifier() {
    std::string_view text = __PRETTY_FUNCTION__;
    text = text.substr(text.find("V = ") + 4);
    text = text.substr(0, text.find_first_of(";]"));
    if (text.starts_with('(')) return {};
    return text.substr(text.rfind(':') + 1);
}

// A name as a template argument, so a failed check prints it.
template <std::size_t N>
struct Text {
    char chars[N];
    // Implicit, so that a name is written as a plain literal.
    consteval Text(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
};

template <class Enum, std::size_t Position, Text Name>
struct EnumeratorNameAt {
    static constexpr std::string_view identifier = enumerator_identifier<static_cast<Enum>(Position)>();
    static_assert(!identifier.empty(), "enum name is extra: no enumerator has its position as value");
    static_assert(identifier.empty() || identifier == std::string_view(Name.chars),
                  "enum name is misplaced: the enumerator with its position as value has another identifier");
    static constexpr bool ok = true;
};

// Values past the last name are checked up to the one-byte discriminants.
inline constexpr std::size_t ENUMERATOR_SCAN = 128;

template <class Enum, std::size_t Count>
consteval bool named_values_end() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (enumerator_identifier<static_cast<Enum>(Count + I)>().empty() && ...);
    }(std::make_index_sequence<(Count < ENUMERATOR_SCAN ? ENUMERATOR_SCAN - Count : 0)>{});
}

template <class Enum, Text... Names>
consteval std::array<JsonName, sizeof...(Names)> checked_enumerator_names() {
    static_assert(named_values_end<Enum, sizeof...(Names)>(),
                  "enum name is missing: an enumerator past the last name has no name");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        static_assert((EnumeratorNameAt<Enum, I, Names>::ok && ...));
    }(std::make_index_sequence<sizeof...(Names)>{});
    return {JsonName(Names.chars)...};
}

template <class Enum, Text... Names>
inline constexpr std::array<JsonName, sizeof...(Names)> enumerator_names = checked_enumerator_names<Enum, Names...>();

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
