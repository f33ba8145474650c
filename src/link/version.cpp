#include "link/version.hpp"

#include <tuple>

namespace plim {

std::string_view side_word(Side side) noexcept { return side == Side::Host ? "host" : "plim"; }

std::string version_text(ApiVersion version) {
    std::string text = std::to_string(version.major);
    text += '.';
    text += std::to_string(version.minor);
    text += '.';
    text += std::to_string(version.patch);
    return text;
}

bool is_compatible(ApiVersion local, ApiVersion peer) noexcept {
    if (local.major != peer.major) return false;
    if (local.major == 0 && local.minor != peer.minor) return false;
    if (local.major == 0 && local.minor == 0 && local.patch != peer.patch) return false;
    return true;
}

Side outdated_side(ApiVersion local, ApiVersion peer) noexcept {
    const auto key = [](ApiVersion v) { return std::tuple(v.major, v.minor, v.patch); };
    return key(peer) > key(local) ? Side::Host : Side::Plim;
}

}  // namespace plim
