// castellan-cli reconstruct and calibration-frame as a script would use them:
// the CSV contract, reproducibility, pictures, and refusals of bad options.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "cli_runner.h"

#include <cmath>

namespace {

using Result = CliResult;

const QString kHeader =
    "frame,pose_valid,valid_points,eye_x,eye_y,eye_z,look_x,look_y,fov_deg,reproj_err_px,eye_err,up_x,up_y,up_z";
constexpr int kColumns = 14;

struct Row {
    int frame = -1;
    bool poseValid = false;
    int validPoints = -1;
    QStringList fields;
};

// Parses the CSV strictly; failures are reported through gtest.
std::vector<Row> parseCsv(const QString& out, QString& summary) {
    QStringList lines = out.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    std::vector<Row> rows;
    EXPECT_GE(lines.size(), 2);
    if (lines.size() < 2) return rows;
    EXPECT_EQ(lines.first(), kHeader);
    summary = lines.last();
    EXPECT_TRUE(summary.startsWith('#')) << summary.toStdString();
    for (int i = 1; i < lines.size() - 1; ++i) {
        Row row;
        row.fields = lines[i].split(',');
        EXPECT_EQ(row.fields.size(), kColumns) << lines[i].toStdString();
        if (row.fields.size() != kColumns) return rows;
        bool ok = false;
        row.frame = row.fields[0].toInt(&ok);
        EXPECT_TRUE(ok);
        const int valid = row.fields[1].toInt(&ok);
        EXPECT_TRUE(ok && (valid == 0 || valid == 1)) << lines[i].toStdString();
        row.poseValid = valid == 1;
        row.validPoints = row.fields[2].toInt(&ok);
        EXPECT_TRUE(ok && row.validPoints >= 0 && row.validPoints <= 39);
        for (int f = 3; f < kColumns; ++f) {
            const bool shouldHaveValue = row.poseValid && f != 6 && f != 7;  // the look-at may be missing
            if (row.fields[f].isEmpty()) {
                EXPECT_FALSE(shouldHaveValue) << "frame " << row.frame << " column " << f;
                continue;
            }
            EXPECT_TRUE(row.poseValid) << "a value without a pose, frame " << row.frame;
            const double value = row.fields[f].toDouble(&ok);
            EXPECT_TRUE(ok && std::isfinite(value)) << lines[i].toStdString();
        }
        rows.push_back(row);
    }
    return rows;
}

double field(const Row& row, int index) { return row.fields[index].toDouble(); }

TEST(ReconstructCli, ThreeHundredVirtualFramesGiveAParsableCsv) {
    const Result r = runCli({"reconstruct", "--source", "virtual", "--frames", "300"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QString summary;
    const std::vector<Row> rows = parseCsv(r.out, summary);
    ASSERT_EQ(rows.size(), 300u);
    int withPose = 0;
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(rows[std::size_t(i)].frame, i);
        withPose += rows[std::size_t(i)].poseValid ? 1 : 0;
    }
    // While matching at rest the pose comes from the reference positions, which
    // give exactly the calibration pose: the true pose of the resting camera.
    ASSERT_TRUE(rows[0].poseValid);
    EXPECT_EQ(rows[0].validPoints, 39);
    EXPECT_LT(field(rows[0], 9), 1e-3);
    EXPECT_LT(field(rows[0], 10), 1e-3);
    EXPECT_NEAR(field(rows[0], 8), 36.04, 0.01);
    EXPECT_TRUE(summary.startsWith("# frames=300 pose_share=")) << summary.toStdString();
    EXPECT_TRUE(summary.contains(QString("pose_share=%1").arg(withPose / 300.0, 0, 'f', 4))) << summary.toStdString();
    EXPECT_TRUE(summary.contains("reproj_median_px=") && summary.contains("reproj_p95_px=") &&
                summary.contains("ms_per_frame="));
}

TEST(ReconstructCli, RunsAreReproducible) {
    const QStringList args{"reconstruct", "--frames", "80", "--detector", "fast", "--noise", "2", "--kalman"};
    const Result a = runCli(args);
    const Result b = runCli(args);
    ASSERT_EQ(a.exitCode, 0) << a.err.toStdString();
    ASSERT_EQ(b.exitCode, 0);
    // Everything but the timing in the summary.
    const QString rowsA = a.out.left(a.out.lastIndexOf('#'));
    const QString rowsB = b.out.left(b.out.lastIndexOf('#'));
    EXPECT_FALSE(rowsA.isEmpty());
    EXPECT_EQ(rowsA, rowsB);
}

TEST(ReconstructCli, OutputDirGetsOnePicturePerFrame) {
    QTemporaryDir dir;
    const QString out = dir.filePath("frames/sub");
    const Result r = runCli({"reconstruct", "--frames", "3", "--size", "640x480", "--output-dir", out});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList pictures = QDir(out).entryList({"*.png"}, QDir::Files, QDir::Name);
    ASSERT_EQ(pictures, (QStringList{"frame_00000.png", "frame_00001.png", "frame_00002.png"}));
    const QImage first(QDir(out).filePath(pictures.first()));
    EXPECT_EQ(first.size(), QSize(640, 480));
    // The virtual bricks are drawn in register: some pure yellow-shaded pixels.
    int yellow = 0;
    for (int y = 0; y < first.height(); ++y)
        for (int x = 0; x < first.width(); ++x) {
            const QRgb p = first.pixel(x, y);
            yellow += qRed(p) > 40 && qRed(p) == qGreen(p) && qBlue(p) == 0 ? 1 : 0;
        }
    EXPECT_GT(yellow, 1000);
}

TEST(ReconstructCli, ZeroFramesEndCleanly) {
    const Result r = runCli({"reconstruct", "--frames", "0"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, kHeader + "\n# frames=0 pose_share=n/a reproj_median_px=n/a reproj_p95_px=n/a ms_per_frame=n/a "
                               "total_ms_per_frame=n/a\n");
}

TEST(ReconstructCli, BadOptionsAreRefusedWithOneLine) {
    const std::vector<QStringList> bad{
        {"--frames", "-1"},          {"--frames", "many"},        {"--frames"},
        {"--size", "0x0"},           {"--size", "100000x100000"}, {"--size", "640"},
        {"--size", "640x-480"},      {"--detector", "sift"},      {"--threshold", "0"},
        {"--threshold", "201"},      {"--noise", "-1"},           {"--noise", "nan"},
        {"--source", "missing.mp4"}, {"--bogus"},
    };
    for (const QStringList& options : bad) {
        const Result r = runCli(QStringList{"reconstruct"} + options);
        EXPECT_EQ(r.exitCode, 1) << options.join(' ').toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("castellan-cli reconstruct: ")) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

TEST(CalibrationFrameCli, WritesTheBundledCalibrationFrame) {
    QTemporaryDir dir;
    const QString out = dir.filePath("CalibrationFrame.png");
    const Result r = runCli({"calibration-frame", out});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage written(out);
    const QImage bundled(QStringLiteral(CASTELLAN_SOURCE_DIR "/data/CalibrationFrame.png"));
    ASSERT_EQ(written.size(), QSize(320, 240));
    EXPECT_EQ(written.convertToFormat(QImage::Format_RGB32), bundled.convertToFormat(QImage::Format_RGB32));

    const Result noDir = runCli({"calibration-frame", dir.filePath("no/such/dir/x.png")});
    EXPECT_EQ(noDir.exitCode, 1);
    EXPECT_EQ(noDir.err.count('\n'), 1);
    const Result noArgs = runCli({"calibration-frame"});
    EXPECT_EQ(noArgs.exitCode, 1);
}

// reconstruct where its files, pipes or limits turn hostile: the system's
// reason, status 1, every input as it was and what was written still usable.
// "full" is a file system of 64 KiB.
#define ZERO_FRAGMENTS_AFTER_THE_SECOND(video)                                                          \
    "n=0; for at in $(grep -obUa mdat " video " | cut -d: -f1); do n=$((n+1)); [ $n -le 2 ] && continue; " \
    "size=$((16#$(od -An -tx1 -j $((at-4)) -N4 " video " | tr -d ' \\n'))); "                             \
    "dd if=/dev/zero of=" video " bs=1 seek=$((at+4)) count=$((size-8)) conv=notrunc status=none; done; "
#define PLAYS(video) "\"$CLI\" reconstruct --source " video " --frames 2 > /dev/null"
#define TINY_ARCH                                                                                       \
    "sed 's/\"brickEdge\": 3.2/\"brickEdge\": 0.001/; s/\\[32.0, 3.2, 0.0\\]/[0.01, 0.001, 0]/' arch.json " \
    "> tiny.json && \"$CLI\" scene-picture tiny.json --eye 0.014375,0.01125,0.008125 "                  \
    "--look-at 0.0046875,0.0003125 > /dev/null && "

class ReconstructUnderHostileRuns : public ::testing::TestWithParam<HostileRun> {};

TEST_P(ReconstructUnderHostileRuns, SaysWhyAndLosesNothing) { expectHostileRun(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Runs, ReconstructUnderHostileRuns,
    ::testing::Values(
        HostileRun{"RecordOntoTheSourceVideo",
                   "\"$CLI\" reconstruct --frames 20 --record clip.mp4 > /dev/null && cp clip.mp4 keep.mp4 && "
                   "\"$CLI\" reconstruct --source clip.mp4 --frames 200 --record ./clip.mp4",
                   1, "--record ./clip.mp4 is the input clip.mp4", "cmp clip.mp4 keep.mp4"},
        HostileRun{"TrackOntoTheSourceVideo",
                   "\"$CLI\" reconstruct --frames 20 --record clip.mp4 > /dev/null && cp clip.mp4 keep.mp4 && "
                   "\"$CLI\" reconstruct --source clip.mp4 --frames 20 --track clip.mp4",
                   1, "--track clip.mp4 is the input clip.mp4", "cmp clip.mp4 keep.mp4"},
        HostileRun{"TrackCutShortKeepsTheEarlierTrack",
                   "\"$CLI\" reconstruct --frames 5 --track t.json > /dev/null && cp t.json keep.json && "
                   "ulimit -f 20; \"$CLI\" reconstruct --frames 300 --track t.json > /dev/null",
                   1, "cannot write t.json: File too large", "cmp t.json keep.json && test \"$(ls t.json*)\" = t.json"},
        HostileRun{"RecordOntoTheScene",
                   "cp arch.json keep.json && \"$CLI\" reconstruct --scene arch.json --record \"$PWD/arch.json\"", 1,
                   "is the input arch.json", "cmp arch.json keep.json"},
        HostileRun{"RecordOntoTheScenesPicture", "\"$CLI\" reconstruct --scene arch.json --record ./arch.png", 1,
                   "is the input", "cmp arch.png in.png"},
        HostileRun{"RecordOntoTheBackground", "\"$CLI\" reconstruct --background in.png --record ../${PWD##*/}/in.png",
                   1, "is the input in.png", "cmp in.png arch.png"},
        HostileRun{"RecordOntoStandardOutput", "\"$CLI\" reconstruct --frames 5 --record rows.csv > rows.csv", 1,
                   "is the standard output", nullptr},
        HostileRun{"RecordNamesAreFileNamesNotAddresses",
                   "\"$CLI\" reconstruct --frames 20 --record pipe:2 > /dev/null && "
                   "\"$CLI\" reconstruct --frames 20 --record take:1.mp4 > /dev/null",
                   0, nullptr, PLAYS("pipe:2") " && " PLAYS("take:1.mp4")},
        HostileRun{"RecordToANetworkAddressIsAMissingFolder",
                   "\"$CLI\" reconstruct --frames 5 --record tcp://127.0.0.1:9/take.mp4 > /dev/null", 1,
                   "cannot create the file: No such file or directory", nullptr},
        HostileRun{"OutputDirHoldingEarlierFrames",
                   "\"$CLI\" reconstruct --frames 2 --output-dir frames > /dev/null && cp frames/frame_00000.png "
                   "keep.png && \"$CLI\" reconstruct --frames 3 --output-dir frames > /dev/null",
                   1, "frames already holds frames of an earlier run",
                   "cmp frames/frame_00000.png keep.png && test ! -e frames/frame_00002.png"},
        HostileRun{"OutputDirFramesReplacedWhenAsked",
                   "\"$CLI\" reconstruct --frames 3 --output-dir frames > /dev/null && "
                   "\"$CLI\" reconstruct --frames 1 --output-dir frames --replace-frames > /dev/null",
                   0, nullptr, "test \"$(ls frames)\" = frame_00000.png"},
        HostileRun{"OutputDirFramesNotReplacedWhenOneIsAnInput",
                   "\"$CLI\" reconstruct --frames 1 --output-dir frames > /dev/null && cp frames/frame_00000.png "
                   "keep.png && \"$CLI\" reconstruct --frames 1 --background frames/frame_00000.png --output-dir "
                   "frames --replace-frames > /dev/null",
                   1, "would remove the input frames/frame_00000.png", "cmp frames/frame_00000.png keep.png"},
        HostileRun{"OutputDirUnderAFile", "\"$CLI\" reconstruct --frames 2 --output-dir in.png/frames", 1,
                   "cannot create the directory in.png/frames: Not a directory", "cmp in.png arch.png"},
        HostileRun{"OutputDirOnAFullDisk",
                   "mkdir full && { mount -t tmpfs -o size=64k tmpfs full 2>/dev/null || exit 77; } && "
                   "\"$CLI\" reconstruct --frames 40 --output-dir full/frames > /dev/null",
                   1, "No space left on device", nullptr},
        HostileRun{"SourceFailingMidRun",
                   "\"$CLI\" reconstruct --frames 600 --size 16x16 --record v.mp4 > /dev/null; "
                   ZERO_FRAGMENTS_AFTER_THE_SECOND("v.mp4")
                   "\"$CLI\" reconstruct --source v.mp4 --size 16x16 --frames 100 > rows.csv",
                   1, "the source failed at frame 30: ", "test \"$(wc -l < rows.csv)\" = 31"},
        HostileRun{"PlaylistNamingAFifo",
                   "mkfifo fifo && printf \"ffconcat version 1.0\\nfile 'fifo'\\n\" > list.ffconcat && "
                   "timeout 60 \"$CLI\" reconstruct --source list.ffconcat --frames 3",
                   1, "not a kind of video file this program reads", nullptr},
        HostileRun{"VideoDeclaringHugePictures",
                   "\"$CLI\" reconstruct --frames 1 --size 64x48 --record v.mp4 > /dev/null && "
                   "at=$(LC_ALL=C grep -obUaP '(avc1|mp4v)\\x00{6}\\x00\\x01' v.mp4 | head -n 1 | cut -d: -f1) && "
                   "printf '\\x3e\\x80\\x3e\\x80' | dd of=v.mp4 bs=1 seek=$((at + 28)) conv=notrunc status=none && "
                   "\"$CLI\" reconstruct --source v.mp4 --frames 1",
                   1, "its pictures are too large (16000 x 16000, at most 8192 per side)", nullptr},
        HostileRun{"FullStandardOutput", "\"$CLI\" reconstruct --frames 30 > /dev/full", 1,
                   "cannot write the standard output: No space left on device", nullptr},
        HostileRun{"StandardOutputClosedEarly",
                   "set -o pipefail; \"$CLI\" reconstruct --frames 1000 --record rec.mp4 | head -n 1 > /dev/null", 1,
                   "cannot write the standard output at frame", PLAYS("rec.mp4")},
        HostileRun{"FileSizeLimit", "ulimit -f 200; \"$CLI\" reconstruct --frames 300 --record rec.mp4 > rows.csv", 1,
                   "rec.mp4: cannot write the file: File too large",
                   "test \"$(tail -c 1 rows.csv | od -An -tx1)\" = ' 0a' && " PLAYS("rec.mp4")},
        HostileRun{"CalibrationFrameOfAnotherSizeInTheWorkingFolder",
                   "\"$CLI\" reconstruct --frames 1 --size 640x480 --output-dir big > /dev/null && "
                   "cp big/frame_00000.png CalibrationFrame.png && \"$CLI\" reconstruct --frames 100 > rows.csv",
                   0, "CalibrationFrame.png is 640 x 480, not the bundled 320 x 240",
                   "rm CalibrationFrame.png && \"$CLI\" reconstruct --frames 100 | head -n 101 > plain.csv && "
                   "head -n 101 rows.csv | cmp - plain.csv"},
        HostileRun{"TinyBricksAreDrawn", TINY_ARCH "\"$CLI\" reconstruct --scene tiny.json --frames 60 > rows.csv", 0,
                   nullptr, "grep -q 'pose_share=\\(0\\.9\\|1\\)' rows.csv"},
        HostileRun{"FileNamesNotInUtf8",
                   "cp arch.json $'sc\\xe8ne.json' && \"$CLI\" reconstruct --scene $'sc\\xe8ne.json' --frames 3 "
                   "--record $'t\\xe9.mp4' --output-dir $'fr\\xe9' > /dev/null",
                   0, nullptr, PLAYS("$'t\\xe9.mp4'") " && test -s $'fr\\xe9/frame_00002.png' && test \"$(ls | grep -c fr)\" = 1"}),
    [](const ::testing::TestParamInfo<HostileRun>& info) { return std::string(info.param.name); });

}  // namespace
