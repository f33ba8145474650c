#pragma once
// plim-api versions carried in every frame header, and the caret-style
// compatibility rule between the host and the plim.
#include <cstdint>
#include <string>
#include <string_view>

namespace plim {

struct ApiVersion {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t patch = 0;
    friend bool operator==(const ApiVersion&, const ApiVersion&) = default;
};

inline constexpr ApiVersion HOST_API_VERSION{0, 2, 0};

enum class Side : std::uint8_t { Plim = 0, Host = 1 };

std::string_view side_word(Side side) noexcept;

// "0.2.0": decimal fields without leading zeros.
std::string version_text(ApiVersion version);

bool is_compatible(ApiVersion local, ApiVersion peer) noexcept;

// The side whose version is lower is the one to update; equal versions never
// reach this (they are compatible), so ties name the plim.
Side outdated_side(ApiVersion local, ApiVersion peer) noexcept;

}  // namespace plim
