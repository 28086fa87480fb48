#include "checks/scene.h"

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQuietMs = 40;
constexpr int kPollMs = 10;
// How long a changed screen that is not what the check expects must stay before the wait gives
// up: four times as long as the change took to come, within these bounds.
constexpr int kSettleMinMs = 250, kSettleMaxMs = 1000;

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
    if (ctx.settings.wayland) {
        wayland_ = std::make_unique<WaylandScreen>();
        if (!wayland_->ok())
            stopCheck(Result::Unresolved,
                      "the check could not show a surface on the Wayland compositor");
    } else if (!x.ok()) {
        stopCheck(Result::Unresolved, "the check could not connect to the X server");
    }
}

Scene::~Scene() {
    // Outputs a check leaves alive run on the tester's Wayland connection until the check's
    // process ends (as X outputs keep their windows): the connection stays open with them.
    // Destroying them here instead would release borrowed pictures into a check's
    // GuardedPictures, which is gone by now.
    [[maybe_unused]] WaylandScreen* kept = wayland_.release();
}

HostId Scene::host(int width, int height) {
    const int screenWidth = onWayland() ? wayland_->width() : x.screen()->width_in_pixels;
    if (nextLeft_ + width > screenWidth)
        nextLeft_ = 0; // over hosts made earlier: newer windows stack on top
    HostId made = 0;
    std::string problem;
    if (onWayland()) {
        made = wayland_->addHost(QRect(nextLeft_, 0, width, height));
        if (ctx.readsScreen)
            problem = wayland_->checkReadBack(made, ctx.scaled(2000));
    } else {
        made = createHostWindow(x, nextLeft_, 0, width, height, ctx.scaled(2000));
        if (!made)
            stopCheck(Result::Unresolved, "a host window could not be made viewable");
        if (ctx.readsScreen)
            problem = checkReadBack(x, made);
    }
    nextLeft_ += width + 8;
    if (!problem.empty())
        stopCheck(Result::Unresolved, "screen read-back failed: " + problem);
    return made;
}

olm_vout_params Scene::paramsFor(HostId host, uint32_t poolDepth) const {
    olm_vout_params params{};
    params.pool_depth = poolDepth;
    if (!onWayland()) {
        params.window = host;
        return params;
    }
    const QRect rect = wayland_->rectOf(host);
    params.wayland.platform = OLM_VOUT_PLATFORM_WAYLAND;
    params.wayland.display = wayland_->surface().display();
    params.wayland.surface = wayland_->surface().surface();
    params.wayland.x = int16_t(rect.x());
    params.wayland.y = int16_t(rect.y());
    params.wayland.width = uint16_t(rect.width());
    params.wayland.height = uint16_t(rect.height());
    return params;
}

olm_vout_t* Scene::create(HostId host, uint32_t poolDepth) {
    const olm_vout_params params = paramsFor(host, poolDepth);
    olm_vout_t* vout = api.create(&params);
    if (vout) {
        hostOf_[vout] = host;
        ctx.handedOut(vout);
    }
    if (onWayland())
        wayland_->surface().commit(); // the new subsurface shows from the host's next commit
    return vout;
}

olm_vout_t* Scene::requireOutput(HostId host, uint32_t poolDepth) {
    olm_vout_t* vout = create(host, poolDepth);
    if (!vout)
        stopFailed("a handle from olm_vout_create on a mapped window", "NULL");
    return vout;
}

void Scene::requireMode(olm_vout_t* vout, int mode) {
    markOutput(vout);
    const int code = api.setDisplayMode(vout, mode);
    if (code != OLM_VOUT_OK)
        stopFailed(std::string("olm_vout_set_display_mode(") + modeName(mode) + ") to return " +
                       codeName(OLM_VOUT_OK),
                   codeName(code));
}

void Scene::markOutput(olm_vout_t* vout) {
    if (const auto it = hostOf_.find(vout); it != hostOf_.end())
        mark(it->second);
}

QImage Scene::tryCapture(HostId host) {
    if (!onWayland())
        return captureWindow(x, host);
    return native_ ? wayland_->captureNative(host) : wayland_->capture(host);
}

void Scene::mark(HostId host) {
    // An unmapped host has no screen to remember: its next wait starts from what it sees first.
    if (QImage shot = tryCapture(host); !shot.isNull())
        marked_[host] = std::move(shot);
    else
        marked_.erase(host);
}

int Scene::put(olm_vout_t* vout, const YuvPicture& p) {
    markOutput(vout);
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
    markOutput(vout);
    return api.putPicture(vout, &picture);
}

void Scene::requirePutPicture(olm_vout_t* vout, const olm_vout_picture& picture,
                              const std::string& what) {
    const int code = putPicture(vout, picture);
    if (code != OLM_VOUT_OK)
        stopFailed("olm_vout_put_picture of " + what + " to return " + codeName(OLM_VOUT_OK),
                   codeName(code));
}

void Scene::resize(HostId host, int width, int height) {
    mark(host);
    if (!onWayland()) {
        resizeWindow(x, host, width, height);
        return;
    }
    if (!api.setVideoRect)
        stopCheck(Result::Unresolved, "a Wayland output cannot be resized: the library has no "
                                      "olm_vout_set_video_rect");
    const QRect rect(wayland_->rectOf(host).topLeft(), QSize(width, height));
    wayland_->setRect(host, rect);
    for (const auto& [vout, itsHost] : hostOf_)
        if (itsHost == host && !ctx.destroyed(vout)) {
            const int code = api.setVideoRect(vout, rect.x(), rect.y(), width, height);
            if (code != OLM_VOUT_OK)
                stopFailed("olm_vout_set_video_rect to " + std::to_string(width) + "x" +
                               std::to_string(height) + " to return " + codeName(OLM_VOUT_OK),
                           codeName(code));
        }
    wayland_->surface().commit();
}

int Scene::moveOutput(olm_vout_t* vout, HostId to) {
    const QRect rect = wayland_->rectOf(to);
    const int code = api.setVideoRect(vout, rect.x(), rect.y(), rect.width(), rect.height());
    hostOf_[vout] = to;
    mark(to);
    return code;
}

void Scene::commitSurface() {
    wayland_->surface().commit();
}

void Scene::retire(HostId host) {
    if (!onWayland()) {
        setMapped(x, host, false);
        return;
    }
    for (const auto& [vout, itsHost] : hostOf_)
        if (itsHost == host && api.setVideoRect && !ctx.destroyed(vout))
            api.setVideoRect(vout, 0, 0, 0, 0);
    wayland_->removeHost(host);
    wayland_->surface().commit();
}

void Scene::setHostMapped(HostId host, bool mapped) {
    if (onWayland()) {
        // A rectangle cannot be hidden on its own: the whole surface is, as a minimised window.
        if (!mapped)
            mark(host);
        wayland_->surface().setMapped(mapped);
        return;
    }
    if (mapped) {
        setMapped(x, host, true);
        if (!waitViewable(x, host, ctx.scaled(2000)))
            stopCheck(Result::Unresolved, "the host did not become viewable again");
    } else {
        mark(host);
        setMapped(x, host, false);
    }
}

xcb_window_t Scene::cover(HostId host, int left, int top, int width, int height) {
    if (onWayland())
        return 0;
    auto geometry = xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), host), nullptr);
    if (!geometry)
        stopCheck(Result::Unresolved, "the host's place could not be read");
    const int hostLeft = geometry->x, hostTop = geometry->y;
    free(geometry);
    const xcb_window_t window =
        createHostWindow(x, hostLeft + left, hostTop + top, width, height, ctx.scaled(2000));
    if (!window)
        stopCheck(Result::Unresolved, "the covering window could not be shown");
    return window;
}

void Scene::uncover(HostId host, xcb_window_t cover) {
    if (onWayland())
        return;
    mark(host);
    xcb_destroy_window(x.get(), cover);
    x.sync();
}

QImage Scene::capture(HostId host) {
    QImage shot = tryCapture(host);
    if (shot.isNull())
        stopCheck(Result::Unresolved, "the host window could not be read back");
    return shot;
}

Scene::Seen Scene::waitFor(HostId host, const std::function<bool(const QImage&)>& arrived,
                           int timeoutMs) {
    using std::chrono::milliseconds;
    const auto start = Clock::now();
    const auto end = start + milliseconds(ctx.scaled(timeoutMs));
    const auto quiet = milliseconds(ctx.scaled(kQuietMs));
    Seen seen{capture(host), false};
    // What the screen showed before the check acted; without a mark, what it shows now.
    const auto marked = marked_.find(host);
    const QImage before = marked != marked_.end() ? marked->second : seen.image;
    std::optional<Clock::duration> changedAfter;
    if (seen.image != before)
        changedAfter = Clock::now() - start;
    bool holds = arrived(seen.image);
    auto since = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (holds && now - since >= quiet) {
            seen.arrived = true;
            break;
        }
        if (!holds && changedAfter) {
            const auto settle = std::clamp<Clock::duration>(4 * *changedAfter,
                                                            milliseconds(ctx.scaled(kSettleMinMs)),
                                                            milliseconds(ctx.scaled(kSettleMaxMs)));
            if (now - since >= settle)
                break; // changed, and stays on something else
        }
        if (now > end)
            break;
        std::this_thread::sleep_for(milliseconds(kPollMs));
        QImage shot = capture(host);
        if (shot != seen.image) {
            seen.image = std::move(shot);
            holds = arrived(seen.image);
            since = Clock::now();
            if (!changedAfter && seen.image != before)
                changedAfter = since - start;
        }
    }
    marked_[host] = seen.image; // a following wait counts changes from here
    return seen;
}

Scene::Seen Scene::waitForDrawn(HostId host, const std::function<QRgb(const QImage&)>& sample) {
    return waitFor(host, [&](const QImage& shot) {
        const QRgb c = sample(shot);
        return channelDistance(c, qRgb(0, 0, 0)) > 30 && channelDistance(c, kHostBackground) > 30;
    });
}

Scene::Seen Scene::waitForPlacement(HostId host, const RectF& want, QRgb colour) {
    return waitFor(host, [&](const QImage& shot) {
        return judgePlacement(shot, want, colour, quantisation(), "").result() == Result::Pass;
    });
}

Scene::Seen Scene::showFlat(olm_vout_t* vout, HostId host, int width, int height, QRgb colour) {
    requirePut(vout, flatPicture(width, height, colour));
    return waitFor(host, [colour](const QImage& shot) { return centreShows(shot, colour); });
}

void Scene::checkSheet(Verdict& verdict, const ColourMatrix& matrix, int range,
                       const int strides[3], bool viaPicture, const std::string& label) {
    const PatchSheet sheet = standardSheet();
    std::vector<QRgb> expected;
    const YuvPicture picture =
        sheetPicture(sheet, matrix, range, 160, &expected, strides[0], strides[1], strides[2]);
    const HostId window = host(sheet.width(), sheet.height());
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
        return patchMean(shot, patchOnScreen(sheet, sheet.markerIndex()));
    });
    judgeAndRecord(verdict, seen.image, sheet, expected, label);
}

void Scene::judgeAndRecord(Verdict& verdict, const QImage& shot, const RectF& expected, QRgb colour,
                           const std::string& label) {
    const Verdict found = judgePlacement(shot, expected, colour, quantisation(), label);
    ctx.saveImage("placement", label + ": " + resultName(found.result()),
                  overlayExpected(shot, expected));
    if (found.result() != Result::Pass)
        saveComparison(label, placementImage(shot.width(), shot.height(), expected, colour), shot);
    verdict.merge(found);
}

void Scene::judgeAndRecord(Verdict& verdict, const QImage& shot, const PatchSheet& sheet,
                           const std::vector<QRgb>& expected, const std::string& label,
                           const RectF* where) {
    const Verdict found = judgePatches(shot, sheet, expected, colourLimits(), label, where);
    if (found.result() != Result::Pass)
        saveComparison(label, sheetImage(sheet, expected, shot.size(), where), shot);
    verdict.merge(found);
}

void Scene::saveComparison(const std::string& label, const QImage& expected, const QImage& shot) {
    ctx.saveImage("expected", label, expected);
    ctx.saveImage("observed", label, shot);
    ctx.saveImage("difference", label, differenceImage(expected, shot));
}

void Scene::expectArrived(Verdict& verdict, const Seen& seen, QRgb colour,
                          const std::string& what) {
    if (seen.arrived)
        return;
    verdict.fail(what + " to show " + rgbText(colour),
                 rgbText(seen.image.pixel(seen.image.width() / 2, seen.image.height() / 2)) +
                     " at its centre");
    // The rest of the check builds on this picture: it ends here.
    stopCheck(verdict.result(), verdict.message());
}

uint32_t Scene::refreshPeriodUs(HostId host) {
    if (onWayland())
        return wayland_->surface().refreshPeriodUs();
    return measureRefreshPeriodUs(x, host, ctx.scaled(1000));
}

bool Scene::offersTimedPath() const {
    if (onWayland())
        return wayland_->surface().offersPresentation() &&
               !environmentFlag("OLM_VOUT_NO_PRESENTATION");
    return serverOffersPresent(x) && !environmentFlag("OLM_VOUT_NO_PRESENT");
}

YuvPicture flatPicture(int width, int height, QRgb colour, int strideY) {
    const int strideC = strideY ? (strideY + 1) / 2 : 0;
    YuvPicture picture(width, height, strideY, strideC, strideC);
    picture.fill(encode(colour, kMatrices[0], OLM_VOUT_RANGE_LIMITED));
    return picture;
}

uint64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

int openDescriptors() {
    return countEntries("/proc/self/fd");
}
int runningThreads() {
    return countEntries("/proc/self/task");
}
