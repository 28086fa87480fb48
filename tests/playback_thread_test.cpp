// The playback pipeline on its own thread: stream selection, console lines, end of input,
// pixel formats and the output coming and going.

#include "eventually.h"
#include "media.h"
#include "playback_thread.h"
#include "shared_state.h"
#include "vout_helpers.h"
#include "xhelpers.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

size_t occurrences(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

struct Result {
    long pictures;
    std::string out, err;
};

// Decodes a whole file unpaced, as the benchmark does, with the console captured.
Result decodeAll(const std::string& path) {
    g_stopPlayback = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    PlaybackOptions options;
    options.pace = false;
    options.endAtEnd = true;
    const long pictures = playFile(path.c_str(), options);
    Result r{pictures, testing::internal::GetCapturedStdout(),
             testing::internal::GetCapturedStderr()};
    return r;
}

// A playback thread as the window runs it, on a name that outlives it.
class PlaybackRun {
public:
    explicit PlaybackRun(std::string path) : path_(std::move(path)) {
        g_stopPlayback = false;
        thread_ = std::thread([this] { pictures_ = playFile(path_.c_str()); });
    }
    ~PlaybackRun() { stop(); }
    long stop() {
        if (thread_.joinable()) {
            g_stopPlayback = true;
            thread_.join();
        }
        return pictures_;
    }

private:
    std::string path_;
    std::atomic<long> pictures_{0};
    std::thread thread_;
};

class WithOutput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr);
        host = createPlainWindow(320, 240);
        createOutput();
        g_frameIntervalMs = 20;
    }
    void TearDown() override {
        if (currentVout())
            olm_vout_destroy(&g_vout);
        destroyPlainWindow(host);
    }
    void createOutput() {
        olm_vout_params params{};
        params.window = host;
        setCurrentVout(olm_vout_create(&params));
        ASSERT_NE(currentVout(), nullptr);
        olm_vout_set_display_mode(currentVout(), VOUT_PREFERRED);
    }
    bool centreIs(Rgb colour) {
        return eventually([&] { return near(grabWindow(host).at(160, 120), colour, 12); });
    }
    uint32_t host = 0;
};

} // namespace

TEST(PlaybackStreams, FirstVideoAndFirstAudioStreamsAreChosenWhereverTheyAre) {
    const std::string v = colourInput("red", 160, 120, 10);
    const std::string audioFirst = makeMedia(
        "audio-first.mkv", v + " " + toneInput(0.4) + " -map 1:a -map 0:v -c:v mpeg4 -c:a mp2");
    const std::string twoAudio =
        makeMedia("two-audio.mkv", v + " " + toneInput(0.4) + " " + toneInput(0.4) +
                                       " -map 1:a -map 2:a -map 0:v -c:v mpeg4 -c:a mp2");
    const std::string videoOnly = makeMedia("video-only.avi", v + " -c:v mpeg4");
    ASSERT_FALSE(audioFirst.empty());
    ASSERT_FALSE(twoAudio.empty());
    ASSERT_FALSE(videoOnly.empty());

    for (const std::string& path : {audioFirst, twoAudio, videoOnly}) {
        const Result r = decodeAll(path);
        EXPECT_EQ(r.pictures, 10) << path;
        EXPECT_EQ(r.out, "open stream success!\n") << path;
        EXPECT_EQ(r.err.find("videoindex="), std::string::npos) << path;
    }
}

TEST(PlaybackStreams, InputWithoutVideoSaysWhichStreamsItFound) {
    const std::string audioOnly = makeMedia("audio-only.mka", toneInput(0.3) + " -c:a mp2");
    // A subtitle stream first, the audio second.
    const std::string srt = mediaDir() + "/subs.srt";
    std::ofstream(srt) << "1\n00:00:00,000 --> 00:00:00,200\nhello\n";
    const std::string audioSecond = makeMedia(
        "audio-second.mkv", "-i '" + srt + "' " + toneInput(0.3) + " -map 0 -map 1 -c:a mp2");
    ASSERT_FALSE(audioOnly.empty());
    ASSERT_FALSE(audioSecond.empty());

    Result r = decodeAll(audioOnly);
    EXPECT_EQ(r.pictures, 0);
    EXPECT_EQ(occurrences(r.err, "videoindex=-1, audioindex=0\n"), 1u) << r.err;
    r = decodeAll(audioSecond);
    EXPECT_EQ(occurrences(r.err, "videoindex=-1, audioindex=1\n"), 1u) << r.err;
}

TEST(PlaybackFailures, EachFailurePrintsItsOneLine) {
    Result r = decodeAll(mediaDir() + "/does-not-exist.avi");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(occurrences(r.err, "avformat open failed.\n"), 1u);

    const std::string garbage = mediaDir() + "/garbage.avi";
    std::mt19937 random(7);
    std::ofstream file(garbage, std::ios::binary);
    for (int i = 0; i < 50000; ++i)
        file.put(char(random()));
    file.close();
    r = decodeAll(garbage);
    EXPECT_EQ(r.pictures, 0);
    EXPECT_EQ(occurrences(r.err, "avformat open failed.\n") +
                  occurrences(r.err, "could not fine stream.\n"),
              1u)
        << r.err;
}

TEST(PlaybackEnd, DelayedPicturesAreDrainedAtTheEnd) {
    // B-frames make the decoder hold pictures back until it is drained.
    const std::string path =
        makeMedia("bframes.avi", colourInput("blue", 160, 120, 12) + " -c:v mpeg4 -bf 2 -g 12");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(decodeAll(path).pictures, 12);
}

TEST_F(WithOutput, ExhaustedThreadIdlesQuietlyUntilStopped) {
    const std::string path =
        makeMedia("short.avi", colourInput("green", 160, 120, 3) + " -c:v mpeg4");
    ASSERT_FALSE(path.empty());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::atomic<long> pictures{-1};
    g_stopPlayback = false;
    std::thread thread([&] { pictures = playFile(path.c_str()); });
    EXPECT_TRUE(eventually([&] { return statsOf(currentVout()).put == 3; }));

    // Measured over a second of the thread's idling at the end of the input.
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1000ms);
    getrusage(RUSAGE_SELF, &after);
    const auto cpuMs = [](const rusage& u) {
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
    };
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(pictures.load(), -1) << "the thread stays until stopped";
    EXPECT_LT((cpuMs(after) - cpuMs(before)) / wallMs, 0.25) << "an idle thread does not spin";

    testing::internal::GetCapturedStderr(); // the file's description, printed while opening
    testing::internal::CaptureStderr();
    const auto stopAt = std::chrono::steady_clock::now();
    g_stopPlayback = true;
    thread.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 2000ms) << "stop ends it promptly";
    EXPECT_EQ(pictures.load(), 3);
    EXPECT_EQ(statsOf(currentVout()).put, 3u) << "nothing more was handed over while idle";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing printed while idle";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open stream success!\n");
}

TEST_F(WithOutput, RunningOutOfMemoryEndsPlaybackWithOneLine) {
    // 4:4:4 pictures are converted before they are handed over; FFmpeg's allocator refuses the
    // 1.4 MB of a converted 1280x720 picture, but not the decoder's own planes of 0.9 MB.
    const std::string path =
        makeMedia("444.mkv", colourInput("red", 1280, 720, 3) + " -c:v ffv1 -pix_fmt yuv444p");
    ASSERT_FALSE(path.empty());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::atomic<bool> ended{false};
    g_stopPlayback = false;
    av_max_alloc(1200 * 1024);
    std::thread thread([&] {
        playFile(path.c_str());
        ended = true;
    });
    const bool endedByItself = eventually([&] { return ended.load(); }, 20000);
    g_stopPlayback = true;
    thread.join();
    av_max_alloc(INT_MAX);
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(endedByItself) << "the thread ends without waiting for stop";
    EXPECT_EQ(occurrences(err, "out of memory!\n"), 1u) << err;
}

TEST_F(WithOutput, PicturesInOtherPixelFormatsAreShownInTheirColours) {
    const std::string red = colourInput("red", 320, 240, 50);
    const std::string mjpeg = makeMedia("mjpeg.avi", red + " -c:v mjpeg -pix_fmt yuvj422p");
    const std::string deep = makeMedia("deep.mkv", red + " -c:v ffv1 -pix_fmt yuv444p10le");
    const std::string odd = makeMedia("odd.avi", colourInput("red", 330, 250, 50) + " -c:v mpeg4");
    const std::string full = makeMedia("full.avi", red + " -c:v mjpeg -pix_fmt yuvj420p");
    for (const std::string& path : {mjpeg, deep, odd, full}) {
        ASSERT_FALSE(path.empty());
        testing::internal::CaptureStderr();
        PlaybackRun run(path);
        EXPECT_TRUE(centreIs({254, 0, 0}))
            << path << " shows " << toString(grabWindow(host).at(160, 120));
        run.stop();
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(WithOutput, HdAndAnamorphicFilesShowTheirOwnColoursAndShape) {
    // BT.709 tagged, and untagged at 1080p (where BT.709 is the convention): pure red either way.
    const std::string tagged = makeMedia(
        "bt709.mkv", colourInput("red", 1280, 720, 25) +
                         " -vf scale=out_color_matrix=bt709 -c:v libx264 -preset ultrafast"
                         " -colorspace bt709 -color_primaries bt709 -color_trc bt709");
    const std::string untagged =
        makeMedia("untagged-hd.avi", colourInput("red", 1920, 1080, 25) +
                                         " -vf scale=out_color_matrix=bt709 -c:v mpeg4");
    for (const std::string& path : {tagged, untagged}) {
        ASSERT_FALSE(path.empty());
        testing::internal::CaptureStderr();
        PlaybackRun run(path);
        EXPECT_TRUE(eventually([&] {
            return near(grabWindow(host).at(160, 120), {255, 0, 0}, 6);
        })) << path
            << " shows " << toString(grabWindow(host).at(160, 120));
        run.stop();
        testing::internal::GetCapturedStderr();
    }

    // 720x576 with 64:45 samples is a 16:9 picture: 320x180 in the 320x240 window.
    const std::string wide =
        makeMedia("wide.avi", colourInput("white", 720, 576, 50) + " -vf setsar=64/45 -c:v mpeg4");
    ASSERT_FALSE(wide.empty());
    olm_vout_set_display_mode(currentVout(), VOUT_NORMAL);
    testing::internal::CaptureStderr();
    PlaybackRun run(wide);
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWindow(host);
        return s.at(160, 28) == Rgb{} && near(s.at(160, 31), {255, 255, 255}, 12) &&
               near(s.at(160, 208), {255, 255, 255}, 12) && s.at(160, 211) == Rgb{};
    }));
    run.stop();
    testing::internal::GetCapturedStderr();
}

TEST_F(WithOutput, TurnedFilesStandTheRightWayUp) {
    // A landscape 16:9 picture in four quarters, its track saying how to turn it: shown in a
    // square window, a quarter turn makes it portrait.
    resizeWindow(host, 300, 300);
    olm_vout_set_display_mode(currentVout(), VOUT_NORMAL);
    const Rgb colours[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    for (int rotation : {90, 180, 270}) {
        const std::string path = quarteredTurnedFile(320, 180, 50, rotation);
        ASSERT_FALSE(path.empty());
        const bool portrait = rotation != 180;
        testing::internal::CaptureStderr();
        PlaybackRun run(path);
        EXPECT_TRUE(eventually([&] {
            const Snapshot s = grabWindow(host);
            // 169x300 or 300x169, centred; black beside or above it.
            return portrait ? showsQuarters(s, 66, 0, 169, 300, rotation, colours, 16) &&
                                  s.at(62, 150) == Rgb{} && s.at(238, 150) == Rgb{}
                            : showsQuarters(s, 0, 66, 300, 169, rotation, colours, 16) &&
                                  s.at(150, 62) == Rgb{} && s.at(150, 238) == Rgb{};
        })) << "turned "
            << rotation;
        run.stop();
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(WithOutput, DestroyingTheOutputDuringPlaybackOnlyHidesThePictures) {
    const std::string path =
        makeMedia("long.avi", colourInput("0x0000ff", 320, 240, 250) + " -c:v mpeg4");
    ASSERT_FALSE(path.empty());
    testing::internal::CaptureStderr();
    PlaybackRun run(path);
    ASSERT_TRUE(eventually([] { return statsOf(currentVout()).put >= 3; }));
    olm_vout_destroy(&g_vout);
    std::this_thread::sleep_for(200ms); // pictures go on being decoded and paced, unseen
    createOutput();
    EXPECT_TRUE(eventually([] { return statsOf(currentVout()).put >= 3; }))
        << "a new output shows the pictures again";
    EXPECT_TRUE(centreIs({0, 0, 254}));
    const long pictures = run.stop();
    EXPECT_GE(pictures, 10);
    testing::internal::GetCapturedStderr();
}
