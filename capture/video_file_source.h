#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_formats.h"
#include "capture/capture_source.h"
#include "capture/paced_source_thread.h"
#include "capture/video_file_decoder.h"

// A video file as a capture device: pictures paced by the file's timestamps on
// a thread of its own, into the mailbox; at the end the file starts again.
//
// Frame size: the video's own size until another is requested. Any requested
// size (each side 1 to 8192) is accepted and the pictures are fitted into it
// (scaled evenly, centred, black bars where the shapes differ), so the
// program's usual 320 x 240 works with every file; "Format..." offers the video's own size first. A picture whose
// size changes in mid-stream is scaled to the current frame size as well.
//
// All members are for the GUI thread, except streamError and framesDelivered.
class VideoFileSource final : public CaptureSource {
public:
    // Null with `error` set when the file cannot be played (see VideoFileDecoder).
    static std::unique_ptr<VideoFileSource> open(const std::string& path, std::string& error);
    // The same over bytes in memory.
    static std::unique_ptr<VideoFileSource> openBytes(const std::uint8_t* data, std::size_t size,
                                                      std::string& error);
    ~VideoFileSource() override;

    void frameSize(int& width, int& height) const override;
    bool requestFrameSize(int width, int height) override;
    bool start(imTrackingGrabberCB& mailbox) override;
    void stop() override;
    std::vector<CaptureDialogEntry> dialogs() const override;
    bool runDialog(int index, QWidget* parent) override;
    std::string streamError() const override;

    // What "Format..." offers: the video's own size, then 320 x 240 and
    // 640 x 480, then the current size if it is none of these; all at the
    // file's frame rate.
    std::vector<FrameFormatChoice> formats() const;

    // Frames put into the mailbox since the source was opened. Any thread.
    std::int64_t framesDelivered() const { return delivered_.load(); }

private:
    explicit VideoFileSource(std::unique_ptr<VideoFileDecoder> decoder);
    // The streaming thread's two steps: the next picture, then into the mailbox.
    std::optional<PacedSourceThread::Duration> decodePicture(int width, int height);
    void deliverPicture(imTrackingGrabberCB& mailbox);
    void failStream(const std::string& why);

    // Before the decoder, which reads its stop flag as long as the decoder lives.
    PacedSourceThread thread_;
    std::unique_ptr<VideoFileDecoder> decoder_;  // used by the streaming thread while it runs
    int width_ = 0;
    int height_ = 0;
    VideoPicture picture_;  // decoded, not yet delivered; streaming thread only
    mutable std::mutex errorMutex_;
    std::string streamError_;
    std::atomic<std::int64_t> delivered_{0};
};

// Name a video file is listed under: "Video: " and the file's name.
std::string videoDeviceName(const std::string& path);

// Offers `path` as a capture device (after the real devices); the file is
// opened anew at every connection, so a file that cannot be played makes the
// connection fail. The program and castellan-cli call it for every --video.
void registerVideoFileDevice(const std::string& path);
