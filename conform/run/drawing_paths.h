#pragma once

// The ways an output may draw that the environment can ask for: on X11 Present, drawing into the
// window through MIT-SHM, and plain PutImage; on Wayland presentation feedback and frame
// callbacks. The checks of what is drawn, counted and timed run once on each path the run takes,
// with the path's switches set in the environment their processes inherit.

#include "run/results.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// True when the environment variable is set to something other than "" or "0", as the library
// reads its switches.
bool environmentFlag(const char* name);

struct DrawingPath {
    std::string id;    // on the command line and in results.json: "present", "mit-shm", ...
    std::string label; // in the console and the reports: "X11 Present", "MIT-SHM", ...
    std::vector<std::pair<std::string, std::string>> environment; // set while it runs
    std::string why;   // how the path is reached: "the server offers X Present", ...

    // Sets the path's switches; restore() puts back what the environment held before.
    void apply();
    void restore();

    // What apply() replaced (nullopt: unset), for restore(); empty while the path is not applied.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved{};
};

// Every path id of the platform, the default one first.
std::vector<std::string> pathIds(bool wayland);

// The paths of `wanted` ("all", "default" or ids; empty means "all") that the server offers, with
// the environment as it is: the default path first (the one an output takes with nothing set),
// then the others in pathIds order. An id the server does not offer, or an unknown one, sets
// *error ("the server offers no X Present", "unknown path \"x\"").
std::vector<DrawingPath> choosePaths(const std::vector<std::string>& wanted,
                                     const ServerInfo& server, std::string* error);
