// Runs a harness over saved inputs without libFuzzer, so that any compiler and
// the ordinary presets replay the corpora and the inputs that once failed.
// Arguments are files or directories (every regular file in them, in name order).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool CollectInputs(const fs::path& argument, std::vector<fs::path>& inputs) {
    std::error_code error;
    if (fs::is_regular_file(argument, error)) {
        inputs.push_back(argument);
        return true;
    }
    if (!fs::is_directory(argument, error)) {
        std::fprintf(stderr, "no such input: %s\n", argument.string().c_str());
        return false;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(argument))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
    return true;
}

// The input goes in a heap block of exactly its size, so that a read past its
// end is caught by AddressSanitizer as it is under libFuzzer.
void RunOne(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(stream),
                                  std::istreambuf_iterator<char>()};
    auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : copy.get(), bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i)
        if (!CollectInputs(argv[i], inputs))
            return 2;
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 2;
    }
    for (const auto& input : inputs)
        RunOne(input);
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
