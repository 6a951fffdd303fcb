// Runs a fuzz target's entry point once per input file, without libFuzzer, so that the normal
// (sanitized) test build replays the seeds and the regression inputs. Arguments are files or
// folders (their files, not recursively); a folder without any file fails the run, since a
// replay that quietly ran nothing would pass for one that checked something.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool run(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    std::ifstream in(file, std::ios::binary);
    // Exactly the input's size, so that a read past its end is caught by the sanitizer.
    std::vector<std::uint8_t> input(error ? 0 : size);
    if (error || !in.read(reinterpret_cast<char*>(input.data()), std::streamsize(input.size()))) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    std::size_t total = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path argument(argv[i]);
        std::error_code error;
        if (!fs::is_directory(argument, error)) {
            if (!run(argument))
                return 1;
            ++total;
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(argument, error))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        if (error || files.empty()) {
            std::fprintf(stderr, "no inputs in %s\n", argument.c_str());
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::printf("%s\n", file.c_str());
            std::fflush(stdout);
            if (!run(file))
                return 1;
        }
        total += files.size();
    }
    std::printf("%zu inputs ran\n", total);
    return 0;
}
