// castellan-cli scene-check: what a scene holds on standard output, or one line
// naming the file and the problem with exit status 1.
#include <QDir>
#include <QFile>
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

}  // namespace
