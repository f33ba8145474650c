#pragma once
// Byte strings as the link moves them: owned packets and frames, and views into them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plim {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace plim
