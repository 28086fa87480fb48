// ext.put_picture.release_*: borrowed planes. With a release function the output keeps the
// caller's planes until it lets go of the picture, then calls release exactly once, from
// whichever path lets go: a newer picture shown, a newer put before this one was shown, the
// destroy, or the put itself when only a smaller version is kept. Every picture here is guarded
// (checks/guarded_planes.h): its planes become unreadable inside the release call, and redraws
// are forced afterwards, so an output that reads released planes is caught in the act.

#include "checks/guarded_planes.h"
#include "checks/registry.h"
#include "checks/scene.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kNeedsPutPicture{"olm_vout_put_picture"};

// Waits (up to a second, scaled) until picture index has been released at least once.
bool waitReleased(CheckContext& ctx, const GuardedPictures& pictures, int index) {
    const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(1000));
    while (pictures.releases(index) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pictures.releases(index) > 0;
}

// Every kind of redraw of the last picture, none of which may read released planes: two mode
// changes, a cover taken away, and the window grown and shrunk again.
void forceRedraws(Scene& s, olm_vout_t* vout, HostId host, int width, int height) {
    s.requireMode(vout, VOUT_PREFERRED);
    s.waitFor(
        host, [](const QImage&) { return false; }, 200);
    s.requireMode(vout, VOUT_NORMAL);
    s.uncover(host, s.cover(host, 0, 0, width, height));
    s.resize(host, width * 2, height * 2);
    s.waitFor(
        host, [](const QImage&) { return false; }, 200);
    s.resize(host, width, height);
}

Verdict releaseLetsGo(CheckContext& ctx) {
    Scene s(ctx);
    GuardedPictures pictures(ctx);
    constexpr int kWidth = 320, kHeight = 180;
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    const int first = pictures.add(flatPicture(kWidth, kHeight, kAmber), "the first picture");
    const int second = pictures.add(flatPicture(kWidth, kHeight, kSky), "the second picture");
    Verdict verdict;
    s.requirePutPicture(vout, pictures.record(first), "a borrowed picture");
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kAmber); }),
                    kAmber, "the window");
    // Shown at its own size, the picture must stay the output's until a newer one shows.
    forceRedraws(s, vout, host, kWidth, kHeight);
    if (pictures.releases(first) != 0)
        verdict.failBecause("the first picture was released while it was still the one shown "
                            "(at its own size, nothing smaller kept)");
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kAmber); }),
                    kAmber, "the window after redraws of the borrowed picture");
    s.requirePutPicture(vout, pictures.record(second), "a second borrowed picture");
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kSky); }),
                    kSky, "the window");
    if (!waitReleased(ctx, pictures, first))
        verdict.failBecause("the first picture was not released within a second of the second "
                            "one showing");
    forceRedraws(s, vout, host, kWidth, kHeight);
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber,
                    "the window after the released planes were made unreadable");
    return verdict;
}

// A picture shown at half its size or less may be reduced in put and released before put
// returns; whenever it is released, nothing may read its planes afterwards, and the redraws
// show it right.
Verdict releaseReduced(CheckContext& ctx) {
    Scene s(ctx);
    GuardedPictures pictures(ctx);
    PatchSheet sheet = standardSheet();
    sheet.size = 96; // 384x192: reduced by 4 still keeps whole chroma samples
    Verdict verdict;
    std::vector<bool> accepted;
    for (int factor : {2, 4}) {
        const int width = sheet.width() / factor, height = sheet.height() / factor;
        const HostId host = s.host(width, height);
        olm_vout_t* vout = s.requireOutput(host);
        // A first picture tells the output the size it shows pictures at.
        s.expectArrived(verdict, s.showFlat(vout, host, width, height, kAmber), kAmber,
                        "the window");
        std::vector<QRgb> expected;
        const ColourMatrix& matrix = kMatrices[factor == 2 ? 1 : 2];
        const YuvPicture picture = sheetPicture(sheet, matrix, OLM_VOUT_RANGE_FULL, 160, &expected);
        const std::string label = std::string(matrix.name) + " full range shown at 1/" +
                                  std::to_string(factor) + " of its size";
        const int index = pictures.add(picture, "the picture " + label);
        s.requirePutPicture(vout, pictures.record(index, matrix.code, OLM_VOUT_RANGE_FULL), label);
        const RectF where{0, 0, double(width), double(height)};
        auto shows = [&](const QImage& shot) {
            return markerShows(shot, sheet, expected.back(), &where);
        };
        s.judgeAndRecord(verdict, s.waitFor(host, shows).image, sheet, expected, label, &where);
        forceRedraws(s, vout, host, width, height);
        s.judgeAndRecord(verdict, s.waitFor(host, shows).image, sheet, expected,
                         label + ", after redraws", &where);
        accepted.push_back(true);
        ctx.destroy(&vout);
        pictures.expectReleasedOnce(verdict, accepted, "by the time destroy returned");
        if (verdict.failed())
            break;
    }
    return verdict;
}

Verdict releasedExactlyOnce(CheckContext& ctx) {
    Scene s(ctx);
    GuardedPictures pictures(ctx);
    constexpr int kPictures = 8, kWidth = 160, kHeight = 120;
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    for (int i = 0; i < kPictures; ++i)
        pictures.add(flatPicture(kWidth, kHeight, i % 2 ? kSky : kAmber),
                     "picture " + std::to_string(i + 1) + " of a burst");
    std::vector<bool> accepted(kPictures + 1, false);
    // In quick succession, so that some are superseded before they are shown.
    for (int i = 0; i < kPictures; ++i)
        accepted[size_t(i)] = s.putPicture(vout, pictures.record(i)) == OLM_VOUT_OK;
    const int rejected = pictures.add(flatPicture(kWidth, kHeight, kSky), "a rejected picture");
    olm_vout_picture bad = pictures.record(rejected);
    bad.matrix = 99;
    s.putPicture(vout, bad);
    Verdict verdict;
    constexpr QRgb kLast = kPictures % 2 ? kAmber : kSky;
    s.expectArrived(verdict,
                    s.waitFor(host, [](const QImage& shot) { return centreShows(shot, kLast); }),
                    kLast, "the window, after the last picture,");
    // Everything before the last is let go once the last is on screen; the last is kept.
    std::vector<bool> letGo = accepted;
    letGo[kPictures - 1] = false;
    for (int i = 0; i + 1 < kPictures; ++i)
        if (accepted[size_t(i)])
            waitReleased(ctx, pictures, i);
    pictures.expectReleasedOnce(verdict, letGo, "once the last picture of the burst showed");
    forceRedraws(s, vout, host, kWidth, kHeight);
    ctx.destroy(&vout);
    pictures.expectReleasedOnce(verdict, accepted, "by the time destroy returned");
    return verdict;
}

// Borrowed pictures put from another thread while this one destroys the output, a few puts in
// (more each round): each accepted one is released exactly once by the time both calls have
// returned (by destroy, or by the racing put as it returns), and never read after release.
Verdict releaseRacingDestroy(CheckContext& ctx) {
    Scene s(ctx);
    GuardedPictures pictures(ctx);
    const HostId host = s.host(160, 120);
    std::vector<char> accepted;
    Verdict verdict;
    for (int round = 0; round < 6; ++round) {
        olm_vout_t* shared = s.requireOutput(host);
        const int first = pictures.size();
        for (int i = 0; i < 8; ++i)
            pictures.add(flatPicture(160, 120, i % 2 ? kSky : kAmber),
                         "picture " + std::to_string(i + 1) + " of round " +
                             std::to_string(round + 1) + " of puts racing a destroy");
        accepted.resize(size_t(pictures.size()), 0);
        std::atomic<int> puts{0};
        std::jthread putter([&] {
            for (int i = first; i < pictures.size(); ++i, ++puts) {
                olm_vout_t* handle = std::atomic_ref(shared).load();
                if (!handle)
                    break;
                const olm_vout_picture r = pictures.record(i);
                accepted[size_t(i)] = ctx.api.putPicture(handle, &r) == OLM_VOUT_OK;
            }
            puts = 1000;
        });
        const auto end = Clock::now() + std::chrono::milliseconds(ctx.scaled(500));
        while (puts < round % 4 + 1 && Clock::now() < end)
            std::this_thread::yield();
        expectCode(verdict, "olm_vout_destroy with borrowed pictures put racing it",
                   ctx.destroy(&shared), OLM_VOUT_OK);
    }
    pictures.expectReleasedOnce(verdict, std::vector<bool>(accepted.begin(), accepted.end()),
                                "by the time destroy and the puts racing it had returned");
    return verdict;
}

} // namespace

void addExtReleaseChecks(std::vector<Check>& checks) {
    const auto& needs = kNeedsPutPicture;
    checks.insert(
        checks.end(),
        {
            {.name = "ext.put_picture.release_lets_go",
             .promise = "a borrowed picture shown at its own size is kept (and redrawn) until a "
                        "newer one is on screen, then released, and its planes are never read "
                        "after release",
             .run = releaseLetsGo,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.release_reduced",
             .promise = "a borrowed picture shown at 1/2 or 1/4 of its size shows right, also "
                        "after redraws, its planes are not read after release, and it is "
                        "released once",
             .run = releaseReduced,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
            {.name = "ext.put_picture.release_racing_destroy",
             .promise = "borrowed pictures put from another thread while the output is destroyed "
                        "are each released once when both calls have returned, and not read "
                        "after release",
             .run = releaseRacingDestroy,
             .needs = needs},
            {.name = "ext.put_picture.release_once",
             .promise = "release is called exactly once for every accepted picture (superseded "
                        "ones once the last shows, the last by the time destroy returns), and "
                        "never for a rejected one",
             .run = releasedExactlyOnce,
             .needs = needs,
             .readsScreen = true,
             .deadlineMs = 20000},
        });
}
