#pragma once
// Every name the message declarations give (record fields, family and enum
// variants), laid out in one table: the types that declare names, reached
// from the two message families, each own a run of the table in declaration
// order. A module holds the table's names as str objects of its own
// interpreter, so a conversion finds a type's names at a fixed offset.
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "messages/declare.hpp"
#include "messages/device_message.hpp"
#include "messages/host_message.hpp"

namespace plim::python {

template <class... T>
struct TypeList {};

template <class T>
concept Named = Struct<T> || Family<T> || Enumeration<T>;

namespace name_table_detail {

template <class T>
struct Parts {
    using type = TypeList<>;
};
template <class T>
struct Parts<std::optional<T>> {
    using type = TypeList<T>;
};
template <class T>
struct Parts<std::vector<T>> {
    using type = TypeList<T>;
};
template <class T>
struct Parts<std::unique_ptr<T>> {
    using type = TypeList<T>;
};
template <class... T>
struct Parts<std::variant<T...>> {
    using type = TypeList<T...>;
};
template <Record R, class Indices>
struct FieldTypes;
template <Record R, std::size_t... I>
struct FieldTypes<R, std::index_sequence<I...>> {
    using type = TypeList<field_type<R, I>...>;
};
template <Record R>
struct Parts<R> {
    using type = typename FieldTypes<R, std::make_index_sequence<field_count<R>>>::type;
};

template <class T, class List>
inline constexpr bool listed = false;
template <class T, class... U>
inline constexpr bool listed<T, TypeList<U...>> = (std::is_same_v<T, U> || ...);

template <class List, class T>
struct Reach;
template <class List, class Pending>
struct ReachAll;

template <class List>
struct ReachAll<List, TypeList<>> {
    using type = List;
};
template <class List, class First, class... Rest>
struct ReachAll<List, TypeList<First, Rest...>> {
    using type = typename ReachAll<typename Reach<List, First>::type, TypeList<Rest...>>::type;
};

template <class List, class T>
struct Append {
    using type = List;
};
template <Named T, class... U>
struct Append<TypeList<U...>, T> {
    using type = TypeList<U..., T>;
};

// A named type is listed before its parts are walked, so each is listed once.
template <class List, class T>
struct Reach {
    using type = typename std::conditional_t<listed<T, List>, std::type_identity<List>,
                                    ReachAll<typename Append<List, T>::type, typename Parts<T>::type>>::type;
};

template <class... T>
constexpr std::size_t total_names(TypeList<T...>) {
    return (std::size_t{0} + ... + declared_names<T>().size());
}

template <class T, class... U>
constexpr std::size_t offset_of(TypeList<U...>) {
    std::size_t offset = 0;
    bool found = false;
    ((found = found || std::is_same_v<T, U>, offset += found ? 0 : declared_names<U>().size()), ...);
    return offset;
}

template <class... T>
constexpr auto all_names(TypeList<T...>) {
    std::array<std::string_view, total_names(TypeList<T...>{})> out{};
    std::size_t next = 0;
    (
        [&] {
            for (const JsonName& name : declared_names<T>()) out[next++] = name.view();
        }(),
        ...);
    return out;
}

}  // namespace name_table_detail

using NamedTypes = name_table_detail::ReachAll<TypeList<>, TypeList<host::HostMessage, device::DeviceMessage>>::type;

inline constexpr auto NAME_TEXTS = name_table_detail::all_names(NamedTypes{});
inline constexpr std::size_t NAME_COUNT = NAME_TEXTS.size();

// Where the names of `T` start in the table.
template <Named T>
    requires name_table_detail::listed<T, NamedTypes>
inline constexpr std::size_t NAME_OFFSET = name_table_detail::offset_of<T>(NamedTypes{});

}  // namespace plim::python
