#include "record/video_recorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <mutex>

namespace {

constexpr AVRational kMillisecond{1, 1000};
constexpr int kNominalFramesPerSecond = 30;
// A key frame, and so a fragment boundary, every half second at the nominal rate.
constexpr int kKeyFrameInterval = 15;
// Largest side the encoders are asked to take.
constexpr int kMaxSide = 8192;

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

AVPixelFormat sourceFormat(PixelLayout layout) {
    return layout == PixelLayout::Rgb24 ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_RGBA;
}

const AVCodec* findEncoder() {
    if (const AVCodec* h264 = avcodec_find_encoder_by_name("libx264")) return h264;
    return avcodec_find_encoder(AV_CODEC_ID_MPEG4);
}

}  // namespace

struct VideoRecorder::Impl {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaler = nullptr;
    int width = 0;   // of the pictures given
    int height = 0;
    std::int64_t lastPts = -1;
    int frames = 0;
    bool finished = false;
    std::string error;

    ~Impl() {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (format) {
            if (format->pb) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    bool fail(const std::string& why) {
        if (error.empty()) error = why;
        return false;
    }

    bool failed(int code, const char* what) {
        return code < 0 ? !fail(std::string(what) + ": " + ffmpegError(code)) : false;
    }

    // Errors of buffered writes only show on the output context.
    bool outputBroken() {
        if (format->pb && format->pb->error < 0) return !fail("cannot write the file: " + ffmpegError(format->pb->error));
        return false;
    }

    bool openEncoder(const AVCodec* encoder) {
        codec = avcodec_alloc_context3(encoder);
        if (!codec) return fail("out of memory");
        // 4:2:0 needs even sides; the odd last row or column is scaled in.
        codec->width = std::max(2, width & ~1);
        codec->height = std::max(2, height & ~1);
        codec->pix_fmt = AV_PIX_FMT_YUV420P;
        codec->time_base = kMillisecond;  // pictures keep the times they were shown at
        codec->framerate = {kNominalFramesPerSecond, 1};
        codec->gop_size = kKeyFrameInterval;
        codec->max_b_frames = 0;
        if (format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (encoder->id == AV_CODEC_ID_H264) {
            // Fast enough to follow a live camera, and no frame held back.
            av_opt_set(codec->priv_data, "preset", "ultrafast", 0);
            av_opt_set(codec->priv_data, "tune", "zerolatency", 0);
            av_opt_set(codec->priv_data, "crf", "23", 0);
        } else {
            codec->flags |= AV_CODEC_FLAG_QSCALE;
            codec->global_quality = FF_QP2LAMBDA * 4;
        }
        return !failed(avcodec_open2(codec, encoder, nullptr), "cannot open the encoder");
    }

    bool openFile(const std::string& path) {
        stream = avformat_new_stream(format, nullptr);
        if (!stream) return fail("out of memory");
        stream->time_base = codec->time_base;
        if (failed(avcodec_parameters_from_context(stream->codecpar, codec), "cannot set up the stream")) return false;
        // The name is a file's, never a URL: "pipe:2", "tcp://..." and "take:1.mp4" are file names.
        const std::string url = "file:" + path;
        AVDictionary* protocols = nullptr;
        av_dict_set(&protocols, "protocol_whitelist", "file", 0);
        const int created = avio_open2(&format->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, &protocols);
        av_dict_free(&protocols);
        if (failed(created, "cannot create the file")) return false;
        // Each fragment goes to the file at once, so a full disk shows at once.
        format->flush_packets = 1;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        const int written = avformat_write_header(format, &options);
        av_dict_free(&options);
        if (failed(written, "cannot write the file")) return false;
        avio_flush(format->pb);
        return !outputBroken();
    }

    bool allocatePictures() {
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (!frame || !packet) return fail("out of memory");
        frame->format = codec->pix_fmt;
        frame->width = codec->width;
        frame->height = codec->height;
        return !failed(av_frame_get_buffer(frame, 0), "out of memory");
    }

    // Sends `picture` (null: the end) to the encoder and writes what comes out.
    bool encode(const AVFrame* picture) {
        if (failed(avcodec_send_frame(codec, picture), "cannot encode")) return false;
        for (;;) {
            const int received = avcodec_receive_packet(codec, packet);
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
            if (failed(received, "cannot encode")) return false;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            const int written = av_interleaved_write_frame(format, packet);
            av_packet_unref(packet);
            if (failed(written, "cannot write the file")) return false;
        }
        return !outputBroken();
    }

    bool convert(const RecordedPicture& picture) {
        scaler = sws_getCachedContext(scaler, width, height, sourceFormat(picture.layout), codec->width,
                                      codec->height, codec->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!scaler) return fail("cannot convert the picture");
        if (failed(av_frame_make_writable(frame), "out of memory")) return false;
        const std::uint8_t* rows[] = {picture.rows};
        const int strides[] = {int(picture.stride)};
        sws_scale(scaler, rows, strides, 0, height, frame->data, frame->linesize);
        return true;
    }
};

std::unique_ptr<VideoRecorder> VideoRecorder::open(const std::string& path, int width, int height,
                                                   std::string& error) {
    // Every failure is reported through `error`; FFmpeg's own chatter on
    // standard error would mix into the command line's output.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
    auto impl = std::make_unique<Impl>();
    impl->width = width;
    impl->height = height;
    const AVCodec* encoder = findEncoder();
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        error = "cannot record pictures of " + std::to_string(width) + "x" + std::to_string(height);
    } else if (!encoder) {
        error = "this FFmpeg has neither an H.264 nor an MPEG-4 encoder";
    } else if (impl->failed(avformat_alloc_output_context2(&impl->format, nullptr, "mp4", path.c_str()),
                            "cannot set up an MP4 file") ||
               !impl->openEncoder(encoder) || !impl->openFile(path) || !impl->allocatePictures()) {
        error = impl->error;
    }
    if (!error.empty()) return nullptr;
    return std::unique_ptr<VideoRecorder>(new VideoRecorder(std::move(impl)));
}

VideoRecorder::VideoRecorder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoRecorder::~VideoRecorder() { finish(); }

bool VideoRecorder::write(const RecordedPicture& picture, std::int64_t timestampMs) {
    Impl& d = *impl_;
    if (!d.error.empty() || d.finished) return d.fail("the recording has ended");
    if (picture.width != d.width || picture.height != d.height)
        return d.fail("the picture size changed from " + std::to_string(d.width) + "x" + std::to_string(d.height) +
                      " to " + std::to_string(picture.width) + "x" + std::to_string(picture.height));
    if (!d.convert(picture)) return false;
    d.lastPts = std::max(timestampMs, d.lastPts + 1);
    d.frame->pts = d.lastPts;
    if (!d.encode(d.frame)) return false;
    ++d.frames;
    return true;
}

bool VideoRecorder::finish() {
    Impl& d = *impl_;
    if (d.finished) return d.error.empty();
    d.finished = true;
    // After a failed write only the trailer is still worth trying.
    const bool drained = d.error.empty() && d.encode(nullptr);
    const int trailer = av_write_trailer(d.format);
    if (drained && !d.failed(trailer, "cannot finish the file")) {
        avio_flush(d.format->pb);  // closing does not report a failed last write
        d.outputBroken();
    }
    const int closed = avio_closep(&d.format->pb);
    if (drained) d.failed(closed, "cannot finish the file");
    return d.error.empty();
}

int VideoRecorder::framesWritten() const { return impl_->frames; }
int VideoRecorder::width() const { return impl_->width; }
int VideoRecorder::height() const { return impl_->height; }
int VideoRecorder::videoWidth() const { return impl_->codec->width; }
int VideoRecorder::videoHeight() const { return impl_->codec->height; }
const char* VideoRecorder::encoderName() const { return impl_->codec->codec->name; }
const std::string& VideoRecorder::error() const { return impl_->error; }
