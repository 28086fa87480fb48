#pragma once

// A video decoder on a thread of its own that reads its input through a caller's function and
// hands every picture to a caller's function. Owned and driven from one thread (start, stop,
// isRunning take no lock); the two functions run on the decoder thread.

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

// Fills buffer with up to capacity bytes of input; returns the count, or a negative FFmpeg error
// code (AVERROR_EOF at the end of the input). AVERROR(EAGAIN) or AVERROR(EINTR) means "nothing
// yet": the decoder calls again 10 ms later (until stop), with the input's state untouched.
using ReadCallback = int (*)(void* opaque, uint8_t* buffer, int capacity);
// Receives one picture: Y, U, V planes, the Y stride, width and height. The planes belong to the
// decoder and are valid only during the call.
using FrameCallback = void (*)(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t stride,
                               int32_t width, int32_t height, void* opaque);

class StreamDecoder {
public:
    StreamDecoder();
    // Ends a thread still held, as stop does: the thread works on this object. A subclass that
    // overrides beforeReportingStarted stops in its own destructor.
    virtual ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Starts the decoder thread on the input. True when the thread runs and reported in within
    // 600 ms by the clock; false when a thread is already held (then nothing changes), the
    // thread could not be created, or it did not report in (it is then stopped).
    bool start(ReadCallback read, FrameCallback frame, const char* name, void* opaque);
    // Asks the thread to end and waits for it without a time limit; afterwards no thread runs.
    void stop();
    // True while a thread handle is held: from a successful start until stop, also after the
    // thread has ended by itself on a failure.
    bool isRunning() const { return threadHandle.has_value(); }

    // The input's name as kept (at most 259 bytes of the one given to start).
    const char* inputName() const { return name; }

    // The decoder thread's routine; returns 0. A failure prints one line on standard error and
    // ends it ("PID: <handle>, out of memory!" when a picture cannot be allocated).
    int run();

    // Decodes the input on the calling thread until it ends (its delayed pictures included),
    // then returns 0. For tests and fuzzing; not while a thread is held.
    int runToEnd(ReadCallback read, FrameCallback frame, const char* name, void* opaque);

protected:
    // Called on the decoder thread just before it reports in; tests use it to hold the thread
    // (until stopRequested is set, for one).
    virtual void beforeReportingStarted(const std::atomic<bool>& /*stopRequested*/) {}

private:
    static int readRetrying(void* decoder, uint8_t* buffer, int capacity);
    void setInput(ReadCallback read, FrameCallback frame, const char* name, void* opaque);
    void clearInput();
    int decode(bool untilEnd);
    void reportStarted();

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> started{false};
    // start waits on this for started, up to its deadline.
    std::mutex startedMutex;
    std::condition_variable startedSet;
    ReadCallback readCallback = nullptr;
    FrameCallback frameCallback = nullptr;
    void* opaque = nullptr;
    char name[260];
    std::optional<pthread_t> threadHandle;
};

// Reads one 1920x1080 YUV 4:2:0 picture (3110400 bytes) from a file into a new zero-filled
// buffer (release with delete[]); a shorter file leaves the rest zero. Null, after printing
// "cant open the file" on standard output, when the file cannot be opened.
constexpr int kRawFrameBytes = 1920 * 1080 * 3 / 2;
uint8_t* loadRawFrame(const char* path);

// A FrameCallback that shows the picture in g_vout (when there is one), then waits
// g_frameIntervalMs.
void deliverFrame(const uint8_t* y, const uint8_t* u, const uint8_t* v, int32_t stride,
                  int32_t width, int32_t height, void* opaque);
