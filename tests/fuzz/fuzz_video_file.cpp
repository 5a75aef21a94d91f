// The video-file source on arbitrary bytes: opening, then decoding pictures
// (round the end of the file) scaled to sizes taken from the input's length,
// every output byte read so that a short buffer shows.
#include "capture/video_file_source.h"
#include "fuzz_support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr int kPictures = 6;

void readWholePicture(const VideoPicture& picture, int width, int height) {
    FUZZ_CHECK(picture.bgr != nullptr);
    FUZZ_CHECK(picture.width == width && picture.height == height);
    FUZZ_CHECK(picture.stride >= width * 3);
    FUZZ_CHECK(std::isfinite(picture.delaySeconds) && picture.delaySeconds >= 0.0);
    unsigned sum = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) sum += picture.bgr[std::size_t(y) * picture.stride + x];
    volatile unsigned sink = sum;
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);  // the demuxers' complaints about bad bytes are expected
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    std::unique_ptr<VideoFileDecoder> decoder = VideoFileDecoder::openBytes(data, size, error);
    if (!decoder) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(decoder->width() >= 1 && decoder->width() <= VideoFileDecoder::kMaxSide);
    FUZZ_CHECK(decoder->height() >= 1 && decoder->height() <= VideoFileDecoder::kMaxSide);
    FUZZ_CHECK(std::isfinite(decoder->framesPerSecond()) && decoder->framesPerSecond() > 0.0);

    // Odd sizes from the input's length, the program's usual size, and a 1 x 1.
    const int sizes[3][2] = {{1 + int(size % 97), 1 + int(size / 97 % 71)}, {320, 240}, {1, 1}};
    VideoPicture picture;
    for (int i = 0; i < kPictures; ++i) {
        const int width = sizes[i % 3][0], height = sizes[i % 3][1];
        if (!decoder->nextPicture(width, height, picture)) {
            FUZZ_CHECK(!decoder->error().empty());
            break;
        }
        readWholePicture(picture, width, height);
    }
    FUZZ_CHECK(decoder->rewinds() >= 0);

    // The one-call report used by the tests agrees on opening.
    const VideoDecodeReport report = decodeVideoBytes(data, size, 2);
    FUZZ_CHECK(report.opened);
    FUZZ_CHECK(report.width == decoder->width() && report.height == decoder->height());
    return 0;
}
