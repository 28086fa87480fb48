#include "media.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

const std::string& mediaDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/lumivarex-media-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("cannot make a media directory");
        return std::string(pattern);
    }();
    return dir;
}

std::string makeMedia(const std::string& name, const std::string& inputsAndOptions) {
    const std::string path = mediaDir() + "/" + name;
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y " + inputsAndOptions + " '" + path + "'";
    return std::system(command.c_str()) == 0 ? path : std::string();
}

std::string colourInput(const std::string& colour, int width, int height, int frames, int rate) {
    return "-f lavfi -i color=c=" + colour + ":s=" + std::to_string(width) + "x" +
           std::to_string(height) + ":r=" + std::to_string(rate) +
           ":d=" + std::to_string(double(frames) / rate);
}

std::string toneInput(double seconds) {
    return "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=" + std::to_string(seconds);
}
