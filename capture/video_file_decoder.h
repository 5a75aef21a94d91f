#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

// Where a picture of the given display shape lies in an outWidth x outHeight
// output: scaled evenly until it just fits, centred, so its pixels stay square
// whatever output size is asked for. Black bars fill the rest. The scaler keeps
// the picture's pixel centres on the area's: output column c of the area shows
// the picture at column (c + 0.5) x picture width / area width - 0.5.
struct FittedArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const FittedArea&, const FittedArea&) = default;
};

FittedArea fitPicture(double displayWidth, double displayHeight, int outWidth, int outHeight);

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

    // Decodes the next picture into an outWidth x outHeight buffer (each side 1
    // to kMaxSide) the decoder owns: scaled evenly to fit, centred, with black
    // bars where the output's shape differs from the picture's (its pixel
    // aspect ratio counted), so that pixels stay square. At the end of the file it goes
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
