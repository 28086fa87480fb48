#include "decode_loop.h"

#include "shared_state.h"

#include <cerrno>

namespace {

// After a failed read the loop waits this long before trying again, instead of spinning on a
// core until stop.
constexpr int kRetryAfterFailedReadMs = 10;
constexpr int kPauseStepMs = 50;

} // namespace

StreamChoice chooseStreams(const AVFormatContext& format) {
    StreamChoice choice;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVMediaType type = format.streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && choice.video == -1)
            choice.video = int(i);
        else if (type == AVMEDIA_TYPE_AUDIO && choice.audio == -1)
            choice.audio = int(i);
    }
    return choice;
}

DecoderFailure openDecoder(const AVStream& stream, AVCodecContext** context) {
    *context = nullptr;
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec)
        return DecoderFailure::NotFound;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c)
        return DecoderFailure::NoContext;
    if (avcodec_parameters_to_context(c, stream.codecpar) < 0 ||
        avcodec_open2(c, codec, nullptr) < 0) {
        avcodec_free_context(&c);
        return DecoderFailure::NotOpened;
    }
    *context = c;
    return DecoderFailure::None;
}

ReadFailure classifyReadFailure(int error, const AVIOContext* io) {
    // Demuxers often turn a failed read into AVERROR_EOF; the input keeps the real cause.
    const int cause = io && io->error < 0 ? io->error : error;
    if (cause == AVERROR(EAGAIN) || cause == AVERROR(EINTR))
        return ReadFailure::Transient;
    if (cause == AVERROR_EOF)
        return ReadFailure::End;
    return ReadFailure::Error;
}

ReadLoop::~ReadLoop() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
}

void ReadLoop::decodeStream(int index, AVCodecContext* decoder, FrameSink sink, bool drainAtEnd) {
    if (streamCount_ < 2)
        streams_[streamCount_++] = {index, decoder, std::move(sink), drainAtEnd};
}

// One packet may complete several pictures; stop is looked at after each. False when the sink
// ran out of memory.
bool ReadLoop::receive(Stream& stream) {
    while (avcodec_receive_frame(stream.decoder, frame_) >= 0) {
        const bool taken = !stream.sink || stream.sink(*frame_);
        av_frame_unref(frame_);
        if (!taken)
            return false;
        if (stopRequested())
            break;
    }
    return true;
}

// The decoders may still hold delayed pictures: give them out, then reset the decoders so that
// reading can resume should the input grow.
bool ReadLoop::drain() {
    for (int i = 0; i < streamCount_; ++i) {
        Stream& s = streams_[i];
        if (!s.drainAtEnd)
            continue;
        avcodec_send_packet(s.decoder, nullptr);
        const bool taken = receive(s);
        avcodec_flush_buffers(s.decoder);
        if (!taken)
            return false;
    }
    return true;
}

bool ReadLoop::run(AVFormatContext* format) {
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_)
        return false;
    bool drained = false, errorReported = false;
    for (;;) {
        if (options_.paused && options_.paused->load(std::memory_order_acquire)) {
            sleepMs(kPauseStepMs);
        } else if (const int result = av_read_frame(format, packet_); result >= 0) {
            drained = false;
            errorReported = false;
            bool taken = true;
            for (int i = 0; i < streamCount_; ++i) {
                if (streams_[i].index == packet_->stream_index) {
                    // Errors of single packets are not fatal.
                    avcodec_send_packet(streams_[i].decoder, packet_);
                    taken = receive(streams_[i]);
                }
            }
            av_packet_unref(packet_);
            if (!taken)
                return false;
        } else {
            const ReadFailure failure = classifyReadFailure(result, format->pb);
            if (failure == ReadFailure::Error && !errorReported) {
                if (options_.reportReadError)
                    options_.reportReadError(format->pb && format->pb->error < 0 ? format->pb->error
                                                                                 : result);
                errorReported = true;
            }
            if (format->pb) {
                // Let the next read try again rather than repeat this failure.
                format->pb->error = 0;
                format->pb->eof_reached = 0;
            }
            if (failure != ReadFailure::Transient && !drained) {
                if (!drain())
                    return false;
                drained = true;
                if (options_.endAtEnd)
                    break;
            }
            sleepMs(kRetryAfterFailedReadMs);
        }
        if (stopRequested())
            break;
    }
    return true;
}
