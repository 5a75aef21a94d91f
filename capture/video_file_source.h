#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_dialogs.h"
#include "capture/capture_source.h"

// One decoded picture as 24-bit colour, per pixel B, G, R, first row the top of
// the picture. Borrowed from the decoder: valid until its next call.
struct VideoPicture {
    const std::uint8_t* bgr = nullptr;
    int stride = 0;  // bytes from one row to the next, >= width x 3
    int width = 0;
    int height = 0;
    // How long after the previous picture this one is due, in seconds: the
    // difference of the stream's timestamps, or one period of the file's frame
    // rate where the timestamps are missing or make no sense.
    double delaySeconds = 0.0;
};

// Reads the video stream of a file (or of bytes in memory) with FFmpeg's
// libraries and hands out its pictures converted and scaled to the size the
// caller asks for, starting again at the beginning when the file ends.
//
// Hostile input is expected: whatever the bytes, opening either succeeds with a
// first picture already decoded or fails with a message; decoding never writes
// outside its buffers, and a picture whose size differs from the first one is
// scaled like every other. Not thread-safe: one thread at a time (the opening
// thread, then the source's streaming thread).
class VideoFileDecoder {
public:
    // Largest picture side accepted from a file (and largest output side).
    static constexpr int kMaxSide = 8192;

    // Null with `error` set when the file cannot be played: unreadable, not a
    // media file, without a video stream, or without a single decodable picture
    // (truncated, corrupt).
    static std::unique_ptr<VideoFileDecoder> openFile(const std::string& path, std::string& error);
    // The same over a copy of `size` bytes at `data` (no file, no other protocol).
    static std::unique_ptr<VideoFileDecoder> openBytes(const std::uint8_t* data, std::size_t size,
                                                       std::string& error);

    ~VideoFileDecoder();
    VideoFileDecoder(const VideoFileDecoder&) = delete;
    VideoFileDecoder& operator=(const VideoFileDecoder&) = delete;

    // Size of the file's first picture.
    int width() const;
    int height() const;
    // The stream's nominal frame rate (30 when the file does not say).
    double framesPerSecond() const;

    // Decodes the next picture, scaled to outWidth x outHeight (each side 1 to
    // kMaxSide), into a buffer the decoder owns. At the end of the file it goes
    // back to the beginning. False once the stream cannot go on (see error());
    // a single bad packet is skipped, not fatal.
    bool nextPicture(int outWidth, int outHeight, VideoPicture& picture);

    // Why the last open or decode failed.
    const std::string& error() const;

    // Lets another thread abort a blocking read: while `*flag` is true every
    // read the demuxer starts fails at once. Null removes it.
    void setInterruptFlag(const std::atomic<bool>* flag);

    // How often the stream went back to its beginning.
    int rewinds() const;

private:
    struct State;
    explicit VideoFileDecoder(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// A video file as a capture device: pictures paced by the file's timestamps on
// a thread of its own, into the mailbox; at the end the file starts again.
//
// Frame size: the video's own size until another is requested. Any requested
// size (each side 1 to 8192) is accepted and the pictures are scaled to it
// (the aspect ratio is not kept), so the program's usual 320 x 240 works with
// every file; "Format..." offers the video's own size first. A picture whose
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
    void run(imTrackingGrabberCB* mailbox, int width, int height);
    void failStream(const std::string& why);

    std::unique_ptr<VideoFileDecoder> decoder_;  // used by the streaming thread while it runs
    int width_ = 0;
    int height_ = 0;
    std::thread thread_;
    std::atomic<bool> threadFinished_{false};
    std::atomic<bool> stopping_{false};  // also aborts the decoder's reads
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopRequested_ = false;
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

// Why the last connection to a registered video file failed; empty when none
// has failed. Any thread.
std::string lastVideoOpenError();

// For fuzzing and tests: opens a video from bytes in memory (or a file) and
// decodes up to `maxPictures` pictures (going round the end of the file if it
// is shorter), scaled to at most 640 x 480. Never crashes, whatever the input.
struct VideoDecodeReport {
    bool opened = false;
    std::string error;  // set when opening or decoding failed
    int width = 0;      // of the first picture
    int height = 0;
    int pictures = 0;   // decoded
    int rewinds = 0;
};
VideoDecodeReport decodeVideoBytes(const std::uint8_t* data, std::size_t size, int maxPictures);
VideoDecodeReport decodeVideoFile(const std::string& path, int maxPictures);
