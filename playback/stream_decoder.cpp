#include "stream_decoder.h"

#include "console.h"
#include "decode_loop.h"
#include "shared_state.h"
#include "yuv420_converter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace {

constexpr int kInputBufferBytes = 10240;
constexpr std::chrono::milliseconds kHandshakeTimeout{600};
constexpr int kRetryAfterFailedReadMs = 10;

unsigned long long threadId() {
    return static_cast<unsigned long long>(pthread_self());
}

void* threadEntry(void* decoder) {
    // Nothing may leave a thread's function: an exception there would end the whole program.
    try {
        static_cast<StreamDecoder*>(decoder)->run();
    } catch (const std::bad_alloc&) {
        printErr("PID: %llx, out of memory!\n", threadId());
    } catch (const std::exception& e) {
        printErr("PID: %llx, decoder failed: %s\n", threadId(), e.what());
    }
    return nullptr;
}

// Everything one run acquires, released in reverse order whatever the way out.
struct RunResources {
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    ~RunResources() {
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

} // namespace

// The caller's read function, with transient failures retried here: a demuxer that saw them
// would take them for the end of the input, or lose its place inside a packet.
int StreamDecoder::readRetrying(void* decoder, uint8_t* buffer, int capacity) {
    auto* self = static_cast<StreamDecoder*>(decoder);
    for (;;) {
        const int result = self->readCallback(self->opaque, buffer, capacity);
        if ((result != AVERROR(EAGAIN) && result != AVERROR(EINTR)) ||
            self->stopRequested.load(std::memory_order_acquire))
            return result;
        sleepMs(kRetryAfterFailedReadMs);
    }
}

StreamDecoder::StreamDecoder() {
    std::memset(name, 0, sizeof name);
}

StreamDecoder::~StreamDecoder() {
    stop();
}

void StreamDecoder::setInput(ReadCallback read, FrameCallback frame, const char* inputName,
                             void* value) {
    readCallback = read;
    frameCallback = frame;
    std::strncpy(name, inputName ? inputName : "", sizeof name - 1);
    name[sizeof name - 1] = '\0';
    stopRequested.store(false);
    started.store(false);
    opaque = value;
}

void StreamDecoder::clearInput() {
    readCallback = nullptr;
    frameCallback = nullptr;
    opaque = nullptr;
}

bool StreamDecoder::start(ReadCallback read, FrameCallback frame, const char* inputName,
                          void* value) {
    if (threadHandle)
        return false;
    setInput(read, frame, inputName, value);

    pthread_t thread;
    if (pthread_create(&thread, nullptr, threadEntry, this) != 0) {
        clearInput();
        return false;
    }
    threadHandle = thread;

    // The deadline is on the clock, so a slow waiter does not stretch it.
    const auto deadline = std::chrono::steady_clock::now() + kHandshakeTimeout;
    bool reported;
    {
        std::unique_lock lock(startedMutex);
        reported = startedSet.wait_until(
            lock, deadline, [this] { return started.load(std::memory_order_acquire); });
    }
    if (reported)
        return true;
    stop();
    return false;
}

void StreamDecoder::reportStarted() {
    {
        std::lock_guard lock(startedMutex);
        started.store(true, std::memory_order_release);
    }
    startedSet.notify_all();
}

void StreamDecoder::stop() {
    stopRequested.store(true, std::memory_order_release);
    if (threadHandle)
        pthread_join(*threadHandle, nullptr);
    threadHandle.reset();
    clearInput();
}

int StreamDecoder::run() {
    return decode(false);
}

int StreamDecoder::runToEnd(ReadCallback read, FrameCallback frame, const char* inputName,
                            void* value) {
    if (threadHandle)
        return 0;
    setInput(read, frame, inputName, value);
    decode(true);
    clearInput();
    return 0;
}

int StreamDecoder::decode(bool untilEnd) {
    // pthread_self() is the handle that start stores, so the messages need not wait for it.
    const unsigned long long pid = threadId();
    RunResources r;
    auto* buffer = static_cast<uint8_t*>(av_mallocz(kInputBufferBytes));
    beforeReportingStarted(stopRequested);
    reportStarted();

    r.io = buffer ? avio_alloc_context(buffer, kInputBufferBytes, 0, this, readRetrying, nullptr,
                                       nullptr)
                  : nullptr;
    if (!r.io) {
        av_free(buffer);
        printErr("PID: %llx, avio alloc failed!\n", pid);
        return 0;
    }
    r.format = avformat_alloc_context();
    if (!r.format) {
        printErr("PID: %llx, avformat open failed.\n", pid);
        return 0;
    }
    r.format->pb = r.io;
    // The caller's bytes are the only input: nothing they name may be opened besides.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    const int opened = avformat_open_input(&r.format, name, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        // On failure the format context is freed; the custom input stays ours.
        printErr("PID: %llx, avformat open failed.\n", pid);
        return 0;
    }
    printOut("PID: %llx, open stream success!\n", pid);

    if (avformat_find_stream_info(r.format, nullptr) < 0) {
        printErr("could not fine stream.\n");
        return 0;
    }
    av_dump_format(r.format, 0, "", 0);

    const int videoIndex = chooseStreams(*r.format).video;
    if (videoIndex < 0) {
        printErr("PID: %llx, no video stream!\n", pid);
        return 0;
    }
    switch (openDecoder(*r.format->streams[videoIndex], &r.codec)) {
    case DecoderFailure::None:
        break;
    case DecoderFailure::NotFound:
        printErr("PID: %llx, could not find video decoder!\n", pid);
        return 0;
    case DecoderFailure::NoContext:
        printErr("PID: %llx, could not allocc VideoCodecCtx!\n", pid);
        return 0;
    case DecoderFailure::NotOpened:
        printErr("PID: %llx, could not open video codec!\n", pid);
        return 0;
    }

    // The frame function takes 4:2:0 planes with chroma strides of (stride + 1) / 2, as the
    // video output does; pictures in any other layout are converted first, so that no reader of
    // the planes goes past them.
    Yuv420Converter converter;
    ReadLoop::Options loopOptions;
    loopOptions.stop = &stopRequested;
    loopOptions.endAtEnd = untilEnd;
    loopOptions.reportReadError = [pid](int error) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, text, sizeof text);
        printErr("PID: %llx, read failed: %s\n", pid, text);
    };
    ReadLoop loop(std::move(loopOptions));
    loop.decodeStream(
        videoIndex, r.codec,
        [&](const AVFrame& frame) {
            Yuv420Planes planes;
            const Conversion converted =
                frameCallback ? converter.convert(frame, &planes) : Conversion::Unsupported;
            if (converted == Conversion::Done)
                frameCallback(planes.y, planes.u, planes.v, planes.stride, planes.width,
                              planes.height, opaque);
            return converted != Conversion::OutOfMemory;
        },
        true);
    if (!loop.run(r.format))
        printErr("PID: %llx, out of memory!\n", pid);
    return 0;
}

uint8_t* loadRawFrame(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        printOut("cant open the file");
        return nullptr;
    }
    auto* buffer = new uint8_t[kRawFrameBytes]();
    [[maybe_unused]] const size_t blocks = std::fread(buffer, kRawFrameBytes, 1, file);
    std::fclose(file);
    return buffer;
}

void deliverFrame(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t stride,
                  int32_t width, int32_t height, void*) {
    if (olm_vout_t* vout = currentVout())
        olm_vout_put_buffer_pool_yuv(vout, y, u, v, stride, width, height);
    sleepMs(g_frameIntervalMs.load(std::memory_order_relaxed));
}
