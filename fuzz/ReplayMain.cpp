// A fuzz target without libFuzzer: every file of the folders (or the files) named on the command
// line goes once through LLVMFuzzerTestOneInput, so that an input that once broke a parser is
// tried again by every build. A broken property aborts; no input at all is a failure too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            std::ranges::copy_if(fs::directory_iterator(argv[i]), std::back_inserter(inputs),
                                 [](const fs::directory_entry& entry) { return entry.is_regular_file(); });
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    std::ranges::sort(inputs);
    for (const fs::path& input : inputs) {
        std::cerr << "replaying " << input.filename().string() << '\n'; // unbuffered: named before a crash
        std::ifstream file(input, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        if (!file.good() && !file.eof()) {
            std::cerr << "cannot read " << input << '\n';
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::cout << inputs.size() << " input(s) replayed\n";
    return inputs.empty() ? 1 : 0;
}
