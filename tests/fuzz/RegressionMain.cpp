// Runs a fuzz target once over each file of the directory given: its seeds
// and every input that once made it fail. A failing input aborts, as under
// the fuzzer; a directory without inputs is an error.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <boost/filesystem.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    int count = 0;
    for (const auto& entry : boost::filesystem::directory_iterator(argv[1])) {
        std::ifstream file(entry.path().string(), std::ios::binary);
        const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::printf("%s\n", entry.path().filename().string().c_str());
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++count;
    }
    std::printf("%d inputs\n", count);
    return count > 0 ? 0 : 1;
}
