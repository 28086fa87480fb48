#include "wayland_capture.h"

#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// Runs argv in dir with its output discarded; true when it exited with 0. Spawned directly
// rather than through QProcess: the tester calls this in forked children that have no Qt event
// loop.
bool runIn(const QString& dir, char* const argv[]) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.toLocal8Bit().constData());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One screenshot into dir with the tool of the given index: weston-screenshooter (Weston's
// screenshooter protocol; it saves wayland-screenshot-<time>.png in its working directory) or
// grim (wlr-screencopy, as sway and other wlroots compositors offer it).
bool shootInto(int tool, const QString& dir) {
    char weston[] = "weston-screenshooter", grim[] = "grim", file[] = "output.png";
    char* westonArgs[] = {weston, nullptr};
    char* grimArgs[] = {grim, file, nullptr};
    return runIn(dir, tool == 0 ? westonArgs : grimArgs);
}

constexpr int kTools = 2;

} // namespace

QImage captureWaylandOutput() {
    // The tool that worked last is tried first: a compositor offers one of the two protocols.
    static int working = 0;
    QTemporaryDir dir;
    if (!dir.isValid())
        return {};
    for (int i = 0; i < kTools; ++i) {
        const int tool = (working + i) % kTools;
        if (!shootInto(tool, dir.path()))
            continue;
        const QStringList files =
            QDir(dir.path()).entryList({QStringLiteral("*.png")}, QDir::Files);
        if (files.isEmpty())
            continue;
        working = tool;
        return QImage(dir.filePath(files.first())).convertToFormat(QImage::Format_RGB32);
    }
    return {};
}
