#include "playback_thread.h"

#include "console.h"
#include "lumivarexwindow.h"
#include "shared_state.h"
#include "picture_handover.h"

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// After a failed read (end of input, or a read error) the loop waits this long before trying
// again, instead of spinning on a core until stop.
constexpr int kRetryAfterFailedReadMs = 10;
constexpr int kPauseStepMs = 50;

// Opens a decoder for the stream with its parameters; null when there is no decoder.
struct Decoder {
    AVCodecContext* context = nullptr;
    ~Decoder() { avcodec_free_context(&context); }
};

// Opens a decoder for the stream, filled from the stream's parameters. On failure prints the
// line for the stream's kind ("could not find <kind> decoder!" or "could not open <kind>
// codec!") and returns false.
bool openDecoder(const AVStream* stream, const char* kind, Decoder* decoder) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        printErr("could not find %s decoder!\n", kind);
        return false;
    }
    decoder->context = avcodec_alloc_context3(codec);
    if (!decoder->context ||
        avcodec_parameters_to_context(decoder->context, stream->codecpar) < 0 ||
        avcodec_open2(decoder->context, codec, nullptr) < 0) {
        printErr("could not open %s codec!\n", kind);
        return false;
    }
    return true;
}

struct Input {
    AVFormatContext* format = nullptr;
    ~Input() { avformat_close_input(&format); }
};

class Player {
public:
    Player(const PlaybackOptions& options) : options_(options) {}
    ~Player() {
        av_frame_free(&picture_);
        av_frame_free(&samples_);
        av_packet_free(&packet_);
    }

    long run(const char* fileName);

private:
    bool open(const char* fileName);
    void decodeVideo(const AVPacket* packet);
    void decodeAudio(const AVPacket* packet);
    void drainVideo();
    void receivePictures();
    void handOver(const AVFrame& frame);
    bool stopRequested() const { return g_stopPlayback.load(std::memory_order_acquire); }

    const PlaybackOptions& options_;
    Input input_;
    int videoIndex_ = -1, audioIndex_ = -1;
    Decoder video_, audio_;
    AVFrame* picture_ = nullptr;
    AVFrame* samples_ = nullptr;
    AVPacket* packet_ = nullptr;
    PictureHandover handover_;
    long pictures_ = 0;
};

bool Player::open(const char* fileName) {
    // Local files only. The "file:" prefix makes a name such as "tcp:host:port" the file of
    // that name, and the whitelist keeps playlists inside a file from reaching other protocols.
    const std::string name = std::string("file:") + fileName;
    AVDictionary* openOptions = nullptr;
    av_dict_set(&openOptions, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&input_.format, name.c_str(), nullptr, &openOptions);
    av_dict_free(&openOptions);
    if (opened < 0) {
        printErr("avformat open failed.\n");
        return false;
    }
    printOut("open stream success!\n");

    if (avformat_find_stream_info(input_.format, nullptr) < 0) {
        printErr("could not fine stream.\n");
        return false;
    }
    av_dump_format(input_.format, 0, "", 0);

    for (unsigned i = 0; i < input_.format->nb_streams; ++i) {
        const AVMediaType type = input_.format->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && videoIndex_ == -1)
            videoIndex_ = int(i);
        else if (type == AVMEDIA_TYPE_AUDIO && audioIndex_ == -1)
            audioIndex_ = int(i);
    }
    if (videoIndex_ == -1) {
        printErr("videoindex=%d, audioindex=%d\n", videoIndex_, audioIndex_);
        return false;
    }

    // Audio first: a file whose audio cannot be decoded does not play at all.
    if (audioIndex_ != -1 && !openDecoder(input_.format->streams[audioIndex_], "audio", &audio_))
        return false;
    if (!openDecoder(input_.format->streams[videoIndex_], "video", &video_))
        return false;

    picture_ = av_frame_alloc();
    samples_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    return picture_ && samples_ && packet_;
}

void Player::handOver(const AVFrame& frame) {
    ++pictures_;
    olm_vout_t* vout = options_.present ? currentVout() : nullptr;
    if (vout)
        handover_.put(vout, frame,
                      av_guess_sample_aspect_ratio(input_.format,
                                                   input_.format->streams[videoIndex_],
                                                   const_cast<AVFrame*>(&frame)));
    if (options_.pace)
        sleepMs(g_frameIntervalMs.load(std::memory_order_relaxed));
}

// One packet may complete several pictures; each is shown and followed by its pause.
void Player::receivePictures() {
    while (avcodec_receive_frame(video_.context, picture_) >= 0) {
        handOver(*picture_);
        if (stopRequested())
            return;
    }
}

void Player::decodeVideo(const AVPacket* packet) {
    avcodec_send_packet(video_.context, packet); // errors of single packets are not fatal
    receivePictures();
}

void Player::decodeAudio(const AVPacket* packet) {
    avcodec_send_packet(audio_.context, packet);
    while (avcodec_receive_frame(audio_.context, samples_) >= 0) {
        // decoded and discarded
    }
}

// At the end of the input the decoder may still hold delayed pictures: show them, then reset
// the decoder so that reading can resume should the input grow.
void Player::drainVideo() {
    avcodec_send_packet(video_.context, nullptr);
    receivePictures();
    avcodec_flush_buffers(video_.context);
}

long Player::run(const char* fileName) {
    if (!open(fileName))
        return pictures_;
    g_paused.store(false);

    bool paused = false;
    bool drained = false;
    for (;;) {
        if (paused) {
            sleepMs(kPauseStepMs);
        } else if (av_read_frame(input_.format, packet_) < 0) {
            if (!drained) {
                drainVideo();
                drained = true;
                if (options_.endAtEnd)
                    break;
            }
            sleepMs(kRetryAfterFailedReadMs);
        } else {
            drained = false;
            if (packet_->stream_index == videoIndex_)
                decodeVideo(packet_);
            else if (packet_->stream_index == audioIndex_)
                decodeAudio(packet_);
            av_packet_unref(packet_);
        }
        if (stopRequested())
            break;
        paused = g_paused.load(std::memory_order_acquire);
    }
    return pictures_;
}

} // namespace

long playFile(const char* fileName, const PlaybackOptions& options) {
    Player player(options);
    return player.run(fileName);
}

void* playbackThread(void* window) {
    playFile(static_cast<LumivarexWindow*>(window)->fileName);
    return nullptr;
}

void stopPlaybackThread() {
    endWorker(g_playbackThread, g_stopPlayback, true);
}
