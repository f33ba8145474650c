// Replays the committed fuzz corpus through the fuzz harnesses' own checks,
// so every seed and every saved finding is re-run by the ordinary suite.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define LLVMFuzzerTestOneInput replay_host_message
#include "../../fuzz/fuzz_host_message.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_packet
#include "../../fuzz/fuzz_packet.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_stream
#include "../../fuzz/fuzz_stream.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_device
#include "../../fuzz/fuzz_device.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

struct Harness {
    const char* name;
    int (*one_input)(const std::uint8_t*, std::size_t);
};

class CorpusReplay : public testing::TestWithParam<Harness> {};

TEST_P(CorpusReplay, EverySeedKeepsTheInvariants) {
    const std::filesystem::path corpus =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus" / GetParam().name;
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        GetParam().one_input(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

INSTANTIATE_TEST_SUITE_P(Fuzz, CorpusReplay,
                         testing::Values(Harness{"fuzz_host_message", replay_host_message},
                                         Harness{"fuzz_packet", replay_packet},
                                         Harness{"fuzz_stream", replay_stream},
                                         Harness{"fuzz_device", replay_device}),
                         [](const testing::TestParamInfo<Harness>& info) {
                             return std::string(info.param.name).substr(5);
                         });

}  // namespace
