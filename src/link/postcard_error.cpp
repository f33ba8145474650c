#include "link/postcard_error.hpp"

#include <array>

namespace plim {

namespace {
constexpr std::array<std::string_view, 16> kTexts = {
    "This is a feature that PostCard will never implement",
    "This is a feature that Postcard intends to support, but does not yet",
    "The serialize buffer is full",
    "The length of a sequence must be known",
    "Hit the end of buffer, expected more data",
    "Found a varint that didn't terminate. Is the usize too big for this platform?",
    "Found a bool that wasn't 0 or 1",
    "Found an invalid unicode char",
    "Tried to parse invalid utf-8",
    "Found an Option discriminant that wasn't 0 or 1",
    "Found an enum discriminant that was > u32::max_value()",
    "The original data was not well encoded",
    "Bad CRC while deserializing",
    "Serde Serialization Error",
    "Serde Deserialization Error",
    "Error while processing `collect_str` during serialization",
};
}  // namespace

std::string_view postcard_error_text(PostcardError error) noexcept {
    const auto index = static_cast<std::size_t>(error);
    return index < kTexts.size() ? kTexts[index] : std::string_view{};
}

}  // namespace plim
