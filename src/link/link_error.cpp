#include "link/link_error.hpp"

#include <string_view>

namespace plim {
namespace {

constexpr std::string_view OVERFLOW_BEFORE = "receive buffer overflow: ";
constexpr std::string_view OVERFLOW_AFTER = " bytes dropped before this frame";

}  // namespace

std::string link_error_text(const LinkError& error) {
    switch (error.kind) {
        case LinkError::Kind::Decode: {
            std::string text = "message decode failed: ";
            text += postcard_error_text(error.decode_error);
            return text;
        }
        case LinkError::Kind::Cobs:
            return "Cobs pack/unpack failed";
        case LinkError::Kind::FrameTooShort:
            return "Message frame too short to contain a version header";
        case LinkError::Kind::VersionMismatch: {
            const VersionMismatch& m = error.mismatch;
            std::string text = "plim-api version mismatch: ";
            text += side_word(m.local_side);
            text += " is v";
            text += version_text(m.local_version);
            text += ", ";
            text += side_word(m.peer_side);
            text += " is v";
            text += version_text(m.peer_version);
            text += " \u2014 update ";
            text += side_word(m.outdated_side);
            text += " to a compatible version";
            return text;
        }
        case LinkError::Kind::ReceiveOverflow: {
            std::string text(OVERFLOW_BEFORE);
            text += std::to_string(error.dropped_bytes);
            text += OVERFLOW_AFTER;
            return text;
        }
    }
    return {};
}

}  // namespace plim
