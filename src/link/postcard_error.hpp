#pragma once
// The body codec's error kinds. The numbering is part of the protocol's error
// vocabulary, so the enumerators keep their order even where the message set
// never raises a kind.
#include <cstdint>
#include <string_view>

namespace plim {

enum class PostcardError : std::uint8_t {
    NeverSupported = 0,
    NotYetSupported = 1,
    OutputBufferFull = 2,
    SequenceLengthRequired = 3,
    EndOfInput = 4,
    VarintTooLong = 5,
    InvalidBool = 6,
    InvalidChar = 7,
    InvalidUtf8 = 8,
    InvalidOptionTag = 9,
    EnumTagTooLarge = 10,
    BadlyEncoded = 11,
    ChecksumMismatch = 12,
    SerializeFailed = 13,
    DeserializeFailed = 14,
    CollectStrFailed = 15,
};

std::string_view postcard_error_text(PostcardError error) noexcept;

}  // namespace plim
