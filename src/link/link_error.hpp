#pragma once
// Errors the link engine hands out from poll_receive.
#include <string>

#include "link/postcard_error.hpp"
#include "link/version.hpp"

namespace plim {

struct VersionMismatch {
    Side local_side = Side::Host;
    ApiVersion local_version = HOST_API_VERSION;
    Side peer_side = Side::Plim;
    ApiVersion peer_version{};
    Side outdated_side = Side::Plim;
};

struct LinkError {
    enum class Kind : std::uint8_t { Decode, Cobs, FrameTooShort, VersionMismatch };
    Kind kind = Kind::FrameTooShort;
    PostcardError decode_error = PostcardError::EndOfInput;  // meaningful for Decode
    VersionMismatch mismatch{};                               // meaningful for VersionMismatch
};

std::string link_error_text(const LinkError& error);

}  // namespace plim
