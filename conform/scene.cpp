#include "scene.h"

#include <dirent.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQuietMs = 60;
constexpr int kPollMs = 10;

int countEntries(const char* directory) {
    int count = 0;
    if (DIR* dir = opendir(directory)) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

} // namespace

Scene::Scene(CheckContext& context) : ctx(context), api(context.api) {
    if (!x.ok())
        stopCheck(Result::Unresolved, "the check could not connect to the X server");
}

xcb_window_t Scene::host(int width, int height) {
    if (nextLeft_ + width > x.screen()->width_in_pixels)
        nextLeft_ = 0; // over hosts made earlier: newer windows stack on top
    const xcb_window_t window = createHostWindow(x, nextLeft_, 0, width, height, ctx.scaled(2000));
    if (!window)
        stopCheck(Result::Unresolved, "a host window could not be made viewable");
    nextLeft_ += width + 8;
    const std::string problem = ctx.readsScreen ? checkReadBack(x, window) : std::string();
    if (!problem.empty())
        stopCheck(Result::Unresolved, "screen read-back failed: " + problem);
    return window;
}

olm_vout_t* Scene::create(xcb_window_t host, uint32_t poolDepth) {
    olm_vout_params params{};
    params.window = host;
    params.pool_depth = poolDepth;
    return api.create(&params);
}

olm_vout_t* Scene::requireOutput(xcb_window_t host, uint32_t poolDepth) {
    olm_vout_t* vout = create(host, poolDepth);
    if (!vout)
        stopFailed("a handle from olm_vout_create on a mapped window", "NULL");
    return vout;
}

void Scene::requireMode(olm_vout_t* vout, int mode) {
    const int code = api.setDisplayMode(vout, mode);
    if (code != OLM_VOUT_OK)
        stopFailed(std::string("olm_vout_set_display_mode(") + modeName(mode) + ") to return " +
                       codeName(OLM_VOUT_OK),
                   codeName(code));
}

int Scene::put(olm_vout_t* vout, const YuvPicture& p) {
    return api.putBufferPoolYuv(vout, p.plane(0), p.plane(1), p.plane(2), p.stride(0), p.width(),
                                p.height());
}

void Scene::requirePut(olm_vout_t* vout, const YuvPicture& picture) {
    const int code = put(vout, picture);
    if (code != OLM_VOUT_OK)
        stopFailed("olm_vout_put_buffer_pool_yuv of a " + std::to_string(picture.width()) + "x" +
                       std::to_string(picture.height()) + " picture to return " +
                       codeName(OLM_VOUT_OK),
                   codeName(code));
}

int Scene::putPicture(olm_vout_t* vout, const olm_vout_picture& picture) {
    return api.putPicture(vout, &picture);
}

QImage Scene::capture(xcb_window_t host) {
    QImage shot = captureWindow(x, host);
    if (shot.isNull())
        stopCheck(Result::Unresolved, "the host window could not be read back");
    return shot;
}

Scene::Seen Scene::waitFor(xcb_window_t host, const std::function<bool(const QImage&)>& arrived,
                           int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(timeoutMs));
    const auto quiet = std::chrono::milliseconds(ctx.scaled(kQuietMs));
    Seen seen{capture(host), false};
    bool holds = arrived(seen.image);
    auto since = Clock::now();
    for (;;) {
        if (holds && Clock::now() - since >= quiet) {
            seen.arrived = true;
            return seen;
        }
        if (Clock::now() > end)
            return seen;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        QImage shot = capture(host);
        if (shot != seen.image) {
            seen.image = std::move(shot);
            holds = arrived(seen.image);
            since = Clock::now();
        }
    }
}

Scene::Seen Scene::waitForDrawn(xcb_window_t host,
                                const std::function<QRgb(const QImage&)>& sample) {
    return waitFor(host, [&](const QImage& shot) {
        const QRgb c = sample(shot);
        return channelDistance(c, qRgb(0, 0, 0)) > 30 && channelDistance(c, kHostBackground) > 30;
    });
}

Scene::Seen Scene::waitForPlacement(xcb_window_t host, const RectF& want, QRgb colour) {
    return waitFor(host, [&](const QImage& shot) {
        return judgePlacement(shot, want, colour, x.quantisation(), "").result() == Result::Pass;
    });
}

Scene::Seen Scene::showFlat(olm_vout_t* vout, xcb_window_t host, int width, int height,
                            QRgb colour) {
    requirePut(vout, flatPicture(width, height, colour));
    return waitFor(host, [colour](const QImage& shot) { return centreShows(shot, colour); });
}

void Scene::checkSheet(Verdict& verdict, const ColourMatrix& matrix, int range,
                       const int strides[3], bool viaPicture, const std::string& label) {
    const PatchSheet sheet = standardSheet();
    std::vector<QRgb> expected;
    const YuvPicture picture =
        sheetPicture(sheet, matrix, range, 160, &expected, strides[0], strides[1], strides[2]);
    const xcb_window_t window = host(sheet.width(), sheet.height());
    olm_vout_t* vout = requireOutput(window);
    if (viaPicture) {
        const int code = putPicture(vout, picture.record(matrix.code, range));
        if (code != OLM_VOUT_OK)
            stopFailed("olm_vout_put_picture of " + label + " to return " + codeName(OLM_VOUT_OK),
                       codeName(code));
    } else {
        requirePut(vout, picture);
    }
    const auto seen = waitForDrawn(window, [&](const QImage& shot) {
        return patchMean(shot, sheet.patch(sheet.markerIndex()));
    });
    judgeAndRecord(verdict, seen.image, sheet, expected, label);
}

void Scene::judgeAndRecord(Verdict& verdict, const QImage& shot, const RectF& expected, QRgb colour,
                           const std::string& label) {
    const Verdict found = judgePlacement(shot, expected, colour, x.quantisation(), label);
    ctx.saveImage("placement", label + ": " + resultName(found.result()),
                  overlayExpected(shot, expected));
    if (found.result() != Result::Pass)
        saveComparison(label, placementImage(shot.width(), shot.height(), expected, colour), shot);
    verdict.merge(found);
}

void Scene::judgeAndRecord(Verdict& verdict, const QImage& shot, const PatchSheet& sheet,
                           const std::vector<QRgb>& expected, const std::string& label) {
    const Verdict found = judgePatches(shot, sheet, expected, colourLimits(), label);
    if (found.result() != Result::Pass)
        saveComparison(label, sheetImage(sheet, expected), shot);
    verdict.merge(found);
}

void Scene::saveComparison(const std::string& label, const QImage& expected, const QImage& shot) {
    ctx.saveImage("expected", label, expected);
    ctx.saveImage("observed", label, shot);
    ctx.saveImage("difference", label, differenceImage(expected, shot));
}

void Scene::expectArrived(Verdict& verdict, const Seen& seen, QRgb colour,
                          const std::string& what) {
    if (!seen.arrived)
        verdict.fail(what + " to show " + rgbText(colour),
                     rgbText(seen.image.pixel(seen.image.width() / 2, seen.image.height() / 2)) +
                         " at its centre");
}

YuvPicture flatPicture(int width, int height, QRgb colour, int strideY) {
    const int strideC = strideY ? (strideY + 1) / 2 : 0;
    YuvPicture picture(width, height, strideY, strideC, strideC);
    picture.fill(encode(colour, kMatrices[0], OLM_VOUT_RANGE_LIMITED));
    return picture;
}

int openDescriptors() {
    return countEntries("/proc/self/fd");
}
int runningThreads() {
    return countEntries("/proc/self/task");
}
