#include "tests/core/stdout_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

std::string UniquePath()
{
    static std::atomic<int> counter{0};
    const auto name =
        "tolverin-stdout-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".txt";
    return (std::filesystem::temp_directory_path() / name).string();
}

// Opened as the C runtime opens files by default (on Windows, text mode), so that the
// captured bytes are those that a redirected standard output receives.
constexpr int OPEN_FLAGS = O_WRONLY | O_CREAT | O_TRUNC;

} // namespace

StdoutCapture::StdoutCapture() : path_(UniquePath()), savedFd_(-1)
{
    std::fflush(stdout);
    const int fd = ::open(path_.c_str(), OPEN_FLAGS, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path_);
    }
    savedFd_ = ::dup(1);
    ::dup2(fd, 1);
    ::close(fd);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    ::dup2(savedFd_, 1);
    ::close(savedFd_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

std::string StdoutCapture::Written() const
{
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string AsWritten(const std::string& text)
{
#ifdef _WIN32
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
#else
    return text;
#endif
}
