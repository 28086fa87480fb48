#include "display_rotation.h"

extern "C" {
#include <libavutil/display.h>
}
#include <libyuv/rotate.h>

#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr size_t kMatrixBytes = 9 * sizeof(int32_t);

// The turn a display matrix asks for, clockwise, to the nearest quarter.
int rotationOf(const int32_t* stored) {
    int32_t matrix[9];
    std::memcpy(matrix, stored, sizeof matrix);
    // A mirror (negative determinant) would read as a half turn: undo it to keep the turn.
    if (int64_t(matrix[0]) * matrix[4] - int64_t(matrix[1]) * matrix[3] < 0)
        av_display_matrix_flip(matrix, 1, 0);
    // FFmpeg gives the angle counterclockwise.
    const double counterclockwise = av_display_rotation_get(matrix);
    if (std::isnan(counterclockwise))
        return 0;
    const int quarters = int(std::lround(-counterclockwise / 90.0));
    return ((quarters % 4) + 4) % 4 * 90;
}

} // namespace

int streamRotation(const AVStream& stream) {
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    return data && size >= kMatrixBytes ? rotationOf(reinterpret_cast<const int32_t*>(data)) : 0;
}

int pictureRotation(const AVFrame& frame, int streamTurn) {
    const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_DISPLAYMATRIX);
    return side && side->size >= kMatrixBytes
               ? rotationOf(reinterpret_cast<const int32_t*>(side->data))
               : streamTurn;
}

bool PictureTurner::turn(const Planes& in, int rotation, Planes* out) {
    const bool swapped = rotation == 90 || rotation == 270;
    const int w = swapped ? in.height : in.width, h = swapped ? in.width : in.height;
    const int chromaStride = (w + 1) / 2;
    const size_t lumaSize = size_t(w) * h, chromaSize = size_t(chromaStride) * ((h + 1) / 2);
    try {
        buffer_.resize(lumaSize + 2 * chromaSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint8_t* y = buffer_.data();
    uint8_t* u = y + lumaSize;
    uint8_t* v = u + chromaSize;
    if (libyuv::I420Rotate(in.planes[0], in.strides[0], in.planes[1], in.strides[1], in.planes[2],
                           in.strides[2], y, w, u, chromaStride, v, chromaStride, in.width,
                           in.height, libyuv::RotationMode(rotation)) != 0)
        return false;
    *out = Planes{{y, u, v}, {w, chromaStride, chromaStride}, w, h};
    return true;
}
