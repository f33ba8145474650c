#pragma once
// Built without libFuzzer (PLIM_FUZZ_REPLAY), a harness is a plain program
// that runs its one-input check over every file or directory named on the
// command line, so the committed corpus replays in the ordinary test suite.
#ifdef PLIM_FUZZ_REPLAY
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzzreplay {
inline int replay_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 1;
}
}  // namespace fuzzreplay

int main(int argc, char** argv) {
    int count = 0;
    for (int k = 1; k < argc; ++k) {
        const std::filesystem::path path(argv[k]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) count += fuzzreplay::replay_file(entry.path());
            }
        } else {
            count += fuzzreplay::replay_file(path);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
#endif
