// The recorder's files as a player sees them: every picture given is a frame
// of the right size, also when writing stopped half-way.
#include "record/video_recorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Played {
    int frames = 0;
    int width = 0;
    int height = 0;
};

// Demuxes the file: one packet per frame, as nothing is held back for later ones.
Played play(const std::string& path) {
    Played played;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return played;
    if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams == 1) {
        played.width = format->streams[0]->codecpar->width;
        played.height = format->streams[0]->codecpar->height;
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(format, packet) >= 0) {
            ++played.frames;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&format);
    return played;
}

std::vector<std::uint8_t> rampPicture(int width, int height, int shift) {
    std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = std::uint8_t(i / 3 % width + shift);
    return rgb;
}

// Named per process: another checkout's tests may be writing the same file at the same time.
std::filesystem::path scratch(const char* name) {
    return std::filesystem::temp_directory_path() /
           ("castellan-record-" + std::to_string(::getpid()) + "-" + name);
}

TEST(VideoRecorder, EveryPictureIsAFrameOfTheGivenSize) {
    const std::string path = scratch("frames.mp4");
    std::string error;
    auto recorder = VideoRecorder::open(path, 64, 48, error);
    ASSERT_TRUE(recorder) << error;
    for (int i = 0; i < 40; ++i) {
        const std::vector<std::uint8_t> rgb = rampPicture(64, 48, i * 4);
        // Bottom row first, as the frame buffers hold them.
        const RecordedPicture picture{rgb.data() + 47 * 64 * 3, -64 * 3, 64, 48, PixelLayout::Rgb24};
        ASSERT_TRUE(recorder->write(picture, i * 33)) << recorder->error();
    }
    ASSERT_TRUE(recorder->finish()) << recorder->error();
    EXPECT_EQ(recorder->framesWritten(), 40);
    const Played played = play(path);
    EXPECT_EQ(played.frames, 40);
    EXPECT_EQ(played.width, 64);
    EXPECT_EQ(played.height, 48);
    std::filesystem::remove(path);
}

// A changed size ends the recording with a reason; what was written still plays.
TEST(VideoRecorder, ChangedSizeStopsAndKeepsTheFramesBefore) {
    const std::string path = scratch("resized.mp4");
    std::string error;
    auto recorder = VideoRecorder::open(path, 32, 32, error);
    ASSERT_TRUE(recorder) << error;
    const std::vector<std::uint8_t> small = rampPicture(32, 32, 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(recorder->write({small.data(), 32 * 3, 32, 32, PixelLayout::Rgb24}, i * 33));
    const std::vector<std::uint8_t> large = rampPicture(64, 32, 0);
    EXPECT_FALSE(recorder->write({large.data(), 64 * 3, 64, 32, PixelLayout::Rgb24}, 700));
    EXPECT_NE(recorder->error().find("size changed"), std::string::npos) << recorder->error();
    recorder.reset();
    EXPECT_EQ(play(path).frames, 20);
    std::filesystem::remove(path);
}

// Where the file cannot be written, opening or a later write fails with a
// reason instead of crashing.
class UnwritablePlace : public testing::TestWithParam<const char*> {};

TEST_P(UnwritablePlace, FailsWithAReason) {
    std::string error;
    auto recorder = VideoRecorder::open(GetParam(), 320, 240, error);
    if (recorder) {
        const std::vector<std::uint8_t> rgb = rampPicture(320, 240, 0);
        for (int i = 0; i < 200 && recorder->write({rgb.data(), 320 * 3, 320, 240, PixelLayout::Rgb24}, i * 33);)
            ++i;
        recorder->finish();
        error = recorder->error();
    }
    EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(Places, UnwritablePlace,
                         testing::Values("/nonexistent-castellan-dir/out.mp4", "/dev/full", "/proc/version"));

}  // namespace
