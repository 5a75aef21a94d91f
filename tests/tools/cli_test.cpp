// castellan-cli as a script would use it: outputs, exit status, one-line errors.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "cli_runner.h"

namespace {

using Result = CliResult;

class CliTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
};

TEST_F(CliTest, HelpListsTheGreyCommand) {
    const Result r = runCli({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("grey IMAGE OUT.png"));
}

TEST_F(CliTest, VersionIsAnsweredAndListedInTheHelp) {
    for (const char* option : {"--version", "-v"}) {
        const Result r = runCli({option});
        EXPECT_EQ(r.exitCode, 0) << option;
        EXPECT_EQ(r.out, QStringLiteral("castellan-cli " CASTELLAN_VERSION "\n")) << option;
    }
    EXPECT_TRUE(runCli({"--help"}).out.contains("--version, -v"));
}

TEST_F(CliTest, ProgramHelpAndVersionNeedNoDisplay) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(CASTELLAN_PROGRAM), {"--help"});
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(process.readAllStandardOutput());
    for (const char* option : {"--virtual-camera", "--video", "--connect", "--device", "--processor", "--image",
                               "--version", "--help"})
        EXPECT_TRUE(help.contains(option)) << option;
    process.start(QStringLiteral(CASTELLAN_PROGRAM), {"--version"});
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(QString::fromLocal8Bit(process.readAllStandardOutput()).startsWith("castellan "));
}

TEST_F(CliTest, DevicesListsBothVirtualCameras) {
    const Result r = runCli({"devices", "--virtual-camera"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("Test Camera"));
    EXPECT_TRUE(r.out.contains("Virtual Ruins Camera"));
}

// A bright square on black in the picture's top half: FAST corners sit at its
// corners, and buffer rows count from the picture's bottom.
QString squarePicture(const QTemporaryDir& dir) {
    QImage picture(60, 40, QImage::Format_RGB32);
    picture.fill(qRgb(0, 0, 0));
    for (int y = 5; y < 15; ++y)
        for (int x = 20; x < 30; ++x) picture.setPixel(x, y, qRgb(255, 255, 255));
    const QString path = dir.filePath("square.png");
    picture.save(path);
    return path;
}

TEST_F(CliTest, FastPrintsCornersInBufferCoordinates) {
    const QString picture = squarePicture(dir);
    const Result raw = runCli({"fast", picture, "--raw"});
    const Result kept = runCli({"fast", picture});
    ASSERT_EQ(raw.exitCode, 0) << raw.err.toStdString();
    ASSERT_EQ(kept.exitCode, 0);
    const QStringList rawLines = raw.out.split('\n', Qt::SkipEmptyParts);
    const QStringList keptLines = kept.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(keptLines.isEmpty());
    EXPECT_LE(keptLines.size(), rawLines.size());
    for (const QString& line : keptLines) {
        const QStringList xy = line.split(',');
        ASSERT_EQ(xy.size(), 2);
        const int x = xy[0].toInt(), y = xy[1].toInt();
        // The square spans picture rows 5..14, i.e. buffer rows 25..34.
        EXPECT_TRUE(x >= 18 && x <= 31 && y >= 23 && y <= 36) << line.toStdString();
    }
    const Result capped = runCli({"fast", picture, "--capacity", "1"});
    EXPECT_EQ(capped.out.split('\n', Qt::SkipEmptyParts), keptLines.mid(0, 1));
    EXPECT_EQ(runCli({"fast", picture, "--threshold", "x"}).exitCode, 1);
}

TEST_F(CliTest, CannyWritesAnUprightEdgeMapOfZerosAnd255) {
    const QString out = dir.filePath("edges.png");
    const Result r = runCli({"canny", squarePicture(dir), out, "--sigma", "1", "--lower", "30", "--upper", "60"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage edges(out);
    ASSERT_EQ(edges.size(), QSize(60, 40));
    int white = 0, topHalf = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x) {
            const int v = qRed(edges.pixel(x, y));
            ASSERT_TRUE(v == 0 || v == 255) << v;
            if (v == 255) {
                ++white;
                topHalf += y < 20;
            }
        }
    EXPECT_GT(white, 20);
    EXPECT_EQ(topHalf, white);  // the edges are around the square, in the top half
}

TEST_F(CliTest, UnknownCommandFails) {
    const Result r = runCli({"no-such-command"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count('\n'), 1);
}

TEST_F(CliTest, GreyWritesTheUprightGreyFrame) {
    QImage picture(5, 3, QImage::Format_RGB32);
    picture.fill(qRgb(1, 1, 1));
    picture.setPixel(0, 0, qRgb(255, 0, 0));    // top-left
    picture.setPixel(4, 2, qRgb(0, 0, 255));    // bottom-right
    const QString in = dir.filePath("in.png");
    ASSERT_TRUE(picture.save(in));
    const QString out = dir.filePath("out.png");
    const Result r = runCli({"grey", in, out});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage grey(out);
    ASSERT_EQ(grey.size(), QSize(5, 3));
    EXPECT_EQ(grey.pixel(0, 0), qRgb(76, 76, 76));
    EXPECT_EQ(grey.pixel(4, 2), qRgb(29, 29, 29));
    EXPECT_EQ(grey.pixel(2, 1), qRgb(1, 1, 1));
}

TEST_F(CliTest, GreyRejectsBadInputWithOneLineAndStatus1) {
    const QString empty = dir.filePath("empty.png");
    QFile(empty).open(QIODevice::WriteOnly);
    const QString text = dir.filePath("text.png");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("plain text");
    }
    const QString truncated = dir.filePath("truncated.png");
    {
        QImage picture(80, 80, QImage::Format_RGB32);
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 80; ++x) picture.setPixel(x, y, qRgb(x * 3, y * 3, x ^ y));
        ASSERT_TRUE(picture.save(truncated));
        QFile f(truncated);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.resize(f.size() / 2));
    }
    for (const QString& bad : {empty, text, truncated, dir.path(), dir.filePath("missing.gif")}) {
        const QString out = dir.filePath("never.png");
        const Result r = runCli({"grey", bad, out});
        EXPECT_EQ(r.exitCode, 1) << bad.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(out));
    }
    EXPECT_EQ(runCli({"grey", text}).exitCode, 1);  // missing argument
}

TEST_F(CliTest, GreyReportsAnUnwritableOutput) {
    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(0);
    const QString in = dir.filePath("ok.png");
    ASSERT_TRUE(picture.save(in));
    const Result r = runCli({"grey", in, dir.filePath("missing-dir/out.png")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count('\n'), 1);
}

TEST_F(CliTest, ReconstructRefusesAFileThatIsNotAVideo) {
    const QString text = dir.filePath("notes.mp4");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("these are notes, not a video");
    }
    const Result r = runCli({"reconstruct", "--source", text, "--frames", "3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("notes.mp4"));
    EXPECT_TRUE(r.out.isEmpty());
}

// Every command but reconstruct (see reconstruct_cli_test.cpp) where writing
// fails or input is unusual: the system's reason, status 1, nothing lost.
// "full" is a file system of 64 KiB, filled before the command runs.
#define FILL_FULL "mount -t tmpfs -o size=64k tmpfs full 2>/dev/null || exit 77; "
#define FILL_REST "head -c 1M /dev/urandom > full/fill 2>/dev/null; "

class CommandsUnderHostileRuns : public ::testing::TestWithParam<HostileRun> {};

TEST_P(CommandsUnderHostileRuns, SayWhyAndLoseNothing) { expectHostileRun(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandsUnderHostileRuns,
    ::testing::Values(
        HostileRun{"GreyOntoAFullDevice", "\"$CLI\" grey in.png /dev/full", 1, "/dev/full: No space left on device",
                   "test -c /dev/full"},
        HostileRun{"CannyOntoAFullDevice", "\"$CLI\" canny in.png /dev/full", 1, "No space left on device", nullptr},
        HostileRun{"CalibrationFrameOntoAFullDevice", "\"$CLI\" calibration-frame /dev/full", 1,
                   "No space left on device", nullptr},
        HostileRun{"GreyOntoAFullDiskKeepsTheOldPicture",
                   "mkdir full && " FILL_FULL "cp in.png full/out.png; " FILL_REST "\"$CLI\" grey in.png full/out.png",
                   1, "full/out.png: No space left on device", "cmp in.png full/out.png && test -z \"$(ls full | grep -vx -e out.png -e fill)\""},
        HostileRun{"ScenePictureOnAFullDiskKeepsPictureAndScene",
                   "mkdir full && " FILL_FULL "cp arch.json arch.png full/; " FILL_REST
                   "\"$CLI\" scene-picture full/arch.json --eye 46,36,20 --look-at 15,1",
                   1, "cannot write the picture full/arch.png: No space left on device",
                   "cmp arch.png full/arch.png && cmp arch.json full/arch.json && test ! -e full/arch.json.partial"},
        HostileRun{"ScenePictureRefusesToWriteOverItsScene",
                   "sed 's/\"arch.png\"/\"self.json\"/' arch.json > self.json && cp self.json kept.json && "
                   "\"$CLI\" scene-picture self.json --eye 46,36,20 --look-at 15,1",
                   1, "is the scene file itself", "cmp self.json kept.json"},
        HostileRun{"FastIntoAFullStandardOutput", "\"$CLI\" fast in.png > /dev/full", 1,
                   "cannot write the standard output: No space left on device", nullptr},
        HostileRun{"KltSelectIntoAFullStandardOutput", "\"$CLI\" klt-select in.png > /dev/full", 1,
                   "cannot write the standard output", nullptr},
        HostileRun{"VersionIntoAFullStandardOutput", "\"$CLI\" --version > /dev/full", 1,
                   "cannot write the standard output", nullptr},
        HostileRun{"SceneCheckIntoAFullStandardOutput", "\"$CLI\" scene-check arch.json > /dev/full", 1,
                   "cannot write the standard output", nullptr},
        HostileRun{"GreyReadsARealPictureFromStandardInput", "\"$CLI\" grey /dev/stdin out.png < in.png", 0, nullptr,
                   "test -s out.png"},
        HostileRun{"GreyReadsARealPictureFromAPipe", "cat in.png | \"$CLI\" grey /dev/stdin out.png", 0, nullptr,
                   "test -s out.png"},
        HostileRun{"GreyKeepsNamesThatAreNotUtf8", "cp in.png $'caf\\xe9.png' && \"$CLI\" grey $'caf\\xe9.png' $'out\\xe9.png'",
                   0, nullptr, "test -s $'out\\xe9.png' && test \"$(ls | grep -c out)\" = 1"}),
    [](const ::testing::TestParamInfo<HostileRun>& info) { return std::string(info.param.name); });

}  // namespace
