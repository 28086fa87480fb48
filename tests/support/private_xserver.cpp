#include "private_xserver.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

PrivateXServer::PrivateXServer(const std::string& screen) {
    for (int n = 300; n < 400 && pid_ < 0; ++n) {
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        struct stat st {};
        if (stat(lock.c_str(), &st) == 0 || stat(socket.c_str(), &st) == 0)
            continue;
        const std::string display = ":" + std::to_string(n);
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
                   "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0)
            return;
        for (int i = 0; i < 200; ++i) {
            if (stat(socket.c_str(), &st) == 0) {
                pid_ = pid;
                display_ = display;
                return;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break; // it died: the number was taken after all
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (pid_ < 0 && kill(pid, SIGTERM) == 0)
            waitpid(pid, nullptr, 0);
    }
}

PrivateXServer::~PrivateXServer() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

void PrivateXServer::pause() {
    kill(pid_, SIGSTOP);
}

void PrivateXServer::resume() {
    kill(pid_, SIGCONT);
}
