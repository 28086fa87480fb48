// bench.*: what the bench itself relies on. It creates an output with a 40-byte record (window
// id, 3, zeros), keeps the handle unchecked, destroys through the address of its handle
// variable and relies on the library clearing it, stops when get returns 1, steps the mode
// 0 -> 3 -> 2 -> 1 -> 0, overwrites the planes right after each put, and puts from its playback
// thread while the GUI thread may destroy the output.

#include "checks/registry.h"
#include "checks/scene.h"

#include <atomic>
#include <thread>

namespace {

constexpr int kWidth = 320, kHeight = 240;

Verdict exportsFiveFunctions(CheckContext& ctx) {
    Verdict verdict;
    std::string missing;
    for (const std::string& name : ctx.api.missingRequired())
        missing += (missing.empty() ? "" : ", ") + name;
    if (!missing.empty())
        verdict.fail("the five functions every olm_vout exports", "no " + missing);
    return verdict;
}

Verdict createGivesHandle(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(vout, host, kWidth, kHeight, kAmber), kAmber,
                    "the window, after a put on the new handle,");
    return verdict;
}

Verdict destroyClearsPointer(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    ctx.destroy(&vout);
    Verdict verdict;
    if (vout != nullptr)
        verdict.fail("the handle variable to hold NULL after olm_vout_destroy(&handle)",
                     "it still holds the handle");
    return verdict;
}

Verdict getNeverStopsALiveOutput(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    Verdict verdict;
    // Right after create, then in each mode the bench steps to.
    for (int mode : {-1, int(VOUT_PREFERRED), int(VOUT_16_9), int(VOUT_4_3), int(VOUT_NORMAL)}) {
        if (mode >= 0)
            ctx.api.setDisplayMode(vout, mode);
        const std::string when =
            mode < 0 ? "right after create" : std::string("in ") + modeName(mode);
        int32_t got = -1;
        const int code = ctx.api.getDisplayMode(vout, &got);
        if (code == 1)
            verdict.fail("olm_vout_get_display_mode on a live output " + when +
                             " not to return 1 (the bench stops on 1)",
                         "1");
        else if (got < VOUT_NORMAL || got > VOUT_PREFERRED)
            verdict.fail("a mode of 0 to 3 from olm_vout_get_display_mode " + when,
                         std::to_string(got));
    }
    return verdict;
}

Verdict setAndGetAgree(CheckContext& ctx) {
    Scene s(ctx);
    olm_vout_t* vout = s.requireOutput(s.host(kWidth, kHeight));
    Verdict verdict;
    for (int mode : {VOUT_PREFERRED, VOUT_16_9, VOUT_4_3, VOUT_NORMAL}) {
        ctx.api.setDisplayMode(vout, mode);
        int32_t got = -1;
        ctx.api.getDisplayMode(vout, &got);
        if (got != mode)
            verdict.fail(std::string("olm_vout_get_display_mode to give ") + modeName(mode) +
                             " after setting it",
                         std::to_string(got));
    }
    return verdict;
}

Verdict putCopiesBeforeReturn(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* vout = s.requireOutput(host);
    YuvPicture picture = flatPicture(kWidth, kHeight, kAmber);
    s.requirePut(vout, picture);
    // As the decoder does with its next picture.
    picture.fill(kPaddingLoud);
    const auto seen = s.waitForDrawn(
        host, [](const QImage& shot) { return shot.pixel(shot.width() / 2, shot.height() / 2); });
    Verdict verdict;
    s.judgeAndRecord(verdict, seen.image, RectF{0, 0, kWidth, kHeight}, kAmber,
                     "planes overwritten right after the put");
    return verdict;
}

Verdict createDestroyCreate(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    olm_vout_t* first = s.requireOutput(host);
    Verdict verdict;
    s.expectArrived(verdict, s.showFlat(first, host, kWidth, kHeight, kAmber), kAmber,
                    "the first output's window");
    ctx.destroy(&first);
    olm_vout_t* second = s.requireOutput(host);
    s.expectArrived(verdict, s.showFlat(second, host, kWidth, kHeight, kSky), kSky,
                    "the window of the output created again");
    return verdict;
}

// Rounds of a thread putting as fast as it can, reading the handle as the playback thread does,
// while this thread destroys the output a few puts in (more each round).
Verdict destroyRacingPuts(CheckContext& ctx) {
    Scene s(ctx);
    const HostId host = s.host(kWidth, kHeight);
    const YuvPicture picture = flatPicture(64, 48, kAmber);
    Verdict verdict;
    for (int round = 0; round < 10; ++round) {
        olm_vout_t* shared = s.requireOutput(host);
        std::atomic<int> puts{0}, unexpected{0}, lastUnexpected{0};
        std::atomic<bool> stop{false};
        std::jthread putter([&] {
            while (!stop) {
                olm_vout_t* handle = std::atomic_ref(shared).load();
                if (!handle)
                    break;
                const int code = s.put(handle, picture);
                if (code != OLM_VOUT_OK && code != OLM_VOUT_E_HANDLE && code != OLM_VOUT_E_BUSY) {
                    ++unexpected;
                    lastUnexpected = code;
                }
                ++puts;
            }
        });
        while (puts < round % 5 + 1)
            std::this_thread::yield();
        const int code = ctx.destroy(&shared);
        stop = true;
        putter.join();
        expectCode(verdict, "olm_vout_destroy with puts racing it", code, OLM_VOUT_OK);
        if (unexpected > 0)
            verdict.fail("puts racing a destroy to return OLM_VOUT_OK, OLM_VOUT_E_HANDLE or "
                         "OLM_VOUT_E_BUSY",
                         codeName(lastUnexpected) + " from " + std::to_string(unexpected) +
                             " puts");
        if (verdict.failed())
            break;
    }
    return verdict;
}

} // namespace

void addBenchChecks(std::vector<Check>& checks) {
    checks.insert(
        checks.end(),
        {
            {.name = "bench.exports.five_functions",
             .promise = "the library exports olm_vout_create, _destroy, _get_display_mode, "
                        "_set_display_mode and _put_buffer_pool_yuv",
             .run = exportsFiveFunctions,
             .needsFiveFunctions = false},
            {.name = "bench.create.handle",
             .promise = "create with the bench's record (window id, 3, zeros) on a real window "
                        "returns a handle that shows pictures",
             .run = createGivesHandle,
             .readsScreen = true},
            {.name = "bench.destroy.clears_pointer",
             .promise = "destroy through the address of the handle variable leaves NULL in it",
             .run = destroyClearsPointer},
            {.name = "bench.get.stop_result",
             .promise = "get on a live output never returns 1 (the bench's \"stop\") and gives a "
                        "mode 0..3",
             .run = getNeverStopsALiveOutput},
            {.name = "bench.set_get.four_modes",
             .promise =
                 "set then get agree for each of the four modes, in the bench's order 3, 2, 1, 0",
             .run = setAndGetAgree},
            {.name = "bench.put.copies_before_return",
             .promise = "put takes the planes before it returns: overwriting them at once changes "
                        "nothing on screen",
             .run = putCopiesBeforeReturn,
             .readsScreen = true},
            {.name = "bench.create_destroy_create",
             .promise = "create, destroy, create again on the same window gives an output that "
                        "shows pictures",
             .run = createDestroyCreate,
             .readsScreen = true},
            {.name = "bench.destroy.races_puts",
             .promise = "destroy while another thread puts returns OLM_VOUT_OK, clears the handle, "
                        "and the racing puts return OK, E_HANDLE or E_BUSY",
             .run = destroyRacingPuts},
        });
}
