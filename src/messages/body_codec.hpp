#pragma once
// Message bodies in both directions, walked from the declarations: fields in
// declaration order, a family as its discriminant (a varint) then the
// alternative, an option as a tag byte then the value, a sequence as its
// count then its elements. Reading stops at the first failure, and the
// caller drops whatever was built.
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "link/body_reader.hpp"
#include "link/body_writer.hpp"
#include "messages/declare.hpp"

namespace plim::body {

template <class T>
Decoded<void> read(BodyReader& reader, T& out);

// A discriminant no greater than `last`.
inline Decoded<std::uint32_t> read_discriminant(BodyReader& reader, std::uint32_t last) noexcept {
    const Decoded<std::uint32_t> value = reader.read_varint32();
    if (value && *value > last) return std::unexpected(PostcardError::DeserializeFailed);
    return value;
}

// A record made of fixed-size fields, after its length has been checked.
template <class T>
void take_fixed(BodyReader& reader, T& out) noexcept {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        out = reader.take_u8();
    } else if constexpr (std::is_same_v<T, float>) {
        out = reader.take_f32();
    } else {
        for_each_field<T>([&](auto i) { take_fixed(reader, out.*field_at<T, i>.member); });
    }
}

template <class T>
Decoded<void> read_sequence(BodyReader& reader, std::vector<T>& out) {
    const Decoded<std::uint64_t> count = reader.read_varint64();
    if (!count) return std::unexpected(count.error());
    if constexpr (constexpr std::size_t size = fixed_wire_size<T>(); size != 0) {
        // Elements of fixed size can only fail by running out of body, so a
        // count that the body cannot hold fails at once, and one it can hold
        // is read without further checks.
        if (*count > reader.remaining() / size) return std::unexpected(PostcardError::EndOfInput);
        out.resize(static_cast<std::size_t>(*count));
        for (T& item : out) take_fixed(reader, item);
    } else {
        // Storage is reserved only within the bound the count can honestly
        // claim; beyond it the vector grows as elements actually arrive.
        out.reserve(sequence_reserve(*count, reader.remaining(), sizeof(T)));
        for (std::uint64_t i = 0; i < *count; ++i) {
            Decoded<void> item = read(reader, out.emplace_back());
            if (!item) return item;
        }
    }
    return {};
}

// The alternative `index` of a family, whose discriminant has been checked.
template <class F, std::size_t I = 0>
Decoded<void> read_alternative(BodyReader& reader, F& out, std::uint32_t index) {
    if constexpr (I + 1 < variant_count<F>) {
        if (index != I) return read_alternative<F, I + 1>(reader, out, index);
    }
    return read(reader, out.template emplace<I>());
}

// The fields of a record from field I on, in order.
template <class R, std::size_t I = 0>
Decoded<void> read_fields(BodyReader& reader, R& out) {
    if constexpr (I == field_count<R>) {
        return {};
    } else {
        const Decoded<void> field = read(reader, out.*field_at<R, I>.member);
        if (!field) return field;
        return read_fields<R, I + 1>(reader, out);
    }
}

template <class T>
Decoded<void> read(BodyReader& reader, T& out) {
    if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, float> || std::is_same_v<T, std::string>) {
        Decoded<T> value;
        if constexpr (std::is_same_v<T, std::uint8_t>) {
            value = reader.read_u8();
        } else if constexpr (std::is_same_v<T, float>) {
            value = reader.read_f32();
        } else {
            value = reader.read_text();
        }
        if (!value) return std::unexpected(value.error());
        out = std::move(*value);
        return {};
    } else if constexpr (is_optional<T>) {
        const Decoded<bool> present = reader.read_option_tag();
        if (!present) return std::unexpected(present.error());
        if (!*present) return {};
        return read(reader, out.emplace());
    } else if constexpr (is_vector<T>) {
        return read_sequence(reader, out);
    } else if constexpr (is_box<T>) {
        out = std::make_unique<typename T::element_type>();
        return read(reader, *out);
    } else if constexpr (Enumeration<T>) {
        const Decoded<std::uint32_t> index = read_discriminant(reader, Declare<T>::variants.size() - 1);
        if (!index) return std::unexpected(index.error());
        out = static_cast<T>(*index);
        return {};
    } else if constexpr (Family<T>) {
        const Decoded<std::uint32_t> index = read_discriminant(reader, variant_count<T> - 1);
        if (!index) return std::unexpected(index.error());
        return read_alternative(reader, out, *index);
    } else if constexpr (Unit<T>) {
        return {};
    } else if constexpr (constexpr std::size_t size = fixed_wire_size<T>(); size != 0) {
        // Drive and IMU records come many times a second, and the only way
        // for their reads to fail is the end of the body: one check covers all.
        if (reader.remaining() < size) return std::unexpected(PostcardError::EndOfInput);
        take_fixed(reader, out);
        return {};
    } else {
        static_assert(Record<T>, "a body value must be declared");
        return read_fields(reader, out);
    }
}

constexpr std::size_t varint_size(std::uint64_t value) noexcept {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

// The bytes write() appends for the value, so a large body is built in one
// allocation.
template <class T>
std::size_t encoded_size(const T& value) {
    if constexpr (constexpr std::size_t size = fixed_wire_size<T>(); size != 0) {
        return size;
    } else if constexpr (std::is_same_v<T, std::string>) {
        return varint_size(value.size()) + value.size();
    } else if constexpr (is_optional<T>) {
        return 1 + (value ? encoded_size(*value) : 0);
    } else if constexpr (is_vector<T>) {
        std::size_t size = varint_size(value.size());
        for (const auto& item : value) size += encoded_size(item);
        return size;
    } else if constexpr (is_box<T>) {
        return value ? encoded_size(*value) : encoded_size(typename T::element_type{});
    } else if constexpr (Enumeration<T>) {
        return varint_size(static_cast<std::uint64_t>(value));
    } else if constexpr (Family<T>) {
        return 1 + std::visit([](const auto& alternative) { return encoded_size(alternative); }, value);
    } else if constexpr (Unit<T>) {
        return 0;
    } else {
        std::size_t size = 0;
        for_each_field<T>([&](auto i) { size += encoded_size(value.*field_at<T, i>.member); });
        return size;
    }
}

template <class T>
void write(Bytes& out, const T& value) {
    if constexpr (std::is_same_v<T, std::uint8_t>) {
        put_u8(out, value);
    } else if constexpr (std::is_same_v<T, float>) {
        put_f32(out, value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        put_text(out, value);
    } else if constexpr (is_optional<T>) {
        put_u8(out, value ? 1 : 0);
        if (value) write(out, *value);
    } else if constexpr (is_vector<T>) {
        put_varint(out, value.size());
        for (const auto& item : value) write(out, item);
    } else if constexpr (is_box<T>) {
        // A box is filled whenever a message is decoded; an empty one (built
        // by hand) stands for the record's defaults.
        if (value) {
            write(out, *value);
        } else {
            write(out, typename T::element_type{});
        }
    } else if constexpr (Enumeration<T>) {
        put_varint(out, static_cast<std::uint64_t>(value));
    } else if constexpr (Family<T>) {
        // Every family has fewer than 128 variants, so the varint is one byte.
        static_assert(variant_count<T> < 0x80);
        put_u8(out, static_cast<std::uint8_t>(value.index()));
        with_alternative<T>(value.index(), [&](auto i) { write(out, *std::get_if<i>(&value)); });
    } else if constexpr (Unit<T>) {
    } else {
        static_assert(Record<T>, "a body value must be declared");
        for_each_field<T>([&](auto i) { write(out, value.*field_at<T, i>.member); });
    }
}

}  // namespace plim::body
