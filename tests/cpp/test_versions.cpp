#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "link/cobs.hpp"
#include "link/frame.hpp"
#include "link/link_error.hpp"
#include "link/version.hpp"

namespace plim {
namespace {

// Wire frame carrying the given raw header and a one-byte body.
Bytes wire_with_header(std::initializer_list<std::uint8_t> header) {
    Bytes frame(header);
    frame.push_back(0x00);
    Bytes wire(max_encoded_len(frame.size()));
    wire.resize(cobs_encode(frame, wire.data()));
    return wire;
}

struct VerdictCase {
    const char* name;
    Bytes header;
    const char* text;  // nullptr: accepted
};

class VersionVerdict : public testing::TestWithParam<VerdictCase> {};

TEST_P(VersionVerdict, ExactText) {
    const VerdictCase& c = GetParam();
    const Bytes& h = c.header;
    const Bytes wire = wire_with_header({h[0], h[1], h[2], h[3], h[4], h[5]});
    Bytes storage(wire.size());
    const FrameViewOutcome outcome = decode_frame_into(wire, storage.data());
    if (c.text == nullptr) {
        EXPECT_TRUE(std::holds_alternative<ByteView>(outcome));
        return;
    }
    ASSERT_TRUE(std::holds_alternative<LinkError>(outcome));
    const LinkError& error = std::get<LinkError>(outcome);
    EXPECT_EQ(error.kind, LinkError::Kind::VersionMismatch);
    EXPECT_EQ(error.mismatch.local_side, Side::Host);
    EXPECT_EQ(error.mismatch.peer_side, Side::Plim);
    EXPECT_EQ(error.mismatch.local_version, HOST_API_VERSION);
    EXPECT_EQ(link_error_text(error), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionVerdict,
    testing::Values(
        VerdictCase{"v0_2_0", {0, 0, 2, 0, 0, 0}, nullptr},
        VerdictCase{"v0_2_7", {0, 0, 2, 0, 7, 0}, nullptr},
        VerdictCase{"v0_2_65535", {0, 0, 2, 0, 0xFF, 0xFF}, nullptr},
        VerdictCase{"v0_3_1", {0, 0, 3, 0, 1, 0},
                    "plim-api version mismatch: host is v0.2.0, plim is v0.3.1 \xE2\x80\x94 update host to a "
                    "compatible version"},
        VerdictCase{"v0_3_0", {0, 0, 3, 0, 0, 0},
                    "plim-api version mismatch: host is v0.2.0, plim is v0.3.0 \xE2\x80\x94 update host to a "
                    "compatible version"},
        VerdictCase{"v0_1_4", {0, 0, 1, 0, 4, 0},
                    "plim-api version mismatch: host is v0.2.0, plim is v0.1.4 \xE2\x80\x94 update plim to a "
                    "compatible version"},
        VerdictCase{"v1_0_0", {1, 0, 0, 0, 0, 0},
                    "plim-api version mismatch: host is v0.2.0, plim is v1.0.0 \xE2\x80\x94 update host to a "
                    "compatible version"},
        VerdictCase{"v0_0_0", {0, 0, 0, 0, 0, 0},
                    "plim-api version mismatch: host is v0.2.0, plim is v0.0.0 \xE2\x80\x94 update plim to a "
                    "compatible version"},
        VerdictCase{"v0_0_9", {0, 0, 0, 0, 9, 0},
                    "plim-api version mismatch: host is v0.2.0, plim is v0.0.9 \xE2\x80\x94 update plim to a "
                    "compatible version"},
        VerdictCase{"little_endian_fields", {0x0A, 0x00, 0x00, 0x01, 0x05, 0x00},
                    "plim-api version mismatch: host is v0.2.0, plim is v10.256.5 \xE2\x80\x94 update host to a "
                    "compatible version"},
        VerdictCase{"max_fields", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                    "plim-api version mismatch: host is v0.2.0, plim is v65535.65535.65535 \xE2\x80\x94 update "
                    "host to a compatible version"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CompatCase {
    ApiVersion local;
    ApiVersion peer;
    bool compatible;
};

class Compatibility : public testing::TestWithParam<CompatCase> {};

TEST_P(Compatibility, CaretRule) {
    EXPECT_EQ(is_compatible(GetParam().local, GetParam().peer), GetParam().compatible);
}

INSTANTIATE_TEST_SUITE_P(Table, Compatibility,
                         testing::Values(CompatCase{{1, 2, 3}, {1, 9, 0}, true}, CompatCase{{1, 2, 3}, {2, 2, 3}, false},
                                         CompatCase{{0, 2, 0}, {0, 2, 9}, true}, CompatCase{{0, 2, 0}, {0, 3, 0}, false},
                                         CompatCase{{0, 0, 3}, {0, 0, 3}, true}, CompatCase{{0, 0, 3}, {0, 0, 4}, false}));

TEST(LinkErrorText, EveryKind) {
    LinkError decode;
    decode.kind = LinkError::Kind::Decode;
    decode.decode_error = PostcardError::EndOfInput;
    EXPECT_EQ(link_error_text(decode), "message decode failed: Hit the end of buffer, expected more data");
    decode.decode_error = PostcardError::DeserializeFailed;
    EXPECT_EQ(link_error_text(decode), "message decode failed: Serde Deserialization Error");

    LinkError cobs;
    cobs.kind = LinkError::Kind::Cobs;
    EXPECT_EQ(link_error_text(cobs), "Cobs pack/unpack failed");

    LinkError short_frame;
    short_frame.kind = LinkError::Kind::FrameTooShort;
    EXPECT_EQ(link_error_text(short_frame), "Message frame too short to contain a version header");

    LinkError mismatch;
    mismatch.kind = LinkError::Kind::VersionMismatch;
    mismatch.mismatch = VersionMismatch{Side::Plim, ApiVersion{7, 0, 1}, Side::Host, ApiVersion{0, 2, 0}, Side::Host};
    EXPECT_EQ(link_error_text(mismatch),
              "plim-api version mismatch: plim is v7.0.1, host is v0.2.0 \xE2\x80\x94 update host to a compatible "
              "version");
}

}  // namespace
}  // namespace plim
