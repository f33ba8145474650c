#pragma once
// Errors the link engine hands out from poll_receive.
#include <cstddef>
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
    // ReceiveOverflow: the frame lost its beginning when the full receive
    // buffer dropped bytes; only the engine's reporting mode hands it out.
    enum class Kind : std::uint8_t { Decode, Cobs, FrameTooShort, VersionMismatch, ReceiveOverflow };
    Kind kind = Kind::FrameTooShort;
    PostcardError decode_error = PostcardError::EndOfInput;  // meaningful for Decode
    VersionMismatch mismatch{};                               // meaningful for VersionMismatch
    std::size_t dropped_bytes = 0;                            // meaningful for ReceiveOverflow
};

std::string link_error_text(const LinkError& error);

}  // namespace plim
