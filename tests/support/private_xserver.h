#pragma once

// An Xvfb of a test's own, for tests that do to the server what the shared one must not suffer
// (stopping it, for one). Started on a free display number; ended by its PID.

#include <sys/types.h>

#include <string>

class PrivateXServer {
public:
    // Starts Xvfb and waits until it accepts connections; running() tells whether it did.
    explicit PrivateXServer(const std::string& screen = "640x480x24");
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& display() const { return display_; }
    // SIGSTOP and SIGCONT: a server that does not answer, and the same one answering again.
    void pause();
    void resume();

private:
    pid_t pid_ = -1;
    std::string display_;
};
