#pragma once

#include <cstdint>
#include <memory>
#include <string>

// How the pixels handed to VideoRecorder::write are laid out.
enum class PixelLayout {
    Rgb24,  // bytes R, G, B per pixel
    Rgba32  // bytes R, G, B, A per pixel; A is not recorded
};

// One picture to record. `rows` points at the picture's top row; `stride` is
// the distance in bytes to the row below, negative for pictures stored bottom
// row first.
struct RecordedPicture {
    const std::uint8_t* rows = nullptr;
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    PixelLayout layout = PixelLayout::Rgb24;
};

// Writes pictures of one size to an MP4 file: H.264 where FFmpeg has the
// encoder, else MPEG-4 Part 2. Each picture is encoded as it comes, without
// waiting for later ones, and the file is written as a series of fragments of
// half a second, so a file whose writing failed (full disk, pulled drive) or
// was never finished still plays up to the last whole fragment.
// Not thread-safe: one thread at a time.
class VideoRecorder {
public:
    // Null, with `error` saying why, when the file cannot be created or the
    // size cannot be encoded. `width` and `height` are the pictures' size.
    static std::unique_ptr<VideoRecorder> open(const std::string& path, int width, int height, std::string& error);

    // Finishes the file if finish() was not called.
    ~VideoRecorder();
    VideoRecorder(const VideoRecorder&) = delete;
    VideoRecorder& operator=(const VideoRecorder&) = delete;

    // Encodes and writes one picture shown at `timestampMs` after the first one
    // (a time not later than the last one's is moved 1 ms after it). False, with
    // error() saying why, when the picture has another size or the file cannot
    // be written; every later call fails too.
    bool write(const RecordedPicture& picture, std::int64_t timestampMs);

    // Writes what the encoder still holds and closes the file. False, with
    // error() set, when that fails; the fragments written before still play.
    bool finish();

    int framesWritten() const;
    int width() const;
    int height() const;
    // The size of the video's own pictures: the pictures' size with odd sides
    // made even, into which each picture is scaled.
    int videoWidth() const;
    int videoHeight() const;
    // "libx264" or "mpeg4".
    const char* encoderName() const;
    const std::string& error() const;

private:
    struct Impl;
    explicit VideoRecorder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
