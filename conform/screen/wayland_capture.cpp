#include "wayland_capture.h"

#include <QDir>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// Runs program with args in dir, its output thrown away; true when it exits with 0.
bool runIn(const QString& dir, std::vector<const char*> args) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.toLocal8Bit().constData());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr,
                                     const_cast<char* const*>(args.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

QImage captureWaylandOutput() {
    // Weston (started with --debug) lets weston-screenshooter save
    // wayland-screenshot-<time>.png in its working directory; wlroots compositors (sway) let grim
    // save the output through wlr-screencopy. Whichever worked last is tried first. Spawned
    // directly rather than through QProcess: the tester calls this in forked children that have
    // no Qt event loop.
    static std::atomic<bool> grimFirst{false};
    QTemporaryDir dir;
    if (!dir.isValid())
        return {};
    auto weston = [&] { return runIn(dir.path(), {"weston-screenshooter"}); };
    auto grim = [&] { return runIn(dir.path(), {"grim", "-t", "png", "screen.png"}); };
    const bool first = grimFirst.load();
    if (!(first ? grim() : weston())) {
        if (!(first ? weston() : grim()))
            return {};
        grimFirst.store(!first);
    }
    const QStringList files = QDir(dir.path()).entryList({QStringLiteral("*.png")}, QDir::Files);
    if (files.isEmpty())
        return {};
    return QImage(dir.filePath(files.first())).convertToFormat(QImage::Format_RGB32);
}
