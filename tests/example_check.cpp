// Runs the olm_vout example program given on the command line against the X server in DISPLAY
// and checks what a user would see: its moving pattern, a mode step on the space bar, and a clean
// exit when the window is closed. Used on the example built with the project and on the ones
// built against an installed olm_vout. Prints one line and exits 0 when all holds.

#include "eventually.h"
#include "xhelpers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int fail(pid_t child, const std::string& why) {
    std::fprintf(stderr, "example check: %s\n", why.c_str());
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return 1;
}

bool isBlack(const Rgb& c) {
    return c.r < 8 && c.g < 8 && c.b < 8;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: DISPLAY=... example_check PROGRAM\n");
        return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
        execl(argv[1], argv[1], static_cast<char*>(nullptr));
        _exit(127);
    }
    uint32_t window = 0;
    if (!eventually([&] {
            const auto found = findTopLevelWindows("olm_vout example");
            window = found.empty() ? 0 : found.back();
            return window != 0;
        }))
        return fail(child, "no window named \"olm_vout example\"");

    // The pattern fills the 640x360 window in the default mode, and moves.
    Snapshot first;
    if (!eventually([&] {
            first = grabWindow(window);
            return first.width == 640 && !isBlack(first.at(320, 180)) && !isBlack(first.at(5, 180));
        }))
        return fail(child, "the pattern is not shown");
    if (!eventually([&] { return !(grabWindow(window).pixels == first.pixels); }))
        return fail(child, "the pattern does not move");

    // Space steps to the 4:3 mode: 480x360 in the middle, black bars left and right.
    const std::string key = "xdotool key --window " + std::to_string(window) + " space";
    if (std::system(key.c_str()) != 0)
        return fail(child, "xdotool could not press a key");
    if (!eventually([&] {
            const Snapshot s = grabWindow(window);
            return s.width == 640 && isBlack(s.at(20, 180)) && !isBlack(s.at(320, 180));
        }))
        return fail(child, "the display mode did not step");

    sendDeleteWindow(window);
    int status = 0;
    if (!eventually([&] { return waitpid(child, &status, WNOHANG) == child; }))
        return fail(child, "it did not exit when its window was closed");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return fail(-1, "it exited with status " + std::to_string(status));
    std::printf("example check: %s shows its pattern, steps its mode and exits cleanly\n", argv[1]);
    return 0;
}
