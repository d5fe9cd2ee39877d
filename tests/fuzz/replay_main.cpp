// Runs a fuzz target over its committed corpus without libFuzzer, so that
// every build replays the seeds as an ordinary test: each argument is a file
// or a directory whose files are fed one by one to LLVMFuzzerTestOneInput.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        // Absolute, because a target may change the current directory.
        const std::filesystem::path arg = std::filesystem::absolute(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(arg);
        }
    }
    // A wrong path must not pass as an empty, trivially clean corpus.
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto &path : inputs) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "replay: cannot read %s\n", path.string().c_str());
            return 1;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        // An exact-size copy, so that a read past the input is a sanitizer report.
        std::uint8_t *exact = new std::uint8_t[data.size() + (data.empty() ? 1 : 0)];
        std::copy(data.begin(), data.end(), exact);
        LLVMFuzzerTestOneInput(exact, data.size());
        delete[] exact;
    }
    std::printf("replay: %zu inputs ran clean\n", inputs.size());
    return 0;
}
