#include "capture/video_file_source.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <utility>

#include "capture/capture_device.h"
#include "capture/capture_dialog_runner.h"
#include "capture/frame_mailbox.h"

VideoFileSource::VideoFileSource(std::unique_ptr<VideoFileDecoder> decoder)
    : decoder_(std::move(decoder)), width_(decoder_->width()), height_(decoder_->height()) {
    // A stop aborts a read the decoder is blocked in.
    decoder_->setInterruptFlag(&thread_.stopRequested());
}

VideoFileSource::~VideoFileSource() {
    stop();
}

std::unique_ptr<VideoFileSource> VideoFileSource::open(const std::string& path, std::string& error) {
    std::unique_ptr<VideoFileDecoder> decoder = VideoFileDecoder::openFile(path, error);
    if (!decoder)
        return nullptr;
    return std::unique_ptr<VideoFileSource>(new VideoFileSource(std::move(decoder)));
}

std::unique_ptr<VideoFileSource> VideoFileSource::openBytes(const std::uint8_t* data, std::size_t size,
                                                            std::string& error) {
    std::unique_ptr<VideoFileDecoder> decoder = VideoFileDecoder::openBytes(data, size, error);
    if (!decoder)
        return nullptr;
    return std::unique_ptr<VideoFileSource>(new VideoFileSource(std::move(decoder)));
}

void VideoFileSource::frameSize(int& width, int& height) const {
    width = width_;
    height = height_;
}

bool VideoFileSource::requestFrameSize(int width, int height) {
    if (!imTrackingGrabberCB::acceptsSize(width, height)) return false;
    width_ = width;
    height_ = height;
    return true;
}

std::vector<FrameFormatChoice> VideoFileSource::formats() const {
    const double rate = decoder_->framesPerSecond();
    std::vector<FrameFormatChoice> offered{{decoder_->width(), decoder_->height(), rate}};
    auto add = [&](int width, int height) {
        const bool known = std::any_of(offered.begin(), offered.end(), [&](const FrameFormatChoice& choice) {
            return choice.width == width && choice.height == height;
        });
        if (!known)
            offered.push_back({width, height, rate});
    };
    add(320, 240);
    add(640, 480);
    add(width_, height_);
    return offered;
}

std::vector<CaptureDialogEntry> VideoFileSource::dialogs() const {
    return {{"Format...", DialogEffect::ChangesFormat}};
}

bool VideoFileSource::runDialog(int index, QWidget* parent) {
    if (index != 0)
        return false;
    const std::vector<FrameFormatChoice> offered = formats();
    int current = 0;
    for (int i = 0; i < static_cast<int>(offered.size()); ++i) {
        if (offered[i].width == width_ && offered[i].height == height_)
            current = i;
    }
    const int chosen = chooseFrameFormat(offered, current, parent);
    return chosen < 0 || requestFrameSize(offered[chosen].width, offered[chosen].height);
}

std::string VideoFileSource::streamError() const {
    std::lock_guard<std::mutex> guard(errorMutex_);
    return streamError_;
}

void VideoFileSource::failStream(const std::string& why) {
    std::lock_guard<std::mutex> guard(errorMutex_);
    streamError_ = why;
}

bool VideoFileSource::start(imTrackingGrabberCB& mailbox) {
    if (thread_.running())
        return true;
    // A stream that ended by itself stays ended; its reason is in streamError.
    if (!streamError().empty())
        return false;
    thread_.start([this, width = width_, height = height_](std::int64_t) { return decodePicture(width, height); },
                  [this, &mailbox](std::int64_t) { deliverPicture(mailbox); });
    return true;
}

void VideoFileSource::stop() {
    thread_.stop();
}

std::optional<PacedSourceThread::Duration> VideoFileSource::decodePicture(int width, int height) {
    if (!decoder_->nextPicture(width, height, picture_)) {
        if (!thread_.stopRequested())
            failStream(decoder_->error());
        return std::nullopt;
    }
    // Paced by the file's own clock.
    return std::chrono::duration_cast<PacedSourceThread::Duration>(
        std::chrono::duration<double>(picture_.delaySeconds));
}

void VideoFileSource::deliverPicture(imTrackingGrabberCB& mailbox) {
    mailbox.depositTopDown(picture_.bgr, static_cast<std::size_t>(picture_.stride), picture_.width,
                           picture_.height);
    ++delivered_;
}

// ---- Registration ---------------------------------------------------------

std::string videoDeviceName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return "Video: " + (name.empty() ? path : name);
}

void registerVideoFileDevice(const std::string& path) {
    registerVirtualCaptureDevice(videoDeviceName(path),
                                 CaptureSourceOpener([path](std::string& whyNot) -> std::unique_ptr<CaptureSource> {
                                     return VideoFileSource::open(path, whyNot);
                                 }));
}
