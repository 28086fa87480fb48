#pragma once

// An Xvfb of the run's own (--xvfb): started on a free display number it picks itself
// (-displayfd), ended by its PID.

#include <sys/types.h>

#include <string>

class PrivateXvfb {
public:
    PrivateXvfb() = default;
    ~PrivateXvfb();
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    // Starts Xvfb and waits (up to timeoutMs) until it names its display. On failure returns
    // false with the reason in error().
    bool start(int timeoutMs);
    void stop();
    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

private:
    pid_t pid_ = -1;
    std::string display_, error_;
};
