// Runs the fuzz target over files and folders of inputs, as an ordinary test: the corpus
// that a fuzzing run grew stays checked on every build, with any compiler.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Replay(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

} // namespace

int main(int argc, char* argv[])
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                Replay(entry.path());
                ++replayed;
            }
        } else {
            Replay(path);
            ++replayed;
        }
    }
    std::printf("%d inputs replayed without a fault\n", replayed);
    return replayed > 0 ? 0 : 1;
}
