#include "run/child_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOutputKept = 4000; // the tail of what the child printed

[[noreturn]] void childMain(const Check& check, const VoutApi& api, const RunSettings& settings,
                            int parentFd, int outputFd) {
    dup2(outputFd, STDOUT_FILENO);
    dup2(outputFd, STDERR_FILENO);
    const std::string imageName =
        settings.pathId.empty() ? check.name : check.name + "-" + settings.pathId;
    CheckContext context(api, settings, imageName, check.readsScreen, parentFd);
    Verdict verdict;
    try {
        verdict = check.run(context);
    } catch (const CheckStopped& stopped) {
        verdict.add(stopped.result, stopped.message);
    } catch (const std::exception& e) {
        verdict.add(Result::Unresolved, std::string("the tester could not finish: ") + e.what());
    }
    if (context.slowestDestroySeconds() > 1.0)
        verdict.warn("olm_vout_destroy took " +
                     std::to_string(context.slowestDestroySeconds()).substr(0, 4) + " s");
    context.sendVerdict(verdict.result(), verdict.message());
    // No exit handlers: the outputs the check left die with the process, as do its threads.
    _exit(0);
}

std::string signalName(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string readTail(int fd) {
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0)
        return {};
    const off_t from = size > off_t(kOutputKept) ? size - off_t(kOutputKept) : 0;
    std::string text(size_t(size - from), '\0');
    const ssize_t got = pread(fd, text.data(), text.size(), from);
    text.resize(got > 0 ? size_t(got) : 0);
    return text;
}

// What the parent learns from the child's lines.
struct ChildState {
    std::optional<Result> result;
    std::string message;
    std::vector<ImageRef> images;
    std::optional<Clock::time_point> destroyDeadline;
    int destroyLimitMs = 0;

    void take(const std::string& line, Clock::time_point now) {
        if (line.size() < 1)
            return;
        const std::string body = line.size() > 2 ? line.substr(2) : std::string();
        switch (line[0]) {
        case 'D':
            destroyLimitMs = std::atoi(body.c_str());
            destroyDeadline = now + std::chrono::milliseconds(destroyLimitMs);
            break;
        case 'd':
            destroyDeadline.reset();
            break;
        case 'I': {
            const size_t a = body.find('\t'), b = body.find('\t', a + 1);
            if (a != std::string::npos && b != std::string::npos)
                images.push_back(
                    {body.substr(0, a), body.substr(a + 1, b - a - 1), body.substr(b + 1)});
            break;
        }
        case 'V': {
            const size_t tab = body.find('\t');
            result = resultFromName(body.substr(0, tab));
            message = tab == std::string::npos ? std::string() : body.substr(tab + 1);
            break;
        }
        }
    }
};

int millisecondsUntil(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
}

} // namespace

CheckRecord runCheckInChild(const Check& check, const VoutApi& api, const RunSettings& settings) {
    CheckRecord record;
    record.name = check.name;
    record.promise = check.promise;
    record.readsScreen = check.readsScreen;

    int fds[2];
    const int outputFd = memfd_create("check-output", MFD_CLOEXEC);
    if (outputFd < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        record.result = Result::Unresolved;
        record.message = std::string("could not start the check: ") + std::strerror(errno);
        if (outputFd >= 0)
            close(outputFd);
        return record;
    }
    std::fflush(nullptr); // nothing buffered may be written twice
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        childMain(check, api, settings, fds[1], outputFd);
    }
    close(fds[1]);
    if (pid < 0) {
        record.result = Result::Unresolved;
        record.message = std::string("fork failed: ") + std::strerror(errno);
        close(fds[0]);
        close(outputFd);
        return record;
    }

    const int deadlineMs = static_cast<int>(check.deadlineMs * settings.timeoutFactor);
    const auto deadline = start + std::chrono::milliseconds(deadlineMs);
    ChildState state;
    std::string pending;
    std::string timedOut;
    for (;;) {
        const bool inDestroy = state.destroyDeadline && *state.destroyDeadline < deadline;
        const auto until = inDestroy ? *state.destroyDeadline : deadline;
        pollfd readable{fds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, millisecondsUntil(until));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            timedOut = inDestroy ? "olm_vout_destroy did not return within " +
                                       secondsText(state.destroyLimitMs / 1000.0)
                                 : "no result within " + secondsText(deadlineMs / 1000.0);
            break;
        }
        char buffer[4096];
        const ssize_t got = read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break; // the child has gone
        pending.append(buffer, size_t(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            state.take(pending.substr(0, end), Clock::now());
            pending.erase(0, end + 1);
        }
    }
    close(fds[0]);

    int status = 0;
    if (!timedOut.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        // The pipe closed, so the child is exiting; give it the rest of its deadline.
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (millisecondsUntil(deadline) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                timedOut =
                    "the check's process did not end within " + secondsText(deadlineMs / 1000.0);
                break;
            }
            usleep(2000);
        }
    }
    record.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    record.images = state.images;
    record.output = readTail(outputFd);
    close(outputFd);

    if (!timedOut.empty()) {
        record.result = Result::Timeout;
        record.message = timedOut;
    } else if (WIFSIGNALED(status)) {
        record.result = Result::Crash;
        record.message = signalName(WTERMSIG(status));
        if (state.result)
            record.message +=
                " after the check's own result (" + std::string(resultName(*state.result)) + ")";
    } else if (!state.result || WEXITSTATUS(status) != 0) {
        record.result = Result::Crash;
        record.message = "the check's process exited with status " +
                         std::to_string(WEXITSTATUS(status)) + " before its result";
    } else {
        record.result = *state.result;
        record.message = state.message;
    }
    return record;
}
