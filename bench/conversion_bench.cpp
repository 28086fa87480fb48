// The conversion steps of olm_vout's render thread, each done by libswscale and by libyuv, on
// a 1920x1080 picture shown at 784x441 (the video surface's size) and at its own size, beside
// what the scaler uses for the step (picture_scaler.h says why; libyuv only where its constants
// are exact). X-free; medians of 200 runs on planes already in the cache.

#include "bench_util.h"
#include "picture_pool.h"
#include "picture_scaler.h"
#include "plane_ops.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Yuv420 {
    int width, height, strides[3];
    std::vector<uint8_t> data[3];
    uint8_t* planes[3];
    Yuv420(int w, int h) : width(w), height(h) {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        strides[0] = (w + 63) / 64 * 64;
        strides[1] = strides[2] = (cw + 63) / 64 * 64;
        for (int p = 0; p < 3; ++p) {
            data[p].resize(size_t(strides[p]) * (p ? ch : h));
            for (size_t i = 0; i < data[p].size(); ++i)
                data[p][i] = uint8_t(16 + (i * 7 + size_t(p) * 50) % 220);
            planes[p] = data[p].data();
        }
    }
};

double medianMs(const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const auto start = bench::Clock::now();
        work();
        times.push_back(bench::msSince(start));
    }
    return bench::percentile(times, 50);
}

void line(const std::string& step, double swscale, double libyuv, const char* used) {
    std::printf("| %-44s | %9.3f | %9.3f | %-11s |\n", step.c_str(), swscale, libyuv, used);
}

SwsContext* swsConversion(int w, int h, AVPixelFormat from, int fw, int fh, AVPixelFormat to,
                          int flags) {
    return sws_getContext(w, h, from, fw, fh, to, flags, nullptr, nullptr, nullptr);
}

double swsMs(SwsContext* context, const Yuv420& in, uint8_t* const* out, const int* outStrides) {
    const double ms =
        medianMs([&] { sws_scale(context, in.planes, in.strides, 0, in.height, out, outStrides); });
    sws_freeContext(context);
    return ms;
}

} // namespace

int main() {
    const Yuv420 full(1920, 1080), half(960, 540), target(784, 441), even(784, 442);
    Yuv420 out(1920, 1080);
    std::vector<uint8_t> rgb(size_t(1920) * 4 * 1082);
    uint8_t* rgbPlanes[4] = {rgb.data(), nullptr, nullptr, nullptr};

    std::printf("\nconversion steps, 1920x1080 picture, ms (medians of 200)\n");
    std::printf("| %-44s | %9s | %9s | %-11s |\n", "step", "libswscale", "libyuv", "scaler uses");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(13, '-').c_str());

    // Halving: libswscale has no 2x box filter of its own; the project's SSE2 one stands in.
    const double ownHalve = medianMs([&] {
        olm::halvePlane(full.planes[0], full.strides[0], 1920, 1080, out.planes[0], out.strides[0]);
    });
    const double yuvHalve = medianMs([&] {
        libyuv::ScalePlane(full.planes[0], full.strides[0], 1920, 1080, out.planes[0],
                           out.strides[0], 960, 540, libyuv::kFilterBox);
    });
    std::printf("| %-44s | %9.3f | %9.3f | %-11s |\n", "2x2 box halving, luma (own SSE2 | libyuv)",
                ownHalve, yuvHalve, "libyuv");

    const double swsScale = swsMs(
        swsConversion(960, 540, AV_PIX_FMT_YUV420P, 784, 441, AV_PIX_FMT_YUV420P, SWS_BILINEAR),
        half, out.planes, out.strides);
    const double yuvScale = medianMs([&] {
        libyuv::I420Scale(half.planes[0], half.strides[0], half.planes[1], half.strides[1],
                          half.planes[2], half.strides[2], 960, 540, out.planes[0], out.strides[0],
                          out.planes[1], out.strides[1], out.planes[2], out.strides[2], 784, 441,
                          libyuv::kFilterBilinear);
    });
    line("bilinear scale 960x540 -> 784x441, YUV", swsScale, yuvScale, "libswscale");

    struct Layout {
        const char* name;
        AVPixelFormat format;
        int bytes;
        const char* scalerUses; // for BT.601
        int (*libyuv)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int,
                      const libyuv::YuvConstants*, int, int);
    };
    for (const Layout& layout :
         {Layout{"32-bit BGRX", AV_PIX_FMT_BGR0, 4, "libyuv", libyuv::I420ToARGBMatrix},
          Layout{"24-bit BGR", AV_PIX_FMT_BGR24, 3, "libyuv", libyuv::I420ToRGB24Matrix},
          Layout{"16-bit RGB565", AV_PIX_FMT_RGB565LE, 2, "libswscale",
                 libyuv::I420ToRGB565Matrix}}) {
        for (const Yuv420* in : {&target, &full}) {
            if (in == &full && layout.bytes != 4)
                continue;
            const int rows = in->height + (in->height & 1); // libswscale's fast path: even rows
            const int stride = in->width * layout.bytes;
            const Yuv420& swsIn = in == &target ? even : *in;
            const double sws = swsMs(swsConversion(in->width, rows, AV_PIX_FMT_YUV420P, in->width,
                                                   rows, layout.format, SWS_POINT),
                                     swsIn, rgbPlanes, &stride);
            const double yuv = medianMs([&] {
                layout.libyuv(in->planes[0], in->strides[0], in->planes[1], in->strides[1],
                              in->planes[2], in->strides[2], rgb.data(), stride,
                              &libyuv::kYuvI601Constants, in->width, in->height);
            });
            char step[64];
            std::snprintf(step, sizeof step, "convert %dx%d to %s, BT.601", in->width, in->height,
                          layout.name);
            line(step, sws, yuv, layout.scalerUses);
        }
    }

    // Turning a quarter, in YUV before the conversion or in RGB after it.
    const double turnYuv = medianMs([&] {
        libyuv::I420Rotate(target.planes[0], target.strides[0], target.planes[1], target.strides[1],
                           target.planes[2], target.strides[2], out.planes[0], out.strides[0],
                           out.planes[1], out.strides[1], out.planes[2], out.strides[2], 784, 441,
                           libyuv::kRotate90);
    });
    std::vector<uint8_t> turned(rgb.size());
    const double turnRgb = medianMs([&] {
        libyuv::ARGBRotate(rgb.data(), 784 * 4, turned.data(), 441 * 4, 784, 441,
                           libyuv::kRotate90);
    });
    std::printf("| %-44s | %9.3f | %9.3f | %-11s |\n",
                "turn 784x441 a quarter (RGB after | YUV before)", turnRgb, turnYuv, "YUV");

    // The whole of it, as the render thread does it.
    olm::PictureSource source;
    source.width = 1920;
    source.height = 1080;
    for (int p = 0; p < 3; ++p) {
        source.planes[p] = full.planes[p];
        source.strides[p] = full.strides[p];
    }
    olm::PictureScaler scaler;
    std::printf("\n");
    bench::header("olm_vout's scaler, 1920x1080 into 784x441 32-bit (medians of 200)");
    for (auto [matrix, rotation, label] : {std::tuple{0, 0, "BT.601"},
                                           {1, 0, "BT.709 limited range"},
                                           {1, 90, "BT.709, turned 90"}}) {
        olm::Picture picture;
        source.format.matrix = matrix;
        source.format.rotation = rotation;
        picture.copyFrom(source);
        const bool portrait = rotation % 180 != 0;
        const double ms = medianMs([&] {
            scaler.scale(picture, AV_PIX_FMT_BGR0, portrait ? 248 : 784, portrait ? 441 : 441,
                         rgb.data(), 784 * 4);
        });
        bench::row(std::string("whole picture, ") + label, ms, "ms", "");
    }
    return bench::finish();
}
