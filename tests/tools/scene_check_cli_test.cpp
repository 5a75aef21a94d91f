// castellan-cli scene-check: what a scene holds on standard output, or one line
// naming the file and the problem with exit status 1. castellan-cli
// scene-picture: a scene's picture and positions made from a camera.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "cli_runner.h"

#include <functional>

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

// The arch with one change, checked beside a copy of its picture: refused in one
// line naming the problem, or (`refused` empty) accepted with `expected` on
// standard output and nothing that a terminal would obey.
struct SceneCheckCase {
    const char* name;
    std::function<void(QJsonObject&)> change;
    const char* refused;   // in the error line, or nullptr
    const char* expected;  // on standard output when accepted
};

class SceneCheckCases : public ::testing::TestWithParam<SceneCheckCase> {};

TEST_P(SceneCheckCases, RefusesOrPrintsSafely)
{
    QTemporaryDir dir;
    QFile source(kSourceDir + "/tests/data/scenes/arch.json");
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    QJsonObject scene = QJsonDocument::fromJson(source.readAll()).object();
    ASSERT_TRUE(QFile::copy(kSourceDir + "/tests/data/scenes/arch.png", dir.filePath("arch.png")));
    GetParam().change(scene);
    const QString file = dir.filePath("scene.json");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(QJsonDocument(scene).toJson());
    out.close();

    const CliResult r = runCli({"scene-check", file});
    if (GetParam().refused) {
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(GetParam().refused)) << r.err.toStdString();
    } else {
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(GetParam().expected)) << r.out.toStdString();
        EXPECT_FALSE(r.out.contains(QChar(0x1B)) || r.out.contains(QChar(0x9B))) << r.out.toStdString();
        EXPECT_EQ(r.out.count('\n'), 7) << r.out.toStdString();
    }
}

void swapFirstTwoReferences(QJsonObject& scene)
{
    QJsonArray points = scene["points"].toArray();
    QJsonObject first = points[0].toObject(), second = points[4].toObject();
    const QJsonValue reference = first["reference"];
    first["reference"] = second["reference"];
    second["reference"] = reference;
    points[0] = first;
    points[4] = second;
    scene["points"] = points;
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, SceneCheckCases,
    ::testing::Values(
        SceneCheckCase{"AbsolutePicture", [](QJsonObject& s) { s["picture"] = "/etc/passwd"; },
                       "\"/etc/passwd\" must name a file in the scene's folder or below it", nullptr},
        SceneCheckCase{"ClimbingPicture", [](QJsonObject& s) { s["picture"] = "../x/../arch.png"; },
                       "must name a file in the scene's folder", nullptr},
        SceneCheckCase{"ReferencesNoCameraFits", swapFirstTwoReferences, "misses the reference positions by",
                       nullptr},
        SceneCheckCase{"NameWithTerminalControls",
                       [](QJsonObject& s) { s["name"] = QString::fromUtf8("a\nname: forged\x1b[2J\u009b1m\\"); },
                       nullptr, "name: a\\nname: forged\\x1B[2J\\u009B1m\\\\\n"}),
    [](const ::testing::TestParamInfo<SceneCheckCase>& info) { return std::string(info.param.name); });

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
