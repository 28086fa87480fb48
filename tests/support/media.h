#pragma once

// Test media, generated at test time with the ffmpeg command-line tool.

#include <string>

// A fresh directory for this process's files (removed by the OS's /tmp cleaning, not by us).
const std::string& mediaDir();

// Runs "ffmpeg -y <inputsAndOptions> <dir>/<name>" and returns the path, or an empty string when
// ffmpeg failed.
std::string makeMedia(const std::string& name, const std::string& inputsAndOptions);

// Common inputs: a solid colour video ("red", "0x00ff00", ...) and a tone.
std::string colourInput(const std::string& colour, int width, int height, int frames,
                        int rate = 25);
std::string toneInput(double seconds);
