#include "wayland_capture.h"

#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

QImage captureWaylandOutput() {
    // weston-screenshooter saves wayland-screenshot-<time>.png in its working directory. Spawned
    // directly rather than through QProcess: the tester calls this in forked children that have
    // no Qt event loop.
    QTemporaryDir dir;
    if (!dir.isValid())
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().toLocal8Bit().constData());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char program[] = "weston-screenshooter";
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return {};
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    const QStringList files = QDir(dir.path()).entryList({QStringLiteral("*.png")}, QDir::Files);
    if (files.isEmpty())
        return {};
    return QImage(dir.filePath(files.first())).convertToFormat(QImage::Format_RGB32);
}
