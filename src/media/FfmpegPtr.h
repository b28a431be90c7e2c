#pragma once

// One owner per FFmpeg handle, each freed by its matching function, and the
// library's own error text.

#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace talvex {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsContextDeleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct InputContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct DictionaryDeleter {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
// An output context also owns the file it opened.
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const {
        if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

// The time base of every capture and movie time stamp.
inline constexpr AVRational kMicroseconds{1, 1'000'000};

inline void setOption(DictionaryPtr& options, const char* key, const std::string& value) {
    AVDictionary* raw = options.release();
    av_dict_set(&raw, key, value.c_str(), 0);
    options.reset(raw);
}

// Runs an FFmpeg call that takes the options and leaves in them the ones it
// did not use.
template <typename Call>
int callWithOptions(DictionaryPtr& options, Call&& call) {
    AVDictionary* raw = options.release();
    int result = std::forward<Call>(call)(&raw);
    options.reset(raw);
    return result;
}

inline std::vector<std::pair<std::string, std::string>> optionEntries(const AVDictionary* options) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const AVDictionaryEntry* e = nullptr;
         (e = av_dict_get(options, "", e, AV_DICT_IGNORE_SUFFIX));)
        entries.emplace_back(e->key, e->value);
    return entries;
}

inline std::string ffmpegErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

// The libraries' own chatter (x264's option banner per movie) stays off the
// station's output; errors still show.
inline void quietMediaLibraryLogs() {
    av_log_set_level(AV_LOG_ERROR);
}

}  // namespace talvex
