// castellan-cli scene-check: what a scene holds on standard output, or one line
// naming the file and the problem with exit status 1. castellan-cli
// scene-picture: a scene's picture and positions made from a camera.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "cli_runner.h"

namespace {

const QString kSourceDir = QStringLiteral(CASTELLAN_SOURCE_DIR);

TEST(SceneCheckCli, PrintsWhatTheBundledRuinsHold)
{
    const CliResult r = runCli({"scene-check", kSourceDir + "/data/ruins.json"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const char* line : {"name: ruins\n", "brick edge: 2.4\n", "points: 39 (39 on the grid)\n", "real bricks: 33\n",
                             "virtual bricks: 75\n", "CalibrationFrame.png (320 x 240)\n",
                             "field of view: estimated every frame\n"})
        EXPECT_TRUE(r.out.contains(line)) << line << "\n" << r.out.toStdString();
}

TEST(SceneCheckCli, PrintsAHeldFieldOfView)
{
    const CliResult r = runCli({"scene-check", kSourceDir + "/tests/data/scenes/arch.json"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("field of view: 40 degrees, held\n")) << r.out.toStdString();
}

TEST(SceneCheckCli, RefusesABrokenSceneInOneLineWithStatusOne)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("broken.json");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write("{\"name\": \"broken\"}");
    out.close();
    const CliResult r = runCli({"scene-check", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(r.err, "castellan-cli scene-check: " + file + ": field \"brickEdge\": missing\n");
}

// The arch was made by scene-picture from this camera: made again from a copy
// without positions, picture and positions come out the same; a camera that
// loses a point is refused and writes nothing.
TEST(ScenePictureCli, RemakesTheArchAndRefusesACameraThatLosesAPoint)
{
    QTemporaryDir dir;
    const QString arch = kSourceDir + "/tests/data/scenes/arch.json";
    QFile source(arch);
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    const QByteArray original = source.readAll();
    const QByteArray text =
        QString::fromUtf8(original).remove(QRegularExpression(R"(, "reference": \[\d+, \d+\])")).toUtf8();
    ASSERT_FALSE(text.contains("reference"));
    const QString copy = dir.filePath("arch.json");
    QFile out(copy);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(text);
    out.close();

    const QStringList camera = {"--eye", "46,36,26", "--look-at", "15,1"};
    const CliResult made = runCli(QStringList{"scene-picture", copy} + camera);
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    EXPECT_TRUE(made.out.contains("28 reference positions written, 0 of them hidden")) << made.out.toStdString();
    QFile remade(copy);
    ASSERT_TRUE(remade.open(QIODevice::ReadOnly));
    EXPECT_EQ(remade.readAll(), original);
    EXPECT_EQ(QImage(dir.filePath("arch.png")), QImage(kSourceDir + "/tests/data/scenes/arch.png"));

    QFile::remove(dir.filePath("arch.png"));
    const CliResult refused = runCli({"scene-picture", copy, "--eye", "16,2,6", "--look-at", "15,1"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.startsWith("castellan-cli scene-picture: point ")) << refused.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("arch.png")));
}

}  // namespace
