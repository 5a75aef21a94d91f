#include "capture/video_file_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}


namespace {

constexpr double kDefaultFramesPerSecond = 30.0;
constexpr double kMaxFramesPerSecond = 240.0;
// A gap between two timestamps longer than this is taken for a broken timestamp,
// not for a picture held that long.
constexpr double kMaxPictureDelaySeconds = 5.0;
// Bounds that keep a hostile file from spinning the decoder forever: packets read
// without a picture coming out, and decoder errors in a row.
constexpr int kMaxPacketsWithoutPicture = 5000;
constexpr int kMaxDecodeErrorsInARow = 500;
constexpr std::size_t kIoBufferBytes = 32 * 1024;
// The fuzz helper scales to at most this, so that huge pictures stay cheap.
constexpr int kReportMaxWidth = 640;
constexpr int kReportMaxHeight = 480;

std::string ffmpegErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The containers read: playlists and other formats that open further inputs
// (concat, HLS, image sequences) could reach a FIFO or device and hang. Sound
// files are read only to say that they hold no video.
constexpr const char* kReadableContainers =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpegts,mpeg,flv,ogg,asf,gif,yuv4mpegpipe,h264,hevc,m4v,mjpeg,"
    "dv,nut,ivf,wav,mp3,flac,aac,aiff,w64";

std::string openErrorText(int code) {
    if (code == AVERROR_INVALIDDATA)
        return "not a video file, or a damaged one";
    if (code == AVERROR(EINVAL))  // a container outside kReadableContainers
        return "not a kind of video file this program reads (MP4, Matroska, AVI, MPEG and the like)";
    if (code == AVERROR_EOF)
        return "the file is truncated";
    if (code == AVERROR(ENOMEM))
        return "the file is damaged (it asks for more memory than there is)";
    return ffmpegErrorText(code);
}

// FFmpeg reports every damaged packet on stderr; at 30 pictures a second that
// buries everything else. The source says what matters itself.
void quietenFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

bool sideInRange(int side) {
    return side >= 1 && side <= VideoFileDecoder::kMaxSide;
}

}  // namespace

FittedArea fitPicture(double displayWidth, double displayHeight, int outWidth, int outHeight) {
    FittedArea area{0, 0, outWidth, outHeight};
    if (!(displayWidth > 0.0 && displayHeight > 0.0))
        return area;
    const double fittedWidth = outHeight * displayWidth / displayHeight;
    if (fittedWidth < outWidth - 0.5) {
        area.width = std::clamp(static_cast<int>(std::lround(fittedWidth)), 1, outWidth);
        area.x = (outWidth - area.width) / 2;
        return area;
    }
    const double fittedHeight = outWidth * displayHeight / displayWidth;
    if (fittedHeight < outHeight - 0.5) {
        area.height = std::clamp(static_cast<int>(std::lround(fittedHeight)), 1, outHeight);
        area.y = (outHeight - area.height) / 2;
    }
    return area;
}

struct VideoFileDecoder::State {
    enum class Step { Picture, EndOfFile, Fatal };

    // Where the bytes come from: a file, or a buffer read through callbacks.
    std::string path;
    std::vector<std::uint8_t> bytes;
    std::int64_t bytesPosition = 0;
    std::string label;  // how messages name the input

    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;  // only for bytes in memory
    AVCodecContext* codec = nullptr;
    int streamIndex = -1;
    AVRational timeBase{0, 1};
    std::int64_t streamStart = 0;
    double framesPerSecond = kDefaultFramesPerSecond;

    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    bool pictureWaiting = false;  // `frame` holds a picture not handed out yet
    bool draining = false;        // the end of the file was sent to the codec

    SwsContext* scaler = nullptr;
    std::uint8_t* output[4] = {};
    int outputStride[4] = {};
    int outputWidth = 0;
    int outputHeight = 0;
    FittedArea outputArea;  // where the pictures go; black outside

    int firstWidth = 0;
    int firstHeight = 0;
    std::int64_t previousTimestamp = AV_NOPTS_VALUE;
    int picturesThisPass = 0;
    int rewinds = 0;
    const std::atomic<bool>* interrupt = nullptr;
    std::string error;

    ~State() {
        closeInput();
        sws_freeContext(scaler);
        av_freep(&output[0]);
        av_packet_free(&packet);
        av_frame_free(&frame);
    }

    bool fail(const std::string& why) {
        error = "Could not play " + label + ": " + why;
        return false;
    }

    bool interrupted() const { return interrupt != nullptr && interrupt->load(); }

    static int readBytes(void* opaque, std::uint8_t* buffer, int size) {
        auto* self = static_cast<State*>(opaque);
        const std::int64_t left = static_cast<std::int64_t>(self->bytes.size()) - self->bytesPosition;
        if (left <= 0 || size <= 0)
            return AVERROR_EOF;
        const int count = static_cast<int>(std::min<std::int64_t>(left, size));
        std::memcpy(buffer, self->bytes.data() + self->bytesPosition, static_cast<std::size_t>(count));
        self->bytesPosition += count;
        return count;
    }

    static std::int64_t seekBytes(void* opaque, std::int64_t offset, int whence) {
        auto* self = static_cast<State*>(opaque);
        const auto size = static_cast<std::int64_t>(self->bytes.size());
        if (whence & AVSEEK_SIZE)
            return size;
        std::int64_t base = 0;
        switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET: base = 0; break;
        case SEEK_CUR: base = self->bytesPosition; break;
        case SEEK_END: base = size; break;
        default: return AVERROR(EINVAL);
        }
        // Offsets come straight from the file: add without overflowing.
        std::int64_t target = 0;
        if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size)
            return AVERROR(EINVAL);
        self->bytesPosition = target;
        return target;
    }

    static int interruptRequested(void* opaque) {
        return static_cast<State*>(opaque)->interrupted() ? 1 : 0;
    }

    void closeInput() {
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        streamIndex = -1;
        pictureWaiting = false;
        draining = false;
    }

    // Opens the container and the video decoder; no picture yet.
    bool openInput() {
        format = avformat_alloc_context();
        if (format == nullptr)
            return fail("out of memory");
        format->interrupt_callback = {&State::interruptRequested, this};
        AVDictionary* options = nullptr;
        // Playlist-like formats open further inputs; never let a file reach the
        // network or anything but plain files (nothing at all for memory).
        av_dict_set(&options, "protocol_whitelist", path.empty() ? "none" : "file", 0);
        format->format_whitelist = av_strdup(kReadableContainers);
        std::string url;
        if (path.empty()) {
            bytesPosition = 0;
            auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferBytes));
            io = buffer == nullptr ? nullptr
                                   : avio_alloc_context(buffer, static_cast<int>(kIoBufferBytes), 0, this,
                                                        &State::readBytes, nullptr, &State::seekBytes);
            if (io == nullptr) {
                av_free(buffer);
                av_dict_free(&options);
                return fail("out of memory");
            }
            format->pb = io;
        } else {
            // "file:" keeps a colon in the name from being read as a protocol.
            url = "file:" + path;
        }
        const int opened = avformat_open_input(&format, path.empty() ? nullptr : url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (opened < 0) {
            format = nullptr;  // freed by avformat_open_input
            return fail(openErrorText(opened));
        }
        // Probing decodes pictures: a declared size beyond the limit is refused first.
        if (!declaredSizesInRange()) return false;
        if (avformat_find_stream_info(format, nullptr) < 0)
            return fail("the file is damaged (no stream information)");
        return openVideoStream();
    }

    bool declaredSizesInRange() {
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            const AVCodecParameters* parameters = format->streams[i]->codecpar;
            if (parameters->codec_type == AVMEDIA_TYPE_VIDEO &&
                (parameters->width > kMaxSide || parameters->height > kMaxSide))
                return picturesTooLarge(parameters);
        }
        return true;
    }

    bool picturesTooLarge(const AVCodecParameters* parameters) {
        return fail("its pictures are too large (" + std::to_string(parameters->width) + " x " +
                    std::to_string(parameters->height) + ", at most " + std::to_string(kMaxSide) + " per side)");
    }

    bool openVideoStream() {
        const AVCodec* decoder = nullptr;
        const int found = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (found == AVERROR_DECODER_NOT_FOUND)
            return fail("its video format is unknown or the file is damaged");
        if (found < 0 || (format->streams[found]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return fail("it has no video stream");
        const AVStream* stream = format->streams[found];
        const AVCodecParameters* parameters = stream->codecpar;
        if (parameters->width > kMaxSide || parameters->height > kMaxSide) return picturesTooLarge(parameters);
        codec = avcodec_alloc_context3(decoder);
        if (codec == nullptr || avcodec_parameters_to_context(codec, parameters) < 0)
            return fail("out of memory");
        // One thread: the source already decodes on a thread of its own, and
        // stopping must leave no helper threads behind.
        codec->thread_count = 1;
        codec->max_pixels = static_cast<std::int64_t>(kMaxSide) * kMaxSide;
        if (avcodec_open2(codec, decoder, nullptr) < 0)
            return fail("its video decoder cannot be opened");
        streamIndex = found;
        timeBase = stream->time_base;
        streamStart = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        const double rate = av_q2d(av_guess_frame_rate(format, const_cast<AVStream*>(stream), nullptr));
        framesPerSecond = rate >= 1.0 && rate <= kMaxFramesPerSecond ? rate : kDefaultFramesPerSecond;
        return true;
    }

    // Decodes until a picture is in `frame`, the file ends, or nothing more can come.
    Step decodeNext() {
        int packetsWithoutPicture = 0;
        int errorsInARow = 0;
        for (;;) {
            const int received = avcodec_receive_frame(codec, frame);
            if (received == 0) {
                if (sideInRange(frame->width) && sideInRange(frame->height))
                    return Step::Picture;
                av_frame_unref(frame);
                if (++errorsInARow > kMaxDecodeErrorsInARow) {
                    fail("its pictures cannot be decoded");
                    return Step::Fatal;
                }
                continue;
            }
            if (received == AVERROR_EOF)
                return Step::EndOfFile;
            if (received != AVERROR(EAGAIN) && ++errorsInARow > kMaxDecodeErrorsInARow) {
                fail("its pictures cannot be decoded");
                return Step::Fatal;
            }
            if (draining) {
                // A codec that neither gives a picture nor says "end" after the
                // end of the file was sent: treat it as the end.
                if (received == AVERROR(EAGAIN))
                    return Step::EndOfFile;
                continue;
            }
            const int read = av_read_frame(format, packet);
            if (read < 0) {
                if (interrupted()) {
                    fail("stopped");
                    return Step::Fatal;
                }
                // End of file, or a read error in a truncated file: flush out
                // what the codec still holds, then it is the end.
                avcodec_send_packet(codec, nullptr);
                draining = true;
                continue;
            }
            if (++packetsWithoutPicture > kMaxPacketsWithoutPicture) {
                av_packet_unref(packet);
                fail("no picture in " + std::to_string(kMaxPacketsWithoutPicture) + " packets");
                return Step::Fatal;
            }
            if (packet->stream_index != streamIndex) {
                av_packet_unref(packet);
                continue;
            }
            const int sent = avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            // A damaged packet is skipped; only a long run of them is fatal.
            if (sent < 0 && sent != AVERROR(EAGAIN) && ++errorsInARow > kMaxDecodeErrorsInARow) {
                fail("its pictures cannot be decoded");
                return Step::Fatal;
            }
        }
    }

    bool decodeFirstPicture() {
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (frame == nullptr || packet == nullptr)
            return fail("out of memory");
        const Step step = decodeNext();
        if (step == Step::Fatal)
            return false;
        if (step == Step::EndOfFile)
            return fail("no picture could be decoded (the file is truncated or damaged)");
        firstWidth = frame->width;
        firstHeight = frame->height;
        pictureWaiting = true;
        return true;
    }

    // Back to the first picture: a seek where the format allows it, otherwise
    // the input is opened again.
    bool rewind() {
        ++rewinds;
        picturesThisPass = 0;
        previousTimestamp = AV_NOPTS_VALUE;
        draining = false;
        if (av_seek_frame(format, streamIndex, streamStart, AVSEEK_FLAG_BACKWARD) >= 0) {
            avcodec_flush_buffers(codec);
            return true;
        }
        closeInput();
        return reopen();
    }

    // Leaves the input either open or completely closed.
    bool reopen() {
        if (openInput())
            return true;
        closeInput();
        return false;
    }

    bool prepareOutput(int width, int height) {
        if (width == outputWidth && height == outputHeight && output[0] != nullptr)
            return true;
        av_freep(&output[0]);
        outputWidth = outputHeight = 0;
        if (av_image_alloc(output, outputStride, width, height, AV_PIX_FMT_BGR24, 32) < 0)
            return fail("out of memory");
        outputWidth = width;
        outputHeight = height;
        outputArea = {};
        return true;
    }

    // The area the current picture fills, with the bars blackened whenever it moves.
    void placePicture() {
        const AVRational sampleAspect = frame->sample_aspect_ratio;
        const double pixelAspect =
            sampleAspect.num > 0 && sampleAspect.den > 0 ? av_q2d(sampleAspect) : 1.0;
        const FittedArea area =
            fitPicture(frame->width * pixelAspect, frame->height, outputWidth, outputHeight);
        if (area == outputArea)
            return;
        for (int row = 0; row < outputHeight; ++row)
            std::memset(output[0] + static_cast<std::ptrdiff_t>(row) * outputStride[0], 0,
                        static_cast<std::size_t>(outputWidth) * 3);
        outputArea = area;
    }

    bool convert(VideoPicture& picture) {
        const auto pixelFormat = static_cast<AVPixelFormat>(frame->format);
        if (pixelFormat == AV_PIX_FMT_NONE || !sws_isSupportedInput(pixelFormat))
            return fail("its pixel format cannot be converted");
        placePicture();
        // A picture size that changes in mid-stream just gets another scaler.
        scaler = sws_getCachedContext(scaler, frame->width, frame->height, pixelFormat, outputArea.width,
                                      outputArea.height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                      nullptr);
        if (scaler == nullptr)
            return fail("its pictures cannot be converted");
        std::uint8_t* const area[4] = {output[0] + static_cast<std::ptrdiff_t>(outputArea.y) * outputStride[0] +
                                           static_cast<std::ptrdiff_t>(outputArea.x) * 3,
                                       nullptr, nullptr, nullptr};
        sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, area, outputStride);
        picture.bgr = output[0];
        picture.stride = outputStride[0];
        picture.width = outputWidth;
        picture.height = outputHeight;
        picture.delaySeconds = delayOfCurrentPicture();
        return true;
    }

    double delayOfCurrentPicture() {
        const std::int64_t timestamp = frame->best_effort_timestamp;
        double delay = 1.0 / framesPerSecond;
        if (timestamp != AV_NOPTS_VALUE && previousTimestamp != AV_NOPTS_VALUE) {
            // In double: hostile timestamps may be far apart enough to overflow.
            const double gap = (static_cast<double>(timestamp) - static_cast<double>(previousTimestamp)) *
                               av_q2d(timeBase);
            if (gap > 0.0 && gap <= kMaxPictureDelaySeconds)
                delay = gap;
        }
        previousTimestamp = timestamp;
        return delay;
    }

    bool next(int width, int height, VideoPicture& picture) {
        if (!sideInRange(width) || !sideInRange(height))
            return fail("the frame size " + std::to_string(width) + " x " + std::to_string(height) +
                        " is out of range");
        // A rewind that could not open the file again (or was interrupted) tries again.
        if (format == nullptr && !reopen())
            return false;
        while (!pictureWaiting) {
            const Step step = decodeNext();
            if (step == Step::Fatal)
                return false;
            if (step == Step::Picture) {
                pictureWaiting = true;
                break;
            }
            if (picturesThisPass == 0)
                return fail("no picture could be decoded in a whole pass through the file");
            if (!rewind())
                return false;
        }
        pictureWaiting = false;
        const bool converted = prepareOutput(width, height) && convert(picture);
        av_frame_unref(frame);
        if (converted)
            ++picturesThisPass;
        return converted;
    }
};

VideoFileDecoder::VideoFileDecoder(std::unique_ptr<State> state) : state_(std::move(state)) {}

VideoFileDecoder::~VideoFileDecoder() = default;

namespace {

std::string quotedFileName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return "\"" + (name.empty() ? path : name) + "\"";
}

// What the file system can tell before FFmpeg looks at the bytes; empty when
// the file looks readable.
std::string fileProblem(const std::string& path) {
    std::error_code failure;
    const auto status = std::filesystem::status(path, failure);
    if (path.empty() || !std::filesystem::exists(status))
        return "No such file or directory";
    if (std::filesystem::is_directory(status))
        return "it is a directory";
    if (!std::filesystem::is_regular_file(status))
        return "not a regular file";
    if (!std::ifstream(path, std::ios::binary).is_open())
        return "Permission denied";
    if (std::filesystem::file_size(path, failure) == 0 && !failure)
        return "the file is empty";
    return {};
}

}  // namespace

std::unique_ptr<VideoFileDecoder> VideoFileDecoder::openFile(const std::string& path, std::string& error) {
    quietenFfmpeg();
    auto state = std::make_unique<State>();
    state->path = path;
    state->label = quotedFileName(path);
    const std::string problem = fileProblem(path);
    if (!problem.empty()) {
        state->fail(problem);
        error = state->error;
        return nullptr;
    }
    if (!state->openInput() || !state->decodeFirstPicture()) {
        error = state->error;
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<VideoFileDecoder>(new VideoFileDecoder(std::move(state)));
}

std::unique_ptr<VideoFileDecoder> VideoFileDecoder::openBytes(const std::uint8_t* data, std::size_t size,
                                                              std::string& error) {
    quietenFfmpeg();
    auto state = std::make_unique<State>();
    state->label = "the video";
    if (data == nullptr || size == 0) {
        state->fail("no data");
        error = state->error;
        return nullptr;
    }
    state->bytes.assign(data, data + size);
    if (!state->openInput() || !state->decodeFirstPicture()) {
        error = state->error;
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<VideoFileDecoder>(new VideoFileDecoder(std::move(state)));
}

int VideoFileDecoder::width() const {
    return state_->firstWidth;
}

int VideoFileDecoder::height() const {
    return state_->firstHeight;
}

double VideoFileDecoder::framesPerSecond() const {
    return state_->framesPerSecond;
}

bool VideoFileDecoder::nextPicture(int outWidth, int outHeight, VideoPicture& picture) {
    return state_->next(outWidth, outHeight, picture);
}

const std::string& VideoFileDecoder::error() const {
    return state_->error;
}

void VideoFileDecoder::setInterruptFlag(const std::atomic<bool>* flag) {
    state_->interrupt = flag;
}

int VideoFileDecoder::rewinds() const {
    return state_->rewinds;
}

// ---- Decoding for fuzzing and tests ---------------------------------------

namespace {

VideoDecodeReport decodeSome(std::unique_ptr<VideoFileDecoder> decoder, const std::string& openError,
                             int maxPictures) {
    VideoDecodeReport report;
    if (!decoder) {
        report.error = openError;
        return report;
    }
    report.opened = true;
    report.width = decoder->width();
    report.height = decoder->height();
    const int width = std::min(report.width, kReportMaxWidth);
    const int height = std::min(report.height, kReportMaxHeight);
    for (int i = 0; i < maxPictures; ++i) {
        VideoPicture picture;
        if (!decoder->nextPicture(width, height, picture)) {
            report.error = decoder->error();
            break;
        }
        ++report.pictures;
    }
    report.rewinds = decoder->rewinds();
    return report;
}

}  // namespace

VideoDecodeReport decodeVideoBytes(const std::uint8_t* data, std::size_t size, int maxPictures) {
    std::string error;
    auto decoder = VideoFileDecoder::openBytes(data, size, error);
    return decodeSome(std::move(decoder), error, maxPictures);
}

VideoDecodeReport decodeVideoFile(const std::string& path, int maxPictures) {
    std::string error;
    auto decoder = VideoFileDecoder::openFile(path, error);
    return decodeSome(std::move(decoder), error, maxPictures);
}
