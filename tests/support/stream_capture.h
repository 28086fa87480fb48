#pragma once

// Captures what the process writes to a file descriptor (standard output or error), including
// writes from other threads, while an instance lives.

#include <string>

class StreamCapture {
public:
    explicit StreamCapture(int fd);
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Everything written so far.
    std::string text() const;

private:
    int fd_, saved_, file_;
    std::string path_;
};
