// Sends the process's standard output (file descriptor 1) to a temporary file for the life of
// the object, so that a test can read the exact bytes written so far, at any moment.
#ifndef TOLVERIN_TESTS_STDOUT_CAPTURE_H
#define TOLVERIN_TESTS_STDOUT_CAPTURE_H

#include <string>

class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // The bytes that have reached the file so far; stdio buffers are not flushed first, so
    // output still held in a buffer does not show.
    std::string Written() const;

  private:
    std::string path_;
    int savedFd_;
};

// The text as the platform's C runtime writes it: Windows turns each "\n" into "\r\n".
std::string AsWritten(const std::string& text);

#endif
