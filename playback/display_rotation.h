#pragma once

// How a video asks to be turned for display, and turning a picture for outputs that cannot.
//
// Phones store video as the sensor saw it and write the turn into the container: the track's
// display matrix (or, from some encoders, an orientation message in the stream that the decoder
// attaches to each picture). A player turns each picture that way before showing it.

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <cstdint>
#include <vector>

// Turns for display, in degrees clockwise (0, 90, 180 or 270, to the nearest quarter); a
// mirrored matrix is taken by its turn alone. The stream's, from its display matrix (0 without
// one), read once per stream:
int streamRotation(const AVStream& stream);
// and one picture's: its own display matrix where it has one, else streamTurn.
int pictureRotation(const AVFrame& frame, int streamTurn);

// Planar 4:2:0 planes turned by the bench itself, in a buffer of its own.
class PictureTurner {
public:
    struct Planes {
        const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
        int strides[3] = {0, 0, 0};
        int width = 0, height = 0;
    };
    // Turns the picture `rotation` degrees clockwise (90, 180 or 270). The result stays valid
    // until the next call; its chroma strides are (luma stride + 1) / 2, as the first olm_vout
    // put takes them. False when memory runs out.
    bool turn(const Planes& in, int rotation, Planes* out);

private:
    std::vector<uint8_t> buffer_;
};
