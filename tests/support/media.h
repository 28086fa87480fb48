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

// A w x h H.264 MP4 of `frames` pictures in four quarters (red top left, green top right, blue
// bottom left, white bottom right) whose track's display matrix says to turn it `clockwise`
// degrees (0, 90, 180 or 270) for display, as phones write it. Empty when ffmpeg failed.
std::string quarteredTurnedFile(int width, int height, int frames, int clockwise);
