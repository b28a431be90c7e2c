#include "media/MovieWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "core/Clock.h"
#include "core/DiskSync.h"
#include "core/FileUtil.h"
#include "core/Log.h"
#include "core/NumberFormat.h"
#include "core/SerialQueue.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace talvex {

namespace {

constexpr std::size_t kMaxPooledFrames = 3;
// Well inside the two seconds a power cut may cost.
constexpr double kSyncIntervalSeconds = 1.0;

std::string secondsText(std::int64_t micros) {
    return formatNumber(micros / 1e6);
}

std::string parentFolder(const std::string& path) {
    auto parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

}  // namespace

RecordingError startError(const MovieOpenError& error, int code, const std::string& message) {
    if (error.stage == MovieOpenError::Stage::encoder)
        return RecordingError{"Talvex", code, message};
    return RecordingError{"FFmpeg", 0, error.text};
}

CodecContextPtr openH264Encoder(const MovieSettings& settings, bool globalHeader,
                                std::string& error) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        error = "the H.264 encoder libx264 is not available";
        return nullptr;
    }
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    if (!encoder) {
        error = "out of memory";
        return nullptr;
    }
    encoder->width = settings.width;
    encoder->height = settings.height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = kMicroseconds;
    // Rate control needs the nominal rate; the times themselves are the capture clock's.
    encoder->framerate = AVRational{settings.fps, 1};
    encoder->gop_size = settings.fps;
    encoder->bit_rate = settings.bitRate;
    // Camera YUV goes in with its own BT.601 matrix, in the video range, and
    // the stream says so; the primaries are the sRGB/BT.709 ones of webcams.
    encoder->color_range = AVCOL_RANGE_MPEG;
    encoder->color_primaries = AVCOL_PRI_BT709;
    encoder->color_trc = AVCOL_TRC_BT709;
    encoder->colorspace = AVCOL_SPC_SMPTE170M;
    av_opt_set(encoder->priv_data, "preset", settings.preset.c_str(), 0);
    av_opt_set(encoder->priv_data, "profile", "high", 0);
    // Pictures leave the encoder in capture order: the movie's index, written
    // before the first picture, then needs no edit list to start at time 0.
    encoder->max_b_frames = 0;
    if (globalHeader) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int result = avcodec_open2(encoder.get(), codec, nullptr);
    if (result < 0) {
        error = "cannot open the H.264 encoder: " + ffmpegErrorText(result);
        return nullptr;
    }
    return encoder;
}

// Pushes the movie's written bytes to the disk on a thread of its own, so
// neither a capture thread nor the encoder waits for the disk.
class MovieWriter::DiskSync {
public:
    explicit DiskSync(const std::string& path)
        : file_(std::make_shared<File>(path)),
          queue_(std::make_shared<SerialQueue>("talvex.sync")) {}

    ~DiskSync() {
        // The queue's last task takes the last reference, so a pending sync
        // finishes on its own thread and nobody here waits for the disk.
        queue_->async([queue = queue_] {});
    }

    bool ready() const { return static_cast<bool>(file_->fd); }

    void request() {
        if (file_->pending.exchange(true)) return;
        queue_->async([file = file_] {
            file->pending = false;
            syncFileData(file->fd.get());
            // The file's name must survive a power cut as well as its bytes.
            if (file->folderSynced.exchange(true)) return;
            UniqueFd folder(::open(file->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (folder) ::fsync(folder.get());
        });
    }

private:
    struct File {
        explicit File(const std::string& path)
            : fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC)), folder(parentFolder(path)) {}
        UniqueFd fd;
        std::string folder;
        std::atomic<bool> pending{false};
        std::atomic<bool> folderSynced{false};
    };

    std::shared_ptr<File> file_;
    std::shared_ptr<SerialQueue> queue_;
};

MovieWriter::MovieWriter(std::string path, MovieSettings settings)
    : path_(std::move(path)),
      settings_(std::move(settings)),
      scaler_(settings_.width, settings_.height) {}

MovieWriter::~MovieWriter() {
    if (status() == MovieStatus::writing || status() == MovieStatus::failed) finish();
}

std::optional<MovieOpenError> MovieWriter::open() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    if (auto error = openEncoder()) {
        status_ = MovieStatus::failed;
        encoder_.reset();
        output_.reset();
        return MovieOpenError{MovieOpenError::Stage::encoder, *error};
    }
    if (auto error = openFile()) {
        status_ = MovieStatus::failed;
        encoder_.reset();
        output_.reset();
        std::filesystem::remove(path_, ignored);
        return MovieOpenError{MovieOpenError::Stage::file, *error};
    }
    status_ = MovieStatus::writing;
    lastSync_ = steadyNow();
    return std::nullopt;
}

std::optional<std::string> MovieWriter::openEncoder() {
    AVFormatContext* output = nullptr;
    int result = avformat_alloc_output_context2(&output, nullptr, "mp4", path_.c_str());
    if (result < 0) return "cannot set up the MP4 muxer: " + ffmpegErrorText(result);
    output_.reset(output);
    stream_ = avformat_new_stream(output_.get(), nullptr);
    packet_.reset(av_packet_alloc());
    if (!stream_ || !packet_) return "out of memory";
    std::string error;
    encoder_ = openH264Encoder(settings_, output_->oformat->flags & AVFMT_GLOBALHEADER, error);
    if (!encoder_) return error;
    result = avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
    if (result < 0) return "cannot describe the video stream: " + ffmpegErrorText(result);
    stream_->time_base = encoder_->time_base;
    return std::nullopt;
}

std::optional<std::string> MovieWriter::openFile() {
    int result = avio_open(&output_->pb, path_.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) return "cannot create \"" + path_ + "\": " + ffmpegErrorText(result);
    DictionaryPtr options;
    // The index first, so the file is a valid (empty) movie from its first
    // moment, then a fragment per key frame.
    if (settings_.crashSafe)
        setOption(options, "movflags", "frag_keyframe+empty_moov+default_base_moof");
    result = callWithOptions(
        options, [&](AVDictionary** raw) { return avformat_write_header(output_.get(), raw); });
    for (const auto& [key, value] : optionEntries(options.get()))
        logLine("Talvex: movie option ignored: " + key);
    if (result < 0)
        return "cannot write the header of \"" + path_ + "\": " + ffmpegErrorText(result);
    avio_flush(output_->pb);
    if (output_->pb->error < 0)
        return "cannot write the header of \"" + path_ +
               "\": " + ffmpegErrorText(output_->pb->error);
    completeBytes_ = avio_tell(output_->pb);
    if (settings_.crashSafe) {
        diskSync_ = std::make_unique<DiskSync>(path_);
        if (!diskSync_->ready()) {
            logLine("Talvex: cannot open \"" + path_ + "\" for syncing; it reaches the disk later");
            diskSync_.reset();
        }
    }
    return std::nullopt;
}

AVFrame* MovieWriter::acquireFrame() {
    for (auto& frame : framePool_)
        if (av_frame_is_writable(frame.get())) return frame.get();
    if (framePool_.size() < kMaxPooledFrames) {
        FramePtr frame(av_frame_alloc());
        if (!frame) return nullptr;
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = settings_.width;
        frame->height = settings_.height;
        if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
        framePool_.push_back(std::move(frame));
        return framePool_.back().get();
    }
    // Every pooled picture is still held by the encoder: give one its own copy.
    AVFrame* frame = framePool_.front().get();
    return av_frame_make_writable(frame) < 0 ? nullptr : frame;
}

std::optional<std::string> MovieWriter::checkTime(std::int64_t ptsMicros) const {
    if (status() != MovieStatus::writing)
        return "the movie is not being written (status " +
               std::to_string(static_cast<int>(status())) + ")";
    if (framesAppended() > 0 && ptsMicros <= lastPts_)
        return "frame time " + secondsText(ptsMicros) + " s is not after " + secondsText(lastPts_) +
               " s; frame dropped";
    return std::nullopt;
}

std::optional<std::string> MovieWriter::append(AVFrame& picture, std::int64_t ptsMicros) {
    if (auto refusal = checkTime(ptsMicros)) return refusal;
    picture.pts = ptsMicros;
    picture.pict_type = AV_PICTURE_TYPE_NONE;
    picture.color_range = AVCOL_RANGE_MPEG;
    picture.colorspace = AVCOL_SPC_SMPTE170M;
    if (auto error = encode(&picture)) {
        fail(*error);
        return error;
    }
    lastPts_ = ptsMicros;
    ++framesAppended_;
    syncIfDue(false);
    return std::nullopt;
}

bool MovieWriter::takesAsItIs(const VideoFrame& image) const {
    return image.format() == AV_PIX_FMT_YUV420P && !image.fullRange() &&
           image.width() == settings_.width && image.height() == settings_.height;
}

std::optional<std::string> MovieWriter::appendImage(const VideoFrame& image,
                                                    std::int64_t ptsMicros) {
    if (auto refusal = checkTime(ptsMicros)) return refusal;
    if (takesAsItIs(image)) {
        // The encoder copies the planes into its own picture: no scaling pass.
        if (!passThrough_) passThrough_.reset(av_frame_alloc());
        if (!passThrough_ || av_frame_ref(passThrough_.get(), &image.picture()) < 0)
            return std::string("no free picture for the encoder");
        auto result = append(*passThrough_, ptsMicros);
        av_frame_unref(passThrough_.get());
        return result;
    }
    AVFrame* picture = acquireFrame();
    if (!picture) return std::string("no free picture for the encoder");
    if (!scaler_.scale(image, *picture, 0))
        return "cannot scale a " + std::to_string(image.width()) + "x" +
               std::to_string(image.height()) + " image";
    return append(*picture, ptsMicros);
}

// Sends one picture (or the end of the stream) and writes every packet the
// encoder has ready; one picture may yield none or several.
std::optional<std::string> MovieWriter::encode(const AVFrame* picture) {
    int result = avcodec_send_frame(encoder_.get(), picture);
    if (result < 0) return "the encoder refused the picture: " + ffmpegErrorText(result);
    for (;;) {
        result = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return std::nullopt;
        if (result < 0) return "the encoder failed: " + ffmpegErrorText(result);
        if (auto error = writePacket()) return error;
    }
}

std::optional<std::string> MovieWriter::writePacket() {
    AVPacket& packet = *packet_;
    // Only the last picture's duration is not known from the next one's time.
    if (packet.duration == 0)
        packet.duration = av_rescale_q(1, AVRational{1, settings_.fps}, kMicroseconds);
    av_packet_rescale_ts(&packet, encoder_->time_base, stream_->time_base);
    packet.stream_index = stream_->index;
    const bool key = packet.flags & AV_PKT_FLAG_KEY;
    int result = av_interleaved_write_frame(output_.get(), &packet);
    if (result < 0) return "cannot write to \"" + path_ + "\": " + ffmpegErrorText(result);
    // A key frame closes the previous fragment: hand it to the system now,
    // so a killed process loses only the fragment in progress.
    if (key && settings_.crashSafe) {
        avio_flush(output_->pb);
        if (output_->pb->error < 0)
            return "cannot write to \"" + path_ + "\": " + ffmpegErrorText(output_->pb->error);
        completeBytes_ = avio_tell(output_->pb);
    }
    return std::nullopt;
}

void MovieWriter::syncIfDue(bool force) {
    if (!diskSync_) return;
    double now = steadyNow();
    if (!force && now - lastSync_ < kSyncIntervalSeconds) return;
    lastSync_ = now;
    avio_flush(output_->pb);
    diskSync_->request();
}

void MovieWriter::fail(const std::string& error) {
    if (!firstError_) firstError_ = error;
    status_ = MovieStatus::failed;
}

std::optional<std::string> MovieWriter::finish() {
    if (!output_ || !encoder_) return firstError_;
    if (auto error = encode(nullptr)) fail(*error);
    int result = av_write_trailer(output_.get());
    if (result < 0) fail("cannot finish \"" + path_ + "\": " + ffmpegErrorText(result));
    // The trailer may return success although the last fragment's bytes did
    // not reach the file (a disk full at the stop): that movie lost frames.
    const int writeError = output_->pb ? output_->pb->error : 0;
    if (writeError < 0) fail("cannot write to \"" + path_ + "\": " + ffmpegErrorText(writeError));
    const bool torn = writeError < 0;
    syncIfDue(true);
    closeFile();
    // A write that failed (a full disk) may have left part of a fragment:
    // cut the file back to the last whole one, which every player reads.
    if (torn && settings_.crashSafe && ::truncate(path_.c_str(), completeBytes_) != 0)
        logLine("Talvex: cannot cut \"" + path_ + "\" back to its last whole fragment");
    if (!firstError_) status_ = MovieStatus::completed;
    return firstError_;
}

void MovieWriter::cancel() {
    const bool created = output_ != nullptr;
    closeFile();
    if (created) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    status_ = MovieStatus::cancelled;
}

void MovieWriter::closeFile() {
    diskSync_.reset();
    output_.reset();
    encoder_.reset();
    framePool_.clear();
    passThrough_.reset();
}

}  // namespace talvex
