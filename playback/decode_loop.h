#pragma once

// What the playback thread and the stream decoder share: choosing the streams of an opened input,
// opening a stream's decoder, and the read loop that feeds packets to the decoders until stop.
//
// The read loop tells three kinds of failed read apart. A transient one (EAGAIN, EINTR) is
// retried after a short wait, the decoders untouched. The end of the input drains the decoders'
// delayed pictures once, then resets them so that reading can go on should the input grow. Any
// other error is reported once and then handled as the end.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <atomic>
#include <functional>

// The first video and the first audio stream of an input (-1 where there is none).
struct StreamChoice {
    int video = -1, audio = -1;
};
StreamChoice chooseStreams(const AVFormatContext& format);

// Why a stream's decoder could not be opened.
enum class DecoderFailure { None, NotFound, NoContext, NotOpened };
// Opens a decoder for the stream, filled from the stream's parameters (the container may hold
// the codec's set-up: H.264 in MP4 keeps it there, not in packets). On failure *context is null.
DecoderFailure openDecoder(const AVStream& stream, AVCodecContext** context);

enum class ReadFailure { Transient, End, Error };
// What a negative result of av_read_frame means, given the input's own error state.
ReadFailure classifyReadFailure(int error, const AVIOContext* io);

class ReadLoop {
public:
    // Receives one decoded frame (valid during the call); false when it ran out of memory, which
    // ends the loop.
    using FrameSink = std::function<bool(const AVFrame&)>;

    struct Options {
        const std::atomic<bool>* stop = nullptr;   // checked after every packet and picture
        const std::atomic<bool>* paused = nullptr; // while set, idle in short steps (may be null)
        bool endAtEnd = false;                     // return once the input is exhausted
        std::function<void(int error)> reportReadError; // one line for a read error
    };

    explicit ReadLoop(Options options) : options_(std::move(options)) {}
    ~ReadLoop();
    ReadLoop(const ReadLoop&) = delete;
    ReadLoop& operator=(const ReadLoop&) = delete;

    // Decodes the packets of stream `index` with the open decoder (still the caller's); drained
    // streams give their delayed pictures at the end of the input.
    void decodeStream(int index, AVCodecContext* decoder, FrameSink sink, bool drainAtEnd);
    // Reads and decodes until stop is set (or, with endAtEnd, the input is exhausted). False when
    // memory ran out (the frame, the packet, or a sink's own): the caller then prints its line.
    [[nodiscard]] bool run(AVFormatContext* format);

private:
    struct Stream {
        int index = -1;
        AVCodecContext* decoder = nullptr;
        FrameSink sink;
        bool drainAtEnd = false;
    };
    bool stopRequested() const { return options_.stop->load(std::memory_order_acquire); }
    bool receive(Stream& stream);
    bool drain();

    Options options_;
    Stream streams_[2];
    int streamCount_ = 0;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};
