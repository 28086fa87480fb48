#pragma once

// olm_vout_conform's command line.

#include <string>
#include <vector>

struct Options {
    std::string library;              // empty: the project's own, found beside the program
    std::string reportDir;            // empty: console only
    std::vector<std::string> filters; // globs on check names; empty: every check
    std::vector<std::string> paths;   // drawing paths ("all", "default" or ids); empty: all
    bool list = false;
    bool help = false;
    double timeoutFactor = 1;
    bool xvfb = false;
    bool wayland = false;
};

struct ParsedCommandLine {
    Options options;
    std::string error; // empty when the arguments made sense
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);
const char* usageText();
