// Runs a fuzz target over files and folders of inputs, as an ordinary test: the corpus
// that a fuzzing run grew stays checked on every build, with any compiler.
#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_target.h"

namespace {

std::string replaying; // the input being replayed, named if it aborts

extern "C" void NameInputOnAbort(int signal)
{
    const char prefix[] = "fuzz: while replaying ";
    ssize_t ignored = ::write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = ::write(STDERR_FILENO, replaying.data(), replaying.size());
    ignored = ::write(STDERR_FILENO, "\n", 1);
    static_cast<void>(ignored);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void Replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    replaying = file.string();
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

} // namespace

int main(int argc, char* argv[])
{
    std::signal(SIGABRT, NameInputOnAbort);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(path);
        }
        for (const auto& file : files) {
            Replay(file);
            ++replayed;
        }
    }
    std::printf("%d inputs replayed without a fault\n", replayed);
    return replayed > 0 ? 0 : 1;
}
