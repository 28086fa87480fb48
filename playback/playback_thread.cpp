#include "playback_thread.h"

#include "console.h"
#include "decode_loop.h"
#include "lumivarexwindow.h"
#include "picture_handover.h"
#include "shared_state.h"

#include <exception>
#include <new>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

const char* kindName(AVMediaType type) {
    return type == AVMEDIA_TYPE_AUDIO ? "audio" : "video";
}

// Opens the stream's decoder; on failure prints the line for the stream's kind ("could not find
// <kind> decoder!" or "could not open <kind> codec!") and returns null.
AVCodecContext* openOrSay(const AVStream& stream) {
    AVCodecContext* context = nullptr;
    const char* kind = kindName(stream.codecpar->codec_type);
    switch (openDecoder(stream, &context)) {
    case DecoderFailure::None:
        break;
    case DecoderFailure::NotFound:
        printErr("could not find %s decoder!\n", kind);
        break;
    case DecoderFailure::NoContext:
    case DecoderFailure::NotOpened:
        printErr("could not open %s codec!\n", kind);
        break;
    }
    return context;
}

class Player {
public:
    explicit Player(const PlaybackOptions& options)
        : options_(options), handover_(options.byReference) {}
    ~Player() {
        avcodec_free_context(&video_);
        avcodec_free_context(&audio_);
        avformat_close_input(&format_);
    }

    long run(const char* fileName);

private:
    bool open(const char* fileName);
    bool handOver(const AVFrame& frame);

    const PlaybackOptions& options_;
    AVFormatContext* format_ = nullptr;
    StreamChoice streams_;
    int streamRotation_ = 0; // the video track's turn for display
    AVCodecContext* video_ = nullptr;
    AVCodecContext* audio_ = nullptr;
    PictureHandover handover_;
    long pictures_ = 0;
};

bool Player::open(const char* fileName) {
    // Local files only. The "file:" prefix makes a name such as "tcp:host:port" the file of
    // that name, and the whitelist keeps playlists inside a file from reaching other protocols.
    const std::string name = std::string("file:") + fileName;
    AVDictionary* openOptions = nullptr;
    av_dict_set(&openOptions, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&format_, name.c_str(), nullptr, &openOptions);
    av_dict_free(&openOptions);
    if (opened < 0) {
        printErr("avformat open failed.\n");
        return false;
    }
    printOut("open stream success!\n");

    if (avformat_find_stream_info(format_, nullptr) < 0) {
        printErr("could not fine stream.\n");
        return false;
    }
    av_dump_format(format_, 0, "", 0);

    streams_ = chooseStreams(*format_);
    if (streams_.video == -1) {
        printErr("videoindex=%d, audioindex=%d\n", streams_.video, streams_.audio);
        return false;
    }
    // Audio first: a file whose audio cannot be decoded does not play at all.
    if (streams_.audio != -1 && !(audio_ = openOrSay(*format_->streams[streams_.audio])))
        return false;
    streamRotation_ = streamRotation(*format_->streams[streams_.video]);
    return (video_ = openOrSay(*format_->streams[streams_.video])) != nullptr;
}

// False when the picture could not be handed over for want of memory.
bool Player::handOver(const AVFrame& frame) {
    ++pictures_;
    olm_vout_t* vout = options_.present ? currentVout() : nullptr;
    if (vout) {
        AVStream* stream = format_->streams[streams_.video];
        FrameDisplay display;
        display.sampleAspect =
            av_guess_sample_aspect_ratio(format_, stream, const_cast<AVFrame*>(&frame));
        display.rotation = pictureRotation(frame, streamRotation_);
        if (!handover_.put(vout, frame, display))
            return false;
    }
    if (options_.pace)
        sleepMs(g_frameIntervalMs.load(std::memory_order_relaxed));
    return true;
}

long Player::run(const char* fileName) {
    if (!open(fileName))
        return pictures_;
    g_paused.store(false);

    ReadLoop::Options loopOptions;
    loopOptions.stop = &g_stopPlayback;
    loopOptions.paused = &g_paused;
    loopOptions.endAtEnd = options_.endAtEnd;
    loopOptions.reportReadError = [](int error) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, text, sizeof text);
        printErr("read failed: %s\n", text);
    };
    ReadLoop loop(std::move(loopOptions));
    loop.decodeStream(
        streams_.video, video_, [this](const AVFrame& frame) { return handOver(frame); }, true);
    if (audio_)
        loop.decodeStream(streams_.audio, audio_, nullptr, false); // decoded and discarded
    if (!loop.run(format_))
        printErr("out of memory!\n");
    return pictures_;
}

} // namespace

long playFile(const char* fileName, const PlaybackOptions& options) {
    Player player(options);
    return player.run(fileName);
}

void* playbackThread(void* window) {
    // Nothing may leave a thread's function: an exception there would end the whole program.
    try {
        playFile(static_cast<LumivarexWindow*>(window)->fileName);
    } catch (const std::bad_alloc&) {
        printErr("out of memory!\n");
    } catch (const std::exception& e) {
        printErr("playback failed: %s\n", e.what());
    }
    return nullptr;
}

void stopPlaybackThread() {
    endWorker(g_playbackThread, g_stopPlayback, true);
}
