// Runs a fuzz target over files and folders of inputs as an ordinary program, so that every
// committed corpus also runs as a test under any compiler. A folder without inputs fails, so a
// corpus that went missing cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path argument = argv[i];
        if (!fs::is_directory(argument)) {
            inputs.push_back(argument);
            continue;
        }
        const std::size_t before = inputs.size();
        for (const auto &entry : fs::directory_iterator(argument))
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        if (inputs.size() == before) {
            std::fprintf(stderr, "no inputs in %s\n", argument.c_str());
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s <input file or folder>...\n", argv[0]);
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &input : inputs) {
        std::ifstream file(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                      std::istreambuf_iterator<char>()};
        // A buffer of exactly the input's size, so that the sanitizers see any read beyond it.
        const auto data = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), data.get());
        std::fprintf(stderr, "%s\n", input.c_str());
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return 0;
}
