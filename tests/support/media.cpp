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

std::string quarteredTurnedFile(int width, int height, int frames, int clockwise) {
    const std::string name = "quarters-" + std::to_string(width) + "x" + std::to_string(height) +
                             "-" + std::to_string(clockwise);
    std::string inputs;
    for (const char* colour : {"red", "0x00ff00", "blue", "white"})
        inputs += colourInput(colour, width / 2, height / 2, frames) + " ";
    const std::string plain = makeMedia(
        name + "-plain.mp4",
        inputs + "-filter_complex '[0][1][2][3]xstack=inputs=4:layout=0_0|w0_0|0_h0|w0_h0' "
                 "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    if (plain.empty())
        return plain;
    // The mp4 muxer writes a "rotate" tag as a turn counterclockwise; it goes in on a copy.
    return makeMedia(name + ".mp4", "-i '" + plain + "' -c copy -metadata:s:v:0 rotate=" +
                                        std::to_string((360 - clockwise) % 360));
}
