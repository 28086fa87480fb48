#include "run/private_xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

PrivateXvfb::~PrivateXvfb() {
    stop();
}

bool PrivateXvfb::start(int timeoutMs) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid_ == 0) {
        // The server goes when the tester does, however the tester ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(fds[1], 3); // dup2 clears close-on-exec on the copy
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 1);
        dup2(devNull, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes its display number and a newline once it accepts connections.
    std::string number;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd waiting{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos) {
        if (poll(&waiting, 1, millisecondsUntil(end)) <= 0)
            break;
        char buffer[32];
        const ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        error_ = "Xvfb did not start (is it installed?)";
        stop();
        return false;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    return true;
}

void PrivateXvfb::stop() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    // Xvfb ends within moments of SIGTERM; one that does not is killed.
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (Clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
}
