// ext.set_video_rect on Wayland: when a new rectangle shows. The tester moves and resizes the
// output from one host rectangle to another as a toolkit would on a new layout: the call, then
// (later) its own commit.

#include "checks/registry.h"
#include "checks/scene.h"

#include <chrono>
#include <thread>

namespace {

// Both rectangles 16:9, so that a 16:9 picture covers each whole in VOUT_NORMAL.
constexpr int kWidth = 320, kHeight = 180, kNewWidth = 400, kNewHeight = 225;

// Pixels of the shot within a few levels of either picture colour.
int picturePixels(const QImage& shot) {
    int count = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QRgb pixel = shot.pixel(x, y);
            count += channelDistance(pixel, kAmber) < 40 || channelDistance(pixel, kSky) < 40;
        }
    return count;
}

bool showsNoPicture(const QImage& shot) {
    return picturePixels(shot) == 0;
}

Verdict layoutWithCommit(CheckContext& ctx) {
    Scene s(ctx);
    Verdict verdict;
    const HostId from = s.host(kWidth, kHeight);
    const HostId to = s.host(kNewWidth, kNewHeight);
    olm_vout_t* vout = s.requireOutput(from);
    s.expectArrived(verdict, s.showFlat(vout, from, kWidth, kHeight, kAmber), kAmber,
                    "the first rectangle");

    // Moved and resized, and a new picture put, before the host commits.
    expectCode(verdict, "olm_vout_set_video_rect to the new rectangle", s.moveOutput(vout, to),
               OLM_VOUT_OK);
    s.requirePut(vout, flatPicture(kWidth, kHeight, kSky));
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.scaled(300)));
    verdict.merge(judgeFlat(s.capture(from), kAmber, s.colourLimits(),
                            "the old rectangle, whole with the old picture, until the host's "
                            "commit"));
    if (const int seen = picturePixels(s.capture(to)))
        verdict.fail("nothing of the picture in the new rectangle until the host's commit",
                     std::to_string(seen) + " pixels of it");
    if (verdict.failed())
        return verdict;

    s.commitSurface();
    s.expectArrived(verdict,
                    s.waitFor(to, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the new rectangle, after the host's commit,");
    verdict.merge(judgeFlat(s.capture(to), kSky, s.colourLimits(),
                            "the new rectangle after the host's commit"));
    const Scene::Seen left = s.waitFor(from, showsNoPicture);
    if (!left.arrived)
        verdict.fail("nothing of the picture left in the old rectangle after the host's commit",
                     std::to_string(picturePixels(left.image)) + " pixels of it");

    // 0 x 0 shows nothing; the rectangle again shows the picture again.
    expectCode(verdict, "olm_vout_set_video_rect to 0 x 0", ctx.api.setVideoRect(vout, 0, 0, 0, 0),
               OLM_VOUT_OK);
    s.commitSurface();
    const Scene::Seen none = s.waitFor(to, showsNoPicture);
    if (!none.arrived)
        verdict.fail("nothing shown for a rectangle of 0 x 0",
                     std::to_string(picturePixels(none.image)) + " pixels of the picture");
    expectCode(verdict, "olm_vout_set_video_rect back to the rectangle", s.moveOutput(vout, to),
               OLM_VOUT_OK);
    s.commitSurface();
    s.expectArrived(verdict,
                    s.waitFor(to, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the rectangle, given again after 0 x 0,");
    return verdict;
}

} // namespace

void addExtVideoRectChecks(std::vector<Check>& checks) {
    checks.push_back(
        {.name = "ext.set_video_rect.with_commit",
         .promise = "on Wayland a new place and size show together with the caller's next commit, "
                    "the old layout whole until then and pictures put meanwhile waiting for it; "
                    "0 x 0 shows nothing, and a rectangle again shows the picture",
         .run = layoutWithCommit,
         .needs = {"olm_vout_set_video_rect"},
         .readsScreen = true,
         .waylandOnly = "moves an output within a Wayland surface"});
}
