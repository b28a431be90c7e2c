#include "media/MovieOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/Clock.h"
#include "core/DiskSync.h"
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
constexpr int kIoBufferBytes = 64 * 1024;

std::string secondsText(std::int64_t micros) {
    return formatNumber(micros / 1e6);
}

std::string parentFolder(const std::string& path) {
    auto parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

// The one thread that pushes movie bytes to the disk, so neither a camera
// nor the compositor ever waits for it.
SerialQueue& syncQueue() {
    static SerialQueue queue("talvex.sync");
    return queue;
}

// A new file at path: an older plain file there is replaced; a link, a
// folder or anything else in the way fails the start.
UniqueFd createMovieFile(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        int cause = errno;
        if (cause == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            cause = EISDIR;
        error = "cannot create \"" + path + "\": " + std::strerror(cause);
    }
    return fd;
}

}  // namespace

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

// The movie's file: the descriptor it was created with, the I/O context
// FFmpeg writes through, the length up to its last whole fragment, and its
// pushes to the disk on the sync thread.
class MovieOutput::File {
public:
    File(UniqueFd fd, const std::string& path, bool synced)
        : fd_(std::move(fd)), buffer_(static_cast<unsigned char*>(av_malloc(kIoBufferBytes))) {
        if (buffer_)
            io_ = avio_alloc_context(buffer_, kIoBufferBytes, 1, this, nullptr, &File::write,
                                     &File::seek);
        if (synced) sync_ = std::make_shared<Sync>(fd_.get(), parentFolder(path));
    }
    ~File() { close(false); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    AVIOContext* io() const { return io_; }
    int error() const { return io_ ? io_->error : 0; }
    void markWhole() { wholeBytes_ = avio_tell(io_); }

    void syncIfDue(bool force) {
        if (!sync_ || !io_) return;
        const double now = steadyNow();
        if (!force && now - lastSync_ < kSyncIntervalSeconds) return;
        lastSync_ = now;
        avio_flush(io_);
        if (!sync_->fd || sync_->pending.exchange(true)) return;
        syncQueue().async([sync = sync_] { sync->run(); });
    }

    // A write that failed (a full disk) may have left part of a fragment:
    // `cutBack` cuts the file back to the last whole one, which every player reads.
    void close(bool cutBack) {
        if (io_) {
            avio_flush(io_);
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        } else {
            av_freep(&buffer_);
        }
        buffer_ = nullptr;
        if (cutBack && fd_ && ::ftruncate(fd_.get(), wholeBytes_) != 0)
            logLine("Talvex: cannot cut a movie back to its last whole fragment");
        fd_.reset();
    }

private:
    struct Sync {
        Sync(int fd, std::string folder)
            : fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), folder(std::move(folder)) {}
        void run() {
            pending = false;
            syncFileData(fd.get());
            // The file's name must survive a power cut as well as its bytes.
            if (folderSynced.exchange(true)) return;
            UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir) ::fsync(dir.get());
        }
        UniqueFd fd;
        std::string folder;
        std::atomic<bool> pending{false};
        std::atomic<bool> folderSynced{false};
    };

    static int write(void* opaque, std::uint8_t* data, int size) {
        const int fd = static_cast<File*>(opaque)->fd_.get();
        for (int done = 0; done < size;) {
            const ssize_t n = ::write(fd, data + done, static_cast<std::size_t>(size - done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return AVERROR(errno);
            done += static_cast<int>(n);
        }
        return size;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        const int fd = static_cast<File*>(opaque)->fd_.get();
        if (whence & AVSEEK_SIZE) {
            struct stat st {};
            return ::fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
        }
        const off_t at = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : at;
    }

    UniqueFd fd_;
    unsigned char* buffer_ = nullptr;
    AVIOContext* io_ = nullptr;
    std::shared_ptr<Sync> sync_;
    double lastSync_ = steadyNow();
    std::int64_t wholeBytes_ = 0;
};

MovieOutput::MovieOutput(MovieLines lines) : lines_(std::move(lines)) {}

MovieOutput::~MovieOutput() {
    stop();
}

std::optional<std::string> MovieOutput::start(const std::string& path,
                                              const MovieSettings& settings) {
    stop();
    path_ = path;
    settings_ = settings;
    framesWritten_ = 0;
    firstCaptureMicros_.reset();
    firstError_.reset();
    std::optional<std::string> failure;
    if (auto error = openEncoder()) {
        lines_.started(false, static_cast<int>(Status::failed));
        lines_.startFailed(*error);
        failure = lines_.inputError();
    } else if (auto error = openFile()) {
        lines_.started(false, static_cast<int>(Status::failed));
        lines_.startFailed(*error);
        failure = error;
    }
    if (failure) {
        const bool created = file_ != nullptr;
        close();
        if (created) ::unlink(path_.c_str());
        status_ = Status::failed;
        return failure;
    }
    status_ = Status::writing;
    lines_.started(true, statusNumber());
    return std::nullopt;
}

std::optional<std::string> MovieOutput::openEncoder() {
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
    scaler_ = std::make_unique<FfmpegScaler>(settings_.width, settings_.height);
    return std::nullopt;
}

std::optional<std::string> MovieOutput::openFile() {
    std::string error;
    UniqueFd fd = createMovieFile(path_, error);
    if (!fd) return error;
    file_ = std::make_unique<File>(std::move(fd), path_, settings_.crashSafe);
    if (!file_->io()) return "out of memory";
    output_->pb = file_->io();
    output_->flags |= AVFMT_FLAG_CUSTOM_IO;
    DictionaryPtr options;
    // The index first, so the file is a valid (empty) movie from its first
    // moment, then a fragment per key frame.
    if (settings_.crashSafe)
        setOption(options, "movflags", "frag_keyframe+empty_moov+default_base_moof");
    int result = callWithOptions(
        options, [&](AVDictionary** raw) { return avformat_write_header(output_.get(), raw); });
    for (const auto& [key, value] : optionEntries(options.get()))
        logLine("Talvex: movie option ignored: " + key);
    if (result >= 0) avio_flush(output_->pb);
    if (result >= 0 && file_->error() < 0) result = file_->error();
    if (result < 0)
        return "cannot write the header of \"" + path_ + "\": " + ffmpegErrorText(result);
    file_->markWhole();
    return std::nullopt;
}

bool MovieOutput::ready() {
    if (status_ == Status::writing) return true;
    if (isStarted() && !firstCaptureMicros_) lines_.notReady(statusNumber());
    return false;
}

bool MovieOutput::takesAsItIs(const VideoFrame& image) const {
    return image.format() == AV_PIX_FMT_YUV420P && !image.fullRange() &&
           image.width() == settings_.width && image.height() == settings_.height;
}

void MovieOutput::append(const VideoFrame& frame) {
    if (!ready()) return;
    std::optional<std::string> error;
    if (takesAsItIs(frame)) {
        // The encoder copies the planes into its own picture: no scaling pass.
        if (!passThrough_) passThrough_.reset(av_frame_alloc());
        if (!passThrough_ || av_frame_ref(passThrough_.get(), &frame.picture()) < 0)
            error = "no free picture for the encoder";
        else
            error = encodeAt(*passThrough_, frame.ptsMicros);
        if (passThrough_) av_frame_unref(passThrough_.get());
    } else if (AVFrame* picture = this->picture(); !picture) {
        error = "no free picture for the encoder";
    } else if (!scaler_->scale(frame, *picture, 0)) {
        error = "cannot scale a " + std::to_string(frame.width()) + "x" +
                std::to_string(frame.height()) + " image";
    } else {
        error = encodeAt(*picture, frame.ptsMicros);
    }
    if (error) lines_.appendFailed(statusNumber(), *error);
}

bool MovieOutput::appendPicture(AVFrame& picture, std::int64_t captureMicros) {
    if (status_ != Status::writing) return false;
    auto error = encodeAt(picture, captureMicros);
    if (error) lines_.appendFailed(statusNumber(), *error);
    return !error;
}

AVFrame* MovieOutput::picture() {
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

// Places the picture on the timeline (the first frame taken is time 0) and
// encodes it. A refused first frame leaves the timeline to the next one.
std::optional<std::string> MovieOutput::encodeAt(AVFrame& picture, std::int64_t captureMicros) {
    if (!firstCaptureMicros_) {
        firstCaptureMicros_ = captureMicros;
        lines_.timelineStarted(captureMicros);
    }
    const std::int64_t pts = captureMicros - *firstCaptureMicros_;
    std::optional<std::string> error;
    if (framesWritten_ > 0 && pts <= lastPts_)
        error = "frame time " + secondsText(pts) + " s is not after " + secondsText(lastPts_) +
                " s; frame dropped";
    if (!error) {
        picture.pts = pts;
        picture.pict_type = AV_PICTURE_TYPE_NONE;
        picture.color_range = AVCOL_RANGE_MPEG;
        picture.colorspace = AVCOL_SPC_SMPTE170M;
        if ((error = encode(&picture))) fail(*error);
    }
    if (error) {
        if (framesWritten_ == 0) firstCaptureMicros_.reset();
        return error;
    }
    lastPts_ = pts;
    ++framesWritten_;
    file_->syncIfDue(false);
    return std::nullopt;
}

// Sends one picture (or the end of the stream) and writes every packet the
// encoder has ready; one picture may yield none or several.
std::optional<std::string> MovieOutput::encode(const AVFrame* picture) {
    int result = avcodec_send_frame(encoder_.get(), picture);
    if (result < 0) return "the encoder refused the picture: " + ffmpegErrorText(result);
    for (;;) {
        result = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return std::nullopt;
        if (result < 0) return "the encoder failed: " + ffmpegErrorText(result);
        if (auto error = writePacket()) return error;
    }
}

std::optional<std::string> MovieOutput::writePacket() {
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
        if (file_->error() < 0)
            return "cannot write to \"" + path_ + "\": " + ffmpegErrorText(file_->error());
        file_->markWhole();
    }
    return std::nullopt;
}

void MovieOutput::fail(const std::string& error) {
    if (!firstError_) firstError_ = error;
    status_ = Status::failed;
}

std::optional<MovieResult> MovieOutput::stop() {
    if (!isStarted()) return std::nullopt;
    lines_.stopping(statusNumber());
    MovieResult result = finish();
    lines_.ended(result, statusNumber());
    return result;
}

MovieResult MovieOutput::finish() {
    MovieResult result;
    result.file = std::filesystem::path(path_).filename().string();
    result.framesWritten = framesWritten_;
    if (framesWritten_ == 0) {
        close();
        ::unlink(path_.c_str());
        status_ = Status::cancelled;
        result.code = MovieResult::Code::cancelled;
        return result;
    }
    result.firstFrameTime = *firstCaptureMicros_ / 1e6;
    if (auto error = encode(nullptr)) fail(*error);
    int trailer = av_write_trailer(output_.get());
    if (trailer < 0) fail("cannot finish \"" + path_ + "\": " + ffmpegErrorText(trailer));
    // The trailer may return success although the last fragment's bytes did
    // not reach the file (a disk full at the stop): that movie lost frames.
    const int writeError = file_->error();
    if (writeError < 0) fail("cannot write to \"" + path_ + "\": " + ffmpegErrorText(writeError));
    file_->syncIfDue(true);
    file_->close(writeError < 0 && settings_.crashSafe);
    close();
    status_ = firstError_ ? Status::failed : Status::completed;
    if (firstError_) {
        result.code = MovieResult::Code::failed;
        result.lastError = *firstError_;
    }
    return result;
}

void MovieOutput::close() {
    // The I/O context is the file's, not the muxer's to close.
    if (output_) output_->pb = nullptr;
    output_.reset();
    encoder_.reset();
    file_.reset();
    framePool_.clear();
    passThrough_.reset();
}

}  // namespace talvex
