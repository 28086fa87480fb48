// The stream decoder over inputs read through a memory read function, and the two frame
// utilities.

#include "eventually.h"
#include "media.h"
#include "shared_state.h"
#include "stream_capture.h"
#include "stream_decoder.h"
#include "threads.h"
#include "xhelpers.h"
#include "yuv420_converter.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// An input in memory plus what the frame function saw.
struct MemoryInput {
    std::vector<uint8_t> bytes;
    size_t position = 0;
    std::mutex mutex;
    std::vector<std::pair<int, int>> sizes;
    std::vector<uint64_t> lumaSums; // one per picture
    std::atomic<int> frames{0};
    // Read calls (counted from 0) that fail with the given error instead of reading; from
    // failForeverFrom on, every call fails with foreverError.
    std::vector<std::pair<int, int>> failures;
    std::atomic<int> reads{0}; // read by the test while the decoder thread counts
    int failForeverFrom = -1, foreverError = 0;

    static int read(void* opaque, uint8_t* buffer, int capacity) {
        auto* self = static_cast<MemoryInput*>(opaque);
        const int call = self->reads++;
        for (auto [at, error] : self->failures)
            if (at == call)
                return error;
        if (self->failForeverFrom >= 0 && call >= self->failForeverFrom)
            return self->foreverError;
        const size_t left = self->bytes.size() - self->position;
        if (left == 0)
            return AVERROR_EOF;
        const size_t n = std::min(left, size_t(capacity));
        std::memcpy(buffer, self->bytes.data() + self->position, n);
        self->position += n;
        return int(n);
    }
    static void frame(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t stride,
                      int32_t width, int32_t height, void* opaque) {
        auto* self = static_cast<MemoryInput*>(opaque);
        if (y && u && v && stride >= width) {
            uint64_t sum = 0;
            for (int row = 0; row < height; ++row)
                for (int col = 0; col < width; ++col)
                    sum += y[size_t(row) * stride + col] * uint64_t(row * 7 + col + 1);
            std::lock_guard lock(self->mutex);
            self->sizes.emplace_back(width, height);
            self->lumaSums.push_back(sum);
        }
        self->frames++;
    }
};

// Holds its thread before it reports in, as a slow start would: for `hold`, or until stop is
// requested, whichever comes first. whileHolding, when set, runs every few milliseconds meanwhile.
class SlowStartingDecoder : public StreamDecoder {
public:
    ~SlowStartingDecoder() override { stop(); } // the thread calls into this object

    std::atomic<std::chrono::milliseconds> hold{std::chrono::hours(1)};
    std::function<void()> whileHolding;

protected:
    void beforeReportingStarted(const std::atomic<bool>& stopRequested) override {
        const auto until = std::chrono::steady_clock::now() + hold.load();
        while (!stopRequested && std::chrono::steady_clock::now() < until) {
            if (whileHolding)
                whileHolding();
            std::this_thread::sleep_for(5ms);
        }
    }
};

// Takes the CPU from the thread it interrupts for 4 ms, as a loaded machine would.
void stealFourMilliseconds(int) {
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    do
        clock_gettime(CLOCK_MONOTONIC, &now);
    while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < 4000000L);
}

// A picture of one grey level in a planar 8-bit format, with the range tag given.
AVFrame* greyFrame(AVPixelFormat format, AVColorRange range, uint8_t luma) {
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = 64;
    frame->height = 48;
    frame->color_range = range;
    if (av_frame_get_buffer(frame, 0) < 0)
        return frame;
    const int chromaRows = -(-frame->height >> av_pix_fmt_desc_get(format)->log2_chroma_h);
    for (int p = 0; p < 3; ++p)
        std::memset(frame->data[p], p ? 128 : luma,
                    size_t(frame->linesize[p]) * (p ? chromaRows : frame->height));
    return frame;
}

// True when text holds "PID: <hex>, " followed by line.
bool hasPidLine(const std::string& text, const std::string& line) {
    for (size_t at = text.find("PID: "); at != std::string::npos; at = text.find("PID: ", at + 1)) {
        size_t end = at + 5;
        while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end > at + 5 && text.compare(end, 2, ", ") == 0 &&
            text.compare(end + 2, line.size(), line) == 0)
            return true;
    }
    return false;
}

} // namespace

TEST(StreamDecoder, EveryPictureReachesTheFrameFunction) {
    // Audio first, then video; H.264 in MP4 keeps its set-up in the container, not the packets.
    const std::string avi =
        makeMedia("decoder-avi.avi", colourInput("red", 176, 144, 15) + " " + toneInput(0.6) +
                                         " -map 1:a -map 0:v -c:v mpeg4 -bf 2 -c:a mp2");
    const std::string mp4 = makeMedia("decoder-h264.mp4", colourInput("green", 160, 96, 15) +
                                                              " -c:v libx264 -movflags +faststart");
    ASSERT_FALSE(avi.empty());
    ASSERT_FALSE(mp4.empty());
    for (const auto& [path, size] : {std::pair{avi, std::pair{176, 144}}, {mp4, {160, 96}}}) {
        MemoryInput input;
        input.bytes = readFile(path);
        StreamDecoder decoder;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, path.c_str(), &input));
        EXPECT_TRUE(eventually([&] { return input.frames >= 15; })) << path << " " << input.frames;
        decoder.stop();
        const std::string out = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(input.frames.load(), 15) << path;
        for (const auto& s : input.sizes)
            EXPECT_EQ(s, size);
        EXPECT_TRUE(hasPidLine(out, "open stream success!\n") && out.rfind("PID: ", 0) == 0 &&
                    std::count(out.begin(), out.end(), '\n') == 1)
            << out;
    }
}

TEST(StreamDecoder, PicturesInOtherLayoutsArriveAsFullYuv420Planes) {
    // 4:1:0 and 4:4:4 pictures: the frame function reads them with 4:2:0 geometry and chroma
    // strides of (stride + 1) / 2, so they must be converted before they are handed out.
    for (const char* format : {"yuv410p", "yuv444p", "gray"}) {
        struct Seen : MemoryInput {
            int pictures = 0;
            bool allRed = true;
        } seen;
        seen.bytes = readFile(
            makeMedia(std::string("layout-") + format + ".nut",
                      colourInput("red", 100, 60, 3) + " -c:v rawvideo -pix_fmt " + format));
        ASSERT_FALSE(seen.bytes.empty());
        auto check = [](const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t stride,
                        int32_t width, int32_t height, void* opaque) {
            auto* s = static_cast<Seen*>(static_cast<MemoryInput*>(opaque));
            s->pictures++;
            const int32_t cs = (stride + 1) / 2;
            for (int32_t row = 0; row < (height + 1) / 2; ++row)
                for (int32_t col = 0; col < (width + 1) / 2; ++col)
                    if (std::abs(y[2 * row * stride + 2 * col] - 81) > 3 ||
                        std::abs(u[row * cs + col] - 90) > 3 ||
                        std::abs(v[row * cs + col] - 240) > 3)
                        s->allRed = false;
        };
        StreamDecoder decoder;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        decoder.runToEnd(MemoryInput::read, check, "layout.nut", static_cast<MemoryInput*>(&seen));
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(seen.pictures, 3) << format;
        if (std::string(format) != "gray") {
            EXPECT_TRUE(seen.allRed) << format;
        }
    }
}

TEST(StreamDecoder, StartWhileHeldFailsAndStopThenStartWorksAgain) {
    MemoryInput input;
    input.bytes =
        readFile(makeMedia("decoder-restart.avi", colourInput("blue", 64, 48, 5) + " -c:v mpeg4"));
    ASSERT_FALSE(input.bytes.empty());
    StreamDecoder decoder;
    decoder.stop(); // never started: returns at once

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "a.avi", &input));
    MemoryInput other;
    EXPECT_FALSE(decoder.start(MemoryInput::read, MemoryInput::frame, "b.avi", &other));
    EXPECT_TRUE(eventually([&] { return input.frames == 5; }));
    EXPECT_EQ(other.frames.load(), 0) << "the second start changed nothing";
    decoder.stop();

    input.position = 0;
    input.frames = 0;
    ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "a.avi", &input));
    EXPECT_TRUE(eventually([&] { return input.frames == 5; }));
    decoder.stop();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}

TEST(StreamDecoder, FailuresPrintOneLineAndKeepTheHandleUntilStop) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* line;
    };
    std::vector<uint8_t> garbage(20000);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = uint8_t(i * 131 + 7);
    const std::vector<Case> cases = {
        {{}, "avformat open failed.\n"},
        {garbage, "avformat open failed.\n"},
        {readFile(makeMedia("decoder-audio.mka", toneInput(0.3) + " -c:a mp2")),
         "no video stream!\n"},
    };
    for (const Case& c : cases) {
        MemoryInput input;
        input.bytes = c.bytes;
        StreamDecoder decoder;
        StreamCapture out(STDOUT_FILENO), err(STDERR_FILENO);
        ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "input", &input));
        // The thread has failed and is ending by itself: its handle stays held, so another
        // start is refused and changes nothing.
        ASSERT_TRUE(eventually([&] { return err.text().find(c.line) != std::string::npos; }))
            << err.text();
        EXPECT_FALSE(decoder.start(MemoryInput::read, MemoryInput::frame, "again", &input));
        EXPECT_STREQ(decoder.inputName(), "input");
        decoder.stop(); // joins the thread: all it printed is in
        // One line of ours, with the thread's handle in front.
        EXPECT_TRUE(hasPidLine(err.text(), c.line)) << err.text();
        EXPECT_EQ(err.text().find(c.line), err.text().rfind(c.line)) << err.text();
        EXPECT_EQ(input.frames.load(), 0);
    }
}

TEST(StreamDecoder, TransientReadFailuresKeepEveryPictureIntact) {
    // One key frame: a decoder reset in the middle would break every picture after it.
    const std::string path = makeMedia(
        "decoder-gop.avi", "-f lavfi -i testsrc2=s=320x240:r=25:d=1.6 -c:v mpeg4 -g 100 -bf 1");
    ASSERT_FALSE(path.empty());
    const std::vector<uint8_t> bytes = readFile(path);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    MemoryInput clean;
    clean.bytes = bytes;
    StreamDecoder().runToEnd(MemoryInput::read, MemoryInput::frame, "clean", &clean);
    MemoryInput flaky;
    flaky.bytes = bytes;
    flaky.failures = {{5, AVERROR(EAGAIN)}, {9, AVERROR(EINTR)}, {10, AVERROR(EAGAIN)}};
    StreamDecoder().runToEnd(MemoryInput::read, MemoryInput::frame, "flaky", &flaky);
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(clean.lumaSums.size(), 40u);
    EXPECT_EQ(flaky.lumaSums, clean.lumaSums) << "the same pictures, none broken or lost";
    EXPECT_EQ(err.find("read failed"), std::string::npos) << err;
}

TEST(StreamDecoder, ReadErrorIsReportedOnceAndEndsTheInput) {
    MemoryInput input;
    input.bytes = readFile(
        makeMedia("decoder-error.avi", colourInput("blue", 160, 120, 40) + " -c:v mpeg4 -bf 2"));
    input.failForeverFrom = 3;
    input.foreverError = AVERROR(EIO);
    StreamDecoder decoder;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "input", &input));
    // After the error the loop tries again every few milliseconds; it says so once.
    EXPECT_TRUE(eventually([&] { return input.reads > 20; }));
    decoder.stop();
    const std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(hasPidLine(err, "read failed: ")) << err;
    EXPECT_EQ(err.find("read failed"), err.rfind("read failed")) << "one line: " << err;
    EXPECT_GT(input.frames, 0)
        << "pictures read before the error, delayed ones included, are shown";
}

TEST(StreamDecoder, LongNamesAreCutSafely) {
    // The name is only the input's label; a 300-byte one is cut to 259 bytes (the sanitizer
    // builds check that nothing is read or written past the field).
    MemoryInput input;
    input.bytes =
        readFile(makeMedia("decoder-name.avi", colourInput("red", 64, 48, 2) + " -c:v mpeg4"));
    const std::string name(300, 'n');
    StreamDecoder decoder;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, name.c_str(), &input));
    EXPECT_EQ(std::string(decoder.inputName()), name.substr(0, 259));
    EXPECT_TRUE(eventually([&] { return input.frames == 2; })) << "the input plays all the same";
    decoder.stop();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}

TEST(StreamDecoder, ThreadThatDoesNotReportInByTheDeadlineIsStopped) {
    MemoryInput input;
    const int threads = threadCount();
    testing::internal::CaptureStderr();
    {
        // Held until stop: start gives up at its deadline and ends the thread.
        SlowStartingDecoder decoder;
        EXPECT_FALSE(decoder.start(MemoryInput::read, MemoryInput::frame, "never", &input));
        EXPECT_EQ(threadCount(), threads) << "the thread was ended";
    }
    {
        // The deadline is on the clock: while this thread loses most of its time (4 ms of
        // every 5), a thread that reports in after 1.5 s is still too late.
        struct sigaction steal {
        }, previous{};
        steal.sa_handler = stealFourMilliseconds;
        ASSERT_EQ(sigaction(SIGUSR1, &steal, &previous), 0);
        SlowStartingDecoder decoder;
        decoder.hold = 1500ms;
        const pthread_t owner = pthread_self();
        decoder.whileHolding = [owner] { pthread_kill(owner, SIGUSR1); };
        EXPECT_FALSE(decoder.start(MemoryInput::read, MemoryInput::frame, "late", &input));
        sigaction(SIGUSR1, &previous, nullptr);
    }
    {
        // A later start waits for its own thread's report, not the earlier thread's.
        SlowStartingDecoder decoder;
        decoder.hold = 0ms;
        ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "first", &input));
        decoder.stop();
        decoder.hold = 300ms;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "second", &input));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    }
    testing::internal::GetCapturedStderr();
}

TEST(StreamDecoder, DestroyingARunningDecoderEndsItsThread) {
    MemoryInput input;
    input.bytes =
        readFile(makeMedia("decoder-destroy.avi", colourInput("red", 64, 48, 5) + " -c:v mpeg4"));
    ASSERT_FALSE(input.bytes.empty());
    const int threads = threadCount();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        StreamDecoder decoder;
        ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "input", &input));
        EXPECT_TRUE(eventually([&] { return input.frames == 5; })); // then reading on at the end
    }                                                               // destroyed without stop
    EXPECT_EQ(threadCount(), threads) << "the thread ended with its decoder";
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}

TEST(StreamDecoder, RunningOutOfMemoryPrintsOneLineAndEndsTheThread) {
    // 4:4:4 pictures must be converted; FFmpeg's allocator refuses the 1.4 MB that a converted
    // 1280x720 picture needs, but not the decoder's own planes of 0.9 MB.
    MemoryInput input;
    input.bytes = readFile(makeMedia("decoder-444.mkv", colourInput("red", 1280, 720, 3) +
                                                            " -c:v ffv1 -pix_fmt yuv444p"));
    ASSERT_FALSE(input.bytes.empty());
    StreamDecoder decoder;
    StreamCapture out(STDOUT_FILENO), err(STDERR_FILENO);
    av_max_alloc(1200 * 1024);
    ASSERT_TRUE(decoder.start(MemoryInput::read, MemoryInput::frame, "input", &input));
    EXPECT_TRUE(eventually([&] { return err.text().find("out of memory!") != std::string::npos; }))
        << err.text();
    decoder.stop();
    av_max_alloc(INT_MAX);
    EXPECT_TRUE(hasPidLine(err.text(), "out of memory!\n")) << err.text();
    EXPECT_EQ(err.text().find("out of memory"), err.text().rfind("out of memory")) << err.text();
    EXPECT_EQ(input.frames.load(), 0);
}

TEST(Yuv420Converter, EachPictureIsConvertedWithItsOwnRange) {
    // Full-range white (255) becomes limited-range white (235); limited-range pictures keep their
    // levels, also after a full-range one went through the same converter.
    struct Step {
        AVPixelFormat format;
        AVColorRange range;
        uint8_t luma, expected;
    };
    Yuv420Converter converter;
    for (const Step& step : {Step{AV_PIX_FMT_YUV422P, AVCOL_RANGE_JPEG, 255, 235},
                             {AV_PIX_FMT_YUV422P, AVCOL_RANGE_MPEG, 235, 235},
                             {AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_UNSPECIFIED, 255, 235},
                             {AV_PIX_FMT_YUV422P, AVCOL_RANGE_UNSPECIFIED, 16, 16},
                             {AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_JPEG, 0, 16},
                             {AV_PIX_FMT_YUV444P, AVCOL_RANGE_MPEG, 100, 100},
                             {AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, 255, 235},
                             {AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, 0, 16}}) {
        AVFrame* frame = greyFrame(step.format, step.range, step.luma);
        Yuv420Planes planes;
        ASSERT_EQ(converter.convert(*frame, &planes), Conversion::Done);
        EXPECT_NEAR(planes.y[planes.stride * 20 + 30], step.expected, 1)
            << av_get_pix_fmt_name(step.format) << " range " << step.range << " luma "
            << int(step.luma);
        av_frame_free(&frame);
    }
}

TEST(FrameUtilities, RawFrameLoaderFillsTheRestWithZeros) {
    const std::string path = mediaDir() + "/short.yuv";
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 1000; ++i)
            out.put(char(i % 251 + 1));
    }
    uint8_t* frame = loadRawFrame(path.c_str());
    ASSERT_NE(frame, nullptr);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(frame[i], uint8_t(i % 251 + 1));
    for (int i = 1000; i < kRawFrameBytes; ++i)
        ASSERT_EQ(frame[i], 0) << i;
    delete[] frame;

    testing::internal::CaptureStdout();
    EXPECT_EQ(loadRawFrame((mediaDir() + "/missing.yuv").c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "cant open the file");
}

TEST(FrameUtilities, DeliverFrameShowsThePictureAndPaces) {
    // A raw 1920x1080 picture, red, made by the media tool and read back with the loader.
    const std::string raw = makeMedia("red.yuv", "-f lavfi -i color=c=red:s=1920x1080:d=0.04 "
                                                 "-frames:v 1 -pix_fmt yuv420p -f rawvideo");
    ASSERT_FALSE(raw.empty());
    uint8_t* frame = loadRawFrame(raw.c_str());
    ASSERT_NE(frame, nullptr);
    const uint8_t* y = frame;
    const uint8_t* u = frame + 1920 * 1080;
    const uint8_t* v = u + 960 * 540;

    g_frameIntervalMs = 60;
    auto start = std::chrono::steady_clock::now();
    deliverFrame(y, u, v, 1920, 1920, 1080, nullptr); // no output: only the pause
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

    const uint32_t host = createPlainWindow(192, 108);
    olm_vout_params params{};
    params.window = host;
    setCurrentVout(olm_vout_create(&params));
    ASSERT_NE(currentVout(), nullptr);
    start = std::chrono::steady_clock::now();
    deliverFrame(y, u, v, 1920, 1920, 1080, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
    EXPECT_TRUE(eventually([&] { return near(grabWindow(host).at(96, 54), {254, 0, 0}, 8); }));
    olm_vout_destroy(&g_vout);
    destroyPlainWindow(host);
    delete[] frame;
    g_frameIntervalMs = 30;
}
