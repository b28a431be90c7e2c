#include "MjpegEncoder.h"

#include <stdexcept>

extern "C" {
#include <libavutil/opt.h>
}

namespace webcam {
namespace {

constexpr int kQuality = 5;  // qscale: a webcam's JPEG, neither tiny nor huge

}  // namespace

MjpegEncoder::MjpegEncoder(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!context_ || !frame_ || !packet_) throw std::runtime_error("no MJPEG encoder");
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_YUVJ422P;
    context_->color_range = AVCOL_RANGE_JPEG;
    context_->time_base = {1, 30};
    context_->flags |= AV_CODEC_FLAG_QSCALE;
    context_->global_quality = FF_QP2LAMBDA * kQuality;
    av_opt_set(context_->priv_data, "huffman", "default", 0);
    frame_->width = width;
    frame_->height = height;
    frame_->format = AV_PIX_FMT_YUVJ422P;
    frame_->quality = context_->global_quality;
    if (avcodec_open2(context_, codec, nullptr) < 0 || av_frame_get_buffer(frame_, 0) < 0)
        throw std::runtime_error("cannot open the MJPEG encoder");
}

MjpegEncoder::~MjpegEncoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

const std::vector<std::uint8_t>& MjpegEncoder::encode() {
    jpeg_.clear();
    frame_->pts = pts_++;
    if (avcodec_send_frame(context_, frame_) < 0) return jpeg_;
    if (avcodec_receive_packet(context_, packet_) == 0) {
        jpeg_ = stripHuffmanTables(packet_->data, static_cast<std::size_t>(packet_->size));
        av_packet_unref(packet_);
    }
    return jpeg_;
}

// Segments up to the start of scan; the entropy-coded data follows it unchanged.
std::vector<std::uint8_t> stripHuffmanTables(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint8_t kDht = 0xC4, kCom = 0xFE, kSos = 0xDA;
    std::vector<std::uint8_t> out(data, data + std::min<std::size_t>(2, size));
    std::size_t at = 2;
    while (at + 4 <= size && data[at] == 0xFF) {
        const std::uint8_t marker = data[at + 1];
        if (marker == kSos) break;
        const std::size_t length = 2 + (std::size_t{data[at + 2]} << 8 | data[at + 3]);
        if (marker != kDht && marker != kCom)
            out.insert(out.end(), data + at, data + std::min(size, at + length));
        at += length;
    }
    if (at < size) out.insert(out.end(), data + at, data + size);
    return out;
}

}  // namespace webcam
