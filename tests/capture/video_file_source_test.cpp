#include "capture/video_file_source.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialog>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "capture/capture_device.h"
#include "capture/frame_mailbox.h"
#include "capture_test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// ---- Test videos, encoded with FFmpeg's own encoders at test time ----------

// Every picture: top half red, bottom half blue, and a white bar whose column
// moves with the picture number, so pictures differ while the halves stay put.
constexpr std::uint8_t kTop[3] = {220, 30, 30};     // R, G, B
constexpr std::uint8_t kBottom[3] = {30, 30, 220};  // R, G, B

struct Segment {
    int width;
    int height;
    int pictures;
};

struct VideoSpec {
    const char* container = "mp4";
    AVCodecID codec = AV_CODEC_ID_MPEG4;
    int framesPerSecond = 10;
    std::vector<Segment> segments{{64, 48, 6}};
    bool grainy = false;  // fine noise over everything: pictures that compress badly
};

void paintPicture(int index, int width, int height, bool grainy, Bytes& rgb) {
    rgb.assign(static_cast<std::size_t>(width) * height * 3, 0);
    const int barColumn = (index * 4) % std::max(width - 4, 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            const std::uint8_t* colour = y < height / 2 ? kTop : kBottom;
            const bool bar = x >= barColumn && x < barColumn + 4;
            const int grain = grainy ? static_cast<int>((x * 7919u + y * 104729u + index * 31u) * 2654435761u >> 27) - 16 : 0;
            for (int c = 0; c < 3; ++c)
                pixel[c] = bar ? 255 : static_cast<std::uint8_t>(colour[c] + grain);
        }
}

// Writes the video; every segment gets an encoder of its own, all into one
// stream, which is how a picture size changes in mid-stream (MJPEG pictures
// stand alone, so the decoder follows the change).
bool writeVideo(const std::string& path, const VideoSpec& spec) {
    AVFormatContext* output = nullptr;
    if (avformat_alloc_output_context2(&output, nullptr, spec.container, path.c_str()) < 0)
        return false;
    const AVCodec* encoder = avcodec_find_encoder(spec.codec);
    AVStream* stream = avformat_new_stream(output, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    bool ok = encoder != nullptr && stream != nullptr && packet != nullptr && picture != nullptr;
    const AVPixelFormat pixelFormat = spec.codec == AV_CODEC_ID_MJPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    std::int64_t pts = 0;
    Bytes rgb;
    for (std::size_t s = 0; ok && s < spec.segments.size(); ++s) {
        const Segment& segment = spec.segments[s];
        AVCodecContext* codec = avcodec_alloc_context3(encoder);
        codec->width = segment.width;
        codec->height = segment.height;
        codec->time_base = {1, spec.framesPerSecond};
        codec->framerate = {spec.framesPerSecond, 1};
        codec->pix_fmt = pixelFormat;
        codec->gop_size = 5;
        codec->flags |= AV_CODEC_FLAG_QSCALE;
        codec->global_quality = FF_QP2LAMBDA * 2;
        if (output->oformat->flags & AVFMT_GLOBALHEADER)
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ok = avcodec_open2(codec, encoder, nullptr) >= 0;
        if (ok && s == 0) {
            avcodec_parameters_from_context(stream->codecpar, codec);
            stream->time_base = codec->time_base;
            ok = avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
                 avformat_write_header(output, nullptr) >= 0;
        }
        SwsContext* toYuv = sws_getContext(segment.width, segment.height, AV_PIX_FMT_RGB24, segment.width,
                                           segment.height, pixelFormat, SWS_POINT, nullptr, nullptr, nullptr);
        auto drain = [&] {
            while (avcodec_receive_packet(codec, packet) == 0) {
                packet->duration = 1;  // else the muxer trims the last picture away
                av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
                packet->stream_index = stream->index;
                ok = ok && av_interleaved_write_frame(output, packet) >= 0;
            }
        };
        for (int i = 0; ok && i < segment.pictures; ++i, ++pts) {
            av_frame_unref(picture);
            picture->format = pixelFormat;
            picture->width = segment.width;
            picture->height = segment.height;
            ok = av_frame_get_buffer(picture, 0) >= 0;
            paintPicture(static_cast<int>(pts), segment.width, segment.height, spec.grainy, rgb);
            const std::uint8_t* source[1] = {rgb.data()};
            const int sourceStride[1] = {segment.width * 3};
            sws_scale(toYuv, source, sourceStride, 0, segment.height, picture->data, picture->linesize);
            picture->pts = pts;
            ok = ok && avcodec_send_frame(codec, picture) >= 0;
            drain();
        }
        avcodec_send_frame(codec, nullptr);
        drain();
        sws_freeContext(toYuv);
        avcodec_free_context(&codec);
    }
    if (ok)
        ok = av_write_trailer(output) >= 0;
    avio_closep(&output->pb);
    avformat_free_context(output);
    av_packet_free(&packet);
    av_frame_free(&picture);
    return ok;
}

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// A fresh directory per test, removed afterwards.
class VideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory = fs::temp_directory_path() /
                    ("castellan_video_" + std::to_string(getpid()) + "_" + info->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    std::string video(const std::string& name, const VideoSpec& spec = {}) {
        const std::string path = (directory / name).string();
        EXPECT_TRUE(writeVideo(path, spec)) << "could not make " << name;
        return path;
    }

    std::string file(const std::string& name, const Bytes& bytes) {
        const std::string path = (directory / name).string();
        writeAll(path, bytes);
        return path;
    }

    fs::path directory;
    CaptureTestScope scope;
};

// Colour of a top-down BGR picture at (x, y), as R, G, B.
std::array<int, 3> rgbAt(const VideoPicture& picture, int x, int y) {
    const std::uint8_t* pixel = picture.bgr + static_cast<std::size_t>(y) * picture.stride + x * 3;
    return {pixel[2], pixel[1], pixel[0]};
}

void expectNear(const std::array<int, 3>& actual, const std::uint8_t (&expected)[3], const char* where) {
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(actual[c], expected[c], 25) << where << ", channel " << c;
}

Bytes copyOf(const VideoPicture& picture) {
    Bytes rows;
    for (int y = 0; y < picture.height; ++y) {
        const std::uint8_t* row = picture.bgr + static_cast<std::size_t>(y) * picture.stride;
        rows.insert(rows.end(), row, row + picture.width * 3);
    }
    return rows;
}

// ---- Decoder ---------------------------------------------------------------

TEST_F(VideoTest, DecodesAtTheFilesSizeAndRatePacedByTimestamps) {
    // Pictures 0 to 5 have the bar at columns 0..20; sample the halves at the right edge.
    const std::string path = video("clip.mp4");
    std::string error;
    auto decoder = VideoFileDecoder::openFile(path, error);
    ASSERT_NE(decoder, nullptr) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(decoder->width(), 64);
    EXPECT_EQ(decoder->height(), 48);
    EXPECT_NEAR(decoder->framesPerSecond(), 10.0, 1e-6);

    VideoPicture picture;
    ASSERT_TRUE(decoder->nextPicture(64, 48, picture));
    EXPECT_EQ(picture.width, 64);
    EXPECT_EQ(picture.height, 48);
    expectNear(rgbAt(picture, 60, 5), kTop, "top right");
    expectNear(rgbAt(picture, 60, 42), kBottom, "bottom right");
    expectNear(rgbAt(picture, 1, 20), {255, 255, 255}, "bar of picture 0");
    for (int i = 1; i < 6; ++i) {
        ASSERT_TRUE(decoder->nextPicture(64, 48, picture));
        EXPECT_NEAR(picture.delaySeconds, 0.1, 1e-6) << "picture " << i;
    }
    // The bar of picture 5 sits at column 20.
    expectNear(rgbAt(picture, 21, 20), {255, 255, 255}, "bar of picture 5");
}

TEST_F(VideoTest, StartsAgainAtTheEndOfTheFile) {
    const std::string path = video("loop.mp4");
    std::string error;
    auto decoder = VideoFileDecoder::openFile(path, error);
    ASSERT_NE(decoder, nullptr) << error;
    std::vector<Bytes> pictures;
    VideoPicture picture;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(decoder->nextPicture(64, 48, picture)) << decoder->error();
        pictures.push_back(copyOf(picture));
    }
    EXPECT_EQ(decoder->rewinds(), 3);
    EXPECT_NE(pictures[0], pictures[1]);
    EXPECT_EQ(pictures[0], pictures[6]) << "the second pass starts with the first picture";
    EXPECT_EQ(pictures[5], pictures[11]);
    EXPECT_EQ(pictures[1], pictures[19]);
}

TEST_F(VideoTest, ScalesToTheRequestedSizeAndFollowsASizeChangeInMidStream) {
    VideoSpec spec;
    spec.container = "avi";
    spec.codec = AV_CODEC_ID_MJPEG;
    spec.segments = {{64, 48, 3}, {160, 120, 3}, {16, 16, 3}};
    const std::string path = video("changing.avi", spec);
    std::string error;
    auto decoder = VideoFileDecoder::openFile(path, error);
    ASSERT_NE(decoder, nullptr) << error;
    EXPECT_EQ(decoder->width(), 64);
    EXPECT_EQ(decoder->height(), 48);
    VideoPicture picture;
    // Every picture comes at the first size, whatever its own; the square ones
    // fitted between black bars (48 × 48 from column 8), their pixels square.
    constexpr std::uint8_t kBar[3] = {0, 0, 0};
    for (int i = 0; i < 9; ++i) {
        ASSERT_TRUE(decoder->nextPicture(64, 48, picture)) << decoder->error();
        ASSERT_EQ(picture.width, 64);
        ASSERT_EQ(picture.height, 48);
        const bool square = i >= 6;
        expectNear(rgbAt(picture, 62, 6), square ? kBar : kTop, "top right");
        expectNear(rgbAt(picture, 62, 41), square ? kBar : kBottom, "bottom right");
        expectNear(rgbAt(picture, 54, 6), kTop, "top right of the picture");
        expectNear(rgbAt(picture, 54, 41), kBottom, "bottom right of the picture");
        if (square)
            expectNear(rgbAt(picture, 2, 24), kBar, "left bar");
    }
    // Any other output size, smaller or larger, odd included.
    for (auto [width, height] : {std::pair{7, 5}, std::pair{320, 240}, std::pair{1, 1}}) {
        ASSERT_TRUE(decoder->nextPicture(width, height, picture)) << decoder->error();
        EXPECT_EQ(picture.width, width);
        EXPECT_EQ(picture.height, height);
        if (height > 1)
            expectNear(rgbAt(picture, width - 1, 0), kTop, "scaled top right");
    }
    EXPECT_FALSE(decoder->nextPicture(0, 48, picture));
    EXPECT_FALSE(decoder->nextPicture(64, 100000, picture));
    EXPECT_NE(decoder->error().find("out of range"), std::string::npos);
    EXPECT_TRUE(decoder->nextPicture(64, 48, picture)) << "a refused size does not break the stream";
}

// ---- Bad input -------------------------------------------------------------

// Offset just past the "movi" list tag: the AVI's headers end there and its
// first picture begins.
std::size_t aviPictureDataStart(const Bytes& avi) {
    const std::string text(avi.begin(), avi.end());
    const std::size_t movi = text.find("movi");
    return movi == std::string::npos ? 0 : movi + 4;
}

TEST_F(VideoTest, RefusesUnplayableFilesWithAClearMessage) {
    const Bytes mp4 = readAll(video("good.mp4"));
    VideoSpec aviSpec;
    aviSpec.container = "avi";
    aviSpec.codec = AV_CODEC_ID_MJPEG;
    const Bytes avi = readAll(video("good.avi", aviSpec));
    ASSERT_GT(mp4.size(), 1000u);
    ASSERT_GT(aviPictureDataStart(avi), 100u);

    Bytes wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0,
                 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0x10, 0, 0};
    const std::uint32_t riffSize = static_cast<std::uint32_t>(wav.size() - 8 + 4096);
    std::memcpy(&wav[4], &riffSize, 4);
    wav.resize(wav.size() + 4096, 0);
    std::mt19937 random(7);
    Bytes noise(20000);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    const std::string text = "Castellan notes\nNothing to see here.\n";
    // The MP4 keeps its index ("moov") at the end, after the pictures.
    const std::size_t index = std::string(mp4.begin(), mp4.end()).find("moov");
    ASSERT_NE(index, std::string::npos);
    auto garbledAfter = [&](const char* tag) {
        Bytes garbled = mp4;
        const std::size_t at = std::string(mp4.begin(), mp4.end()).find(tag);
        for (std::size_t i = at + 4; i < at + 68 && i < garbled.size(); ++i)
            garbled[i] = static_cast<std::uint8_t>(random());
        return garbled;
    };

    struct Case {
        std::string path;
        std::vector<std::string> expected;  // the message holds one of these
    };
    // A pipe nobody writes to would block a reader for ever.
    const std::string pipe = (directory / "pipe.mp4").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::vector<std::string> damage = {"damaged", "truncated", "no video stream"};
    const std::vector<Case> cases = {
        {(directory / "missing.mp4").string(), {"No such file"}},
        {directory.string(), {"directory"}},
        {pipe, {"not a regular file"}},
        {"/dev/null", {"not a regular file"}},
        {file("empty.mp4", {}), {"empty"}},
        {file("notes.txt", Bytes(text.begin(), text.end())), {"not a video file"}},
        {file("noise.mp4", noise), {"not a video file"}},
        {file("sound.wav", wav), {"no video stream"}},
        {file("garbled-type.mp4", garbledAfter("ftyp")), damage},
        {file("garbled-track.mp4", garbledAfter("trak")), damage},
        {file("garbled-codec.mp4", garbledAfter("stsd")), damage},
        {file("cut-tiny.mp4", Bytes(mp4.begin(), mp4.begin() + 16)), {"not a video file"}},
        {file("cut-quarter.mp4", Bytes(mp4.begin(), mp4.begin() + mp4.size() / 4)), damage},
        {file("cut-index.mp4", Bytes(mp4.begin(), mp4.begin() + index + 8)), damage},
        {file("cut-mid-index.mp4", Bytes(mp4.begin(), mp4.begin() + (index + mp4.size()) / 2)), damage},
        {file("cut-header.avi", Bytes(avi.begin(), avi.begin() + 100)), damage},
        {file("cut-before-pictures.avi", Bytes(avi.begin(), avi.begin() + aviPictureDataStart(avi))),
         {"no picture could be decoded"}},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(VideoFileDecoder::openFile(c.path, error), nullptr) << c.path;
        EXPECT_NE(error.find("Could not play \""), std::string::npos) << error;
        EXPECT_TRUE(std::any_of(c.expected.begin(), c.expected.end(),
                                [&](const std::string& part) { return error.find(part) != std::string::npos; }))
            << c.path << ": " << error;
        const VideoDecodeReport report = decodeVideoFile(c.path, 3);
        EXPECT_FALSE(report.opened);
        EXPECT_EQ(report.error, error);
    }
}

TEST_F(VideoTest, RefusesAFileThatCannotBeRead) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string path = video("locked.mp4");
    ::chmod(path.c_str(), 0);
    std::string error;
    EXPECT_EQ(VideoFileDecoder::openFile(path, error), nullptr);
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}

// A truncated AVI keeps its first pictures: they play, and the end comes early.
TEST_F(VideoTest, PlaysWhatATruncatedFileStillHolds) {
    VideoSpec spec;
    spec.container = "avi";
    spec.codec = AV_CODEC_ID_MJPEG;
    spec.segments = {{64, 48, 8}};
    const Bytes avi = readAll(video("whole.avi", spec));
    const std::size_t pictureData = aviPictureDataStart(avi);
    ASSERT_GT(pictureData, 0u);
    const std::string path =
        file("half.avi", Bytes(avi.begin(), avi.begin() + pictureData + (avi.size() - pictureData) / 2));
    const VideoDecodeReport report = decodeVideoFile(path, 30);
    ASSERT_TRUE(report.opened) << report.error;
    EXPECT_EQ(report.pictures, 30);
    EXPECT_GE(report.rewinds, 4) << "fewer than 8 pictures per pass";
}

// Damaged bytes anywhere: opening refuses or the stream plays; nothing else.
// This is the memory path a fuzzer drives.
TEST_F(VideoTest, DamagedBytesNeverCrash) {
    VideoSpec aviSpec;
    aviSpec.container = "avi";
    aviSpec.codec = AV_CODEC_ID_MJPEG;
    aviSpec.segments = {{32, 24, 4}};
    VideoSpec mp4Spec;
    mp4Spec.segments = {{32, 24, 4}};
    std::mt19937 random(11);
    int opened = 0;
    int refused = 0;
    for (const Bytes& original : {readAll(video("a.avi", aviSpec)), readAll(video("b.mp4", mp4Spec))}) {
        const VideoDecodeReport intact = decodeVideoBytes(original.data(), original.size(), 6);
        ASSERT_TRUE(intact.opened) << intact.error;
        EXPECT_EQ(intact.pictures, 6);
        EXPECT_EQ(intact.rewinds, 1);
        EXPECT_EQ(intact.width, 32);

        for (int trial = 0; trial < 60; ++trial) {
            Bytes damaged = original;
            const int kind = trial % 3;
            if (kind == 0) {
                damaged.resize(random() % damaged.size());
            } else {
                const int flips = 1 + static_cast<int>(random() % 16);
                for (int f = 0; f < flips; ++f)
                    damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
            }
            if (kind == 2) {
                // Huge sizes and counts where the headers keep theirs.
                for (std::size_t i = 0; i + 4 <= std::min<std::size_t>(damaged.size(), 400); i += 4 + random() % 40)
                    std::memset(&damaged[i], 0xff, 4);
            }
            const VideoDecodeReport report = decodeVideoBytes(damaged.data(), damaged.size(), 12);
            if (report.opened) {
                ++opened;
                EXPECT_GE(report.width, 1);
                EXPECT_TRUE(report.pictures == 12 || !report.error.empty());
            } else {
                ++refused;
                EXPECT_NE(report.error.find("Could not play the video: "), std::string::npos) << report.error;
            }
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(opened, 0);
    EXPECT_FALSE(decodeVideoBytes(nullptr, 0, 3).opened);
}

// ---- The capture device ----------------------------------------------------

bool fetchWithin(CaptureDevice* device, Bytes& rgb) {
    for (int attempt = 0; attempt < 5; ++attempt)
        if (fetchFrame(device, rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000))
            return true;
    return false;
}

TEST_F(VideoTest, IsACaptureDeviceDeliveringBottomUpFramesAtAnySize) {
    const std::string path = video("street.mp4");
    registerVideoFileDevice(path);
    ASSERT_EQ(captureDeviceCount(), 1);
    EXPECT_STREQ(captureDeviceDescription(0), "0 - Video: street.mp4");
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    int width = 0, height = 0;
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);

    // The program asks for 320 x 240 right after connecting: the video is scaled.
    ASSERT_TRUE(setImageSize(device.get(), 320, 240));
    getImageSize(device.get(), width, height);
    ASSERT_EQ(width, 320);
    ASSERT_EQ(height, 240);
    ASSERT_EQ(setLive(device.get(), 1), 1);
    Bytes first(320 * 240 * 3), second(320 * 240 * 3);
    ASSERT_TRUE(fetchWithin(device.get(), first));
    ASSERT_TRUE(fetchWithin(device.get(), second));
    EXPECT_NE(first, second) << "the bar moves";
    // Buffer row 0 is the bottom of the picture (blue), the last row the top (red).
    auto pixel = [&](int x, int row) { return &first[(static_cast<std::size_t>(row) * 320 + x) * 3]; };
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(pixel(300, 10)[c], kBottom[c], 25);
        EXPECT_NEAR(pixel(300, 230)[c], kTop[c], 25);
    }

    // "Format..." offers the video's own size first and switches back to it.
    ASSERT_EQ(dialogCount(device.get()), 1);
    EXPECT_STREQ(dialogDescription(device.get(), 0), "Format...");
    QStringList offered;
    setCaptureDialogExecHook([&](QDialog& dialog) {
        auto* combo = dialog.findChild<QComboBox*>("formatComboBox");
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        combo->setCurrentIndex(0);
        return int(QDialog::Accepted);
    });
    ASSERT_TRUE(showDialog(device.get(), 0, nullptr));
    EXPECT_EQ(offered, QStringList({"64 x 48, 10 fps", "320 x 240, 10 fps", "640 x 480, 10 fps"}));
    getImageSize(device.get(), width, height);
    EXPECT_EQ(width, 64);
    Bytes native(64 * 48 * 3);
    EXPECT_TRUE(fetchWithin(device.get(), native));
    EXPECT_FALSE(setImageSize(device.get(), 0, 0));
}

TEST_F(VideoTest, ConnectingToAnUnplayableFileFailsAndSaysWhy) {
    registerVideoFileDevice(file("broken.mp4", Bytes(100, 7)));
    registerVideoFileDevice(video("fine.mp4"));
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(connectDevice(device.get(), 0), 0);
    EXPECT_EQ(lastOpenError(device.get()), "Could not play \"broken.mp4\": not a video file, or a damaged one");
    EXPECT_EQ(connectDevice(device.get(), -1), -1);
    EXPECT_EQ(connectDevice(device.get(), 1), 1);
    EXPECT_EQ(lastOpenError(device.get()), "");
}

TEST_F(VideoTest, PacesPicturesByTheFilesFrameRate) {
    VideoSpec spec;
    spec.framesPerSecond = 5;
    spec.segments = {{32, 24, 50}};
    std::string error;
    auto source = VideoFileSource::open(video("slow.mp4", spec), error);
    ASSERT_NE(source, nullptr) << error;
    imTrackingGrabberCB mailbox;
    mailbox.resize(32, 24);
    ASSERT_TRUE(source->start(mailbox));
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (source->framesDelivered() == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(source->framesDelivered(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    source->stop();
    // At 5 per second, 600 ms hold at most 3 more pictures (one for timer slack);
    // decoding as fast as possible would have delivered all 50 and more.
    EXPECT_LE(source->framesDelivered(), 5);
    const std::int64_t afterStop = source->framesDelivered();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(source->framesDelivered(), afterStop) << "nothing arrives after stop";
    EXPECT_EQ(source->streamError(), "");
}

TEST_F(VideoTest, AFileThatVanishesWhilePlayingEndsTheStreamWithAReason) {
    VideoSpec spec;
    // Much larger than FFmpeg's read buffer: once a few pictures are played, the
    // beginning must be read from the file again.
    spec.framesPerSecond = 50;
    spec.segments = {{320, 240, 10}};
    spec.grainy = true;
    const std::string path = video("vanishing.mp4", spec);
    std::string error;
    ASSERT_GT(fs::file_size(path), 100000u);
    auto source = VideoFileSource::open(path, error);
    ASSERT_NE(source, nullptr) << error;
    imTrackingGrabberCB mailbox;
    mailbox.resize(320, 240);
    ASSERT_TRUE(source->start(mailbox));
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (source->framesDelivered() < 6 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(source->framesDelivered(), 6);
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    deadline = Clock::now() + std::chrono::seconds(5);
    while (source->streamError().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(source->streamError().find("Could not play \"vanishing.mp4\""), std::string::npos)
        << source->streamError();
    source->stop();
    EXPECT_FALSE(source->start(mailbox)) << "a stream that ended by itself does not start again";
}

int entriesIn(const char* directoryPath) {
    int count = 0;
    if (DIR* dir = opendir(directoryPath)) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

TEST_F(VideoTest, AThousandConnectionsLeaveNoThreadOrFileBehind) {
    VideoSpec small;
    small.segments = {{16, 16, 3}};
    registerVideoFileDevice(video("one.mp4", small));
    registerVideoFileDevice(video("two.mp4", small));
    CaptureDevicePtr device(createCaptureDevice());
    ASSERT_NE(device, nullptr);
    // Stream once first, so that process-wide helpers started lazily with the
    // first thread (a sanitizer's, for one) do not count.
    Bytes rgb(16 * 16 * 3);
    ASSERT_EQ(connectDevice(device.get(), 0), 1);
    ASSERT_TRUE(device->source->start(device->grabber));
    ASSERT_TRUE(fetchWithin(device.get(), rgb));
    disconnectDevice(device.get());
    const int threadsBefore = entriesIn("/proc/self/task");
    const int filesBefore = entriesIn("/proc/self/fd");

    for (int i = 0; i < 1000; ++i) {
        // Switching devices disconnects the other one first.
        ASSERT_EQ(connectDevice(device.get(), i % 2), 1) << "connection " << i;
        // Streaming without the settling pauses of setLive, a thousand times.
        ASSERT_TRUE(device->source->start(device->grabber));
        ASSERT_TRUE(fetchWithin(device.get(), rgb)) << "connection " << i;
        if (i % 2 == 1)
            disconnectDevice(device.get());
    }
    disconnectDevice(device.get());
    // A joined thread leaves /proc a moment after the join returns (the kernel
    // wakes the joiner before it reaps the thread), so the count taken before
    // may still hold the first stream's thread, and the count after may hold
    // the last one for a moment: a thread left behind stays, and a thousand
    // connections would leave many, so a short wait and "no more" cannot hide one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (entriesIn("/proc/self/task") > threadsBefore && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(entriesIn("/proc/self/task"), threadsBefore);
    EXPECT_EQ(entriesIn("/proc/self/fd"), filesBefore);
}

}  // namespace
