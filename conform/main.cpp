// olm_vout_conform: loads an olm_vout with dlopen, runs every selected check in a child process
// against a real X server (or, with --wayland, a Wayland compositor), prints a line per check and
// a summary, and writes the reports.

#include "checks/registry.h"
#include "report/report.h"
#include "run/child_runner.h"
#include "run/command_line.h"
#include "run/drawing_paths.h"
#include "run/file_digest.h"
#include "run/private_xvfb.h"
#include "run/server_probe.h"
#include "run/vout_library.h"

#include <QDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

constexpr int kExitConformant = 0, kExitFailed = 1, kExitCannotRun = 2;

int cannotRun(const std::string& why) {
    std::cerr << "olm_vout_conform: " << why << "\n";
    return kExitCannotRun;
}

// Why a check does not run at all, or an empty string.
Result skipReason(const Check& check, const VoutApi& api, const ServerInfo& server,
                  std::string* why) {
    const auto missing = api.missingRequired();
    if (check.needsFiveFunctions && !missing.empty()) {
        *why = "the library lacks " + missing.front();
        return Result::Skip;
    }
    for (const std::string& symbol : check.needs)
        if (!api.has(symbol)) {
            *why = "the library has no " + symbol;
            return Result::Skip;
        }
    if (server.wayland && !check.x11Only.empty()) {
        *why = "X11 only: the check " + check.x11Only;
        return Result::Skip;
    }
    if (!server.wayland && !check.waylandOnly.empty()) {
        *why = "Wayland only: the check " + check.waylandOnly;
        return Result::Skip;
    }
    if (check.readsScreen && !server.readBackProblem.empty()) {
        *why = "the screen cannot be read back: " + server.readBackProblem;
        return Result::Unresolved;
    }
    return Result::Pass;
}

// Whether the check runs on each drawing path: one of what is drawn, counted and timed, unless
// it is for the other platform (then it is skipped once).
bool onEveryPath(const Check& check, const ServerInfo& server) {
    const bool otherPlatform = server.wayland ? !check.x11Only.empty() : !check.waylandOnly.empty();
    return check.onEveryPath && !otherPlatform;
}

} // namespace

int main(int argc, char** argv) {
    const ParsedCommandLine parsed = parseCommandLine({argv + 1, argv + argc});
    if (!parsed.error.empty()) {
        std::cerr << "olm_vout_conform: " << parsed.error << "\n" << usageText();
        return kExitCannotRun;
    }
    const Options& options = parsed.options;
    if (options.help) {
        std::cout << usageText();
        return kExitConformant;
    }
    const std::vector<Check> checks =
        prerequisitesFirst(selectChecks(allChecks(), options.filters));
    if (checks.empty())
        return cannotRun("no check matches the filters");
    if (options.list) {
        for (const Check& check : checks)
            std::cout << check.name << "\n    " << check.promise << "\n";
        return kExitConformant;
    }

    RunInfo run;
    run.timeoutFactor = options.timeoutFactor;
    run.libraryPath = options.library.empty() ? defaultLibraryPath() : options.library;
    if (run.libraryPath.empty()) {
        std::string places;
        for (const std::string& candidate : defaultLibraryCandidates())
            places += " " + candidate;
        return cannotRun("no olm_vout beside the program (looked for" + places +
                         "); name one with --library");
    }
    const LoadedLibrary library = loadVoutLibrary(run.libraryPath);
    if (!library.error.empty())
        return cannotRun("cannot load " + run.libraryPath + ": " + library.error);
    run.librarySha256 = sha256OfFile(run.libraryPath);

    RunSettings settings;
    settings.timeoutFactor = options.timeoutFactor;
    if (!options.reportDir.empty()) {
        settings.reportDir = options.reportDir;
        if (!QDir().mkpath(QString::fromStdString(options.reportDir + "/images")))
            return cannotRun("cannot make the report directory " + options.reportDir);
    }

    PrivateXvfb xvfb;
    if (options.wayland) {
        settings.wayland = true;
        const char* socket = std::getenv("WAYLAND_DISPLAY");
        if (!socket || !*socket)
            return cannotRun("no Wayland display: set WAYLAND_DISPLAY (and XDG_RUNTIME_DIR)");
        // Nothing of a Wayland run may reach an X server: an output that falls back to X fails.
        unsetenv("DISPLAY");
        if (!probeCompositor(options.timeoutFactor, &run.server))
            return cannotRun(std::string("cannot show a surface on the Wayland compositor ") +
                             socket + " (it needs wl_compositor, wl_shm and xdg_wm_base)");
    } else {
        if (options.xvfb) {
            if (!xvfb.start(static_cast<int>(10000 * options.timeoutFactor)))
                return cannotRun("cannot start a private Xvfb: " + xvfb.error());
            setenv("DISPLAY", xvfb.display().c_str(), 1);
        }
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            return cannotRun("no X display: set DISPLAY or use --xvfb");
        if (!probeServer(display, options.timeoutFactor, &run.server))
            return cannotRun(std::string("cannot connect to the X server ") + display);
    }

    // Time limits follow the machine's pace, as measured by the probe.
    run.timeoutFactor = options.timeoutFactor * speedFactor(run.server);
    settings.timeoutFactor = run.timeoutFactor;

    std::cout << "olm_vout_conform " << kContractVersion << ": " << run.libraryPath << " (SHA-256 "
              << run.librarySha256 << ")\n"
              << describeServer(run.server) << "; screen read-back "
              << (run.server.readBackProblem.empty() ? "OK" : run.server.readBackProblem);
    if (run.server.readBackProblem.empty())
        std::printf(" (%.1f ms a look; time limits x%.2f)", run.server.lookMs, run.timeoutFactor);
    std::cout << std::endl;

    std::string pathError;
    std::vector<DrawingPath> paths = choosePaths(options.paths, run.server, &pathError);
    if (!pathError.empty())
        return cannotRun(pathError);
    for (const DrawingPath& path : paths)
        run.pathLabels.push_back(path.label);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::string pathTimes;
    for (size_t p = 0; p < paths.size(); ++p) {
        DrawingPath& path = paths[p];
        // What is drawn, counted and timed is checked on every path, with the path's switches
        // set; the rest once, in the environment as the run was given it.
        std::vector<const Check*> due;
        for (const Check& check : checks)
            if (onEveryPath(check, run.server) || p == 0)
                due.push_back(&check);
        if (due.empty())
            continue;
        std::cout << "On " << path.label << " (" << path.why << "):" << std::endl;
        const auto pathStart = Clock::now();
        for (const Check* check : due) {
            const bool ofPath = onEveryPath(*check, run.server);
            if (ofPath)
                path.apply();
            else
                path.restore();
            CheckRecord record;
            std::string why;
            const Result skip = skipReason(*check, library.api, run.server, &why);
            if (skip != Result::Pass) {
                record = {check->name, check->promise, check->readsScreen, skip, why};
            } else {
                RunSettings checkSettings = settings;
                checkSettings.pathId = ofPath ? path.id : "";
                record = runCheckInChild(*check, library.api, checkSettings);
            }
            if (ofPath) {
                record.path = path.id;
                record.pathLabel = path.label;
            }
            attributeToCause(record, check->dependsOn, run.checks);
            std::cout << consoleLine(record) << std::endl;
            run.checks.push_back(std::move(record));
        }
        path.restore();
        const std::chrono::duration<double> pathTook = Clock::now() - pathStart;
        char text[96];
        std::snprintf(text, sizeof text, "%s%s %.1f s", pathTimes.empty() ? "" : ", ",
                      path.label.c_str(), pathTook.count());
        pathTimes += text;
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    std::printf("%zu checks in %.1f s (%s)\n", run.checks.size(), took.count(), pathTimes.c_str());

    if (!settings.reportDir.empty()) {
        const std::string& dir = settings.reportDir;
        if (!writeJsonReport(run, dir + "/results.json") ||
            !writeJunitReport(run, dir + "/junit.xml") ||
            !writeHtmlReport(run, dir + "/index.html"))
            return cannotRun("cannot write the reports in " + dir);
        std::printf("Reports: %s/index.html, results.json, junit.xml\n", dir.c_str());
    }
    std::fputs(consoleSummary(run).c_str(), stdout);
    std::fflush(stdout);

    const std::string verdict = verdictOf(run);
    if (verdict == "not conformant")
        return kExitFailed;
    return verdict == "not tested" ? kExitCannotRun : kExitConformant;
}
