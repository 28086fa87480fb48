#include "run/command_line.h"

#include <cmath>
#include <cstdlib>

const char* usageText() {
    return "Usage: olm_vout_conform [--library PATH] [--report DIR] [--filter GLOB]... [--list]\n"
           "                        [--path PATH]... [--timeout-factor F] [--xvfb | --wayland]\n"
           "\n"
           "Checks an olm_vout library against a real X server, or a Wayland compositor, one\n"
           "promise per check, each in a process of its own.\n"
           "  --library PATH        the library to check (default: the project's own, in the lib/\n"
           "                        beside this program's directory)\n"
           "  --report DIR          also write DIR/results.json, DIR/junit.xml and DIR/index.html\n"
           "                        with its images in DIR/images\n"
           "  --filter GLOB         run only the checks whose name matches (repeatable), e.g.\n"
           "                        'core.placement.*'\n"
           "  --list                list the checks (after --filter) with their promises and exit\n"
           "  --path PATH           the drawing paths to check what is drawn, counted and timed\n"
           "                        on (repeatable; default all the server offers): present,\n"
           "                        mit-shm, put-image on X11; presentation, frame-callbacks on\n"
           "                        Wayland; default (the one an output takes unasked) or all\n"
           "  --timeout-factor F    multiply every deadline by F (default 1)\n"
           "  --xvfb                run on a private Xvfb started for the run, not on $DISPLAY\n"
           "  --wayland             run on the Wayland compositor named by $WAYLAND_DISPLAY: "
           "outputs\n"
           "                        are made on rectangles of a fullscreen surface, pixels are "
           "read\n"
           "                        back with weston-screenshooter (Weston started with --debug)\n"
           "                        or grim (wlr-screencopy: sway, other wlroots compositors),\n"
           "                        and the checks that need X are skipped\n"
           "Exit status: 0 no check failed, 1 a check failed, crashed or timed out, 2 the tester\n"
           "could not run (or could not read the screen back for its pixel checks).\n";
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    Options& o = parsed.options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                parsed.error = a + " needs a value";
                return false;
            }
            into = arguments[++i];
            return true;
        };
        std::string text;
        if (a == "--library") {
            if (!value(o.library))
                return parsed;
        } else if (a == "--report") {
            if (!value(o.reportDir))
                return parsed;
        } else if (a == "--filter") {
            if (!value(text))
                return parsed;
            o.filters.push_back(text);
        } else if (a == "--path") {
            if (!value(text))
                return parsed;
            o.paths.push_back(text);
        } else if (a == "--timeout-factor") {
            if (!value(text))
                return parsed;
            char* end = nullptr;
            o.timeoutFactor = std::strtod(text.c_str(), &end);
            if (*end != '\0' || !std::isfinite(o.timeoutFactor) || o.timeoutFactor <= 0 ||
                o.timeoutFactor > 100) {
                parsed.error =
                    "--timeout-factor takes a number above 0 and at most 100, not \"" + text + "\"";
                return parsed;
            }
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--xvfb") {
            o.xvfb = true;
        } else if (a == "--wayland") {
            o.wayland = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else {
            parsed.error = "unknown argument \"" + a + "\"";
            return parsed;
        }
    }
    if (o.xvfb && o.wayland)
        parsed.error = "--xvfb and --wayland exclude each other";
    return parsed;
}
