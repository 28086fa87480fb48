#include "stream_capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

StreamCapture::StreamCapture(int fd) : fd_(fd), saved_(dup(fd)) {
    char pattern[] = "/tmp/lumivarex-capture-XXXXXX";
    file_ = mkstemp(pattern);
    path_ = pattern;
    std::fflush(nullptr);
    dup2(file_, fd_);
}

StreamCapture::~StreamCapture() {
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
    unlink(path_.c_str());
}

std::string StreamCapture::text() const {
    std::fflush(nullptr);
    std::string content;
    const int in = open(path_.c_str(), O_RDONLY);
    char buffer[4096];
    ssize_t n;
    while (in >= 0 && (n = read(in, buffer, sizeof buffer)) > 0)
        content.append(buffer, size_t(n));
    if (in >= 0)
        close(in);
    return content;
}
