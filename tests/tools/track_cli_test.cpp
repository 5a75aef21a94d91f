// castellan-cli reconstruct --track and --colmap: the COLMAP model, read and
// written again by COLMAP itself, holds the JSON track's cameras, poses and points.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <gtest/gtest.h>

#include "cli_runner.h"

#include <array>
#include <cmath>
#include <map>

namespace {

// The data lines of a COLMAP text file, split at spaces (images.txt: two per image).
std::vector<QStringList> colmapLines(const QString& file) {
    QFile in(file);
    EXPECT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Text)) << file.toStdString();
    std::vector<QStringList> lines;
    QTextStream text(&in);
    while (!text.atEnd()) {
        const QString line = text.readLine();
        if (!line.startsWith('#')) lines.push_back(line.split(' ', Qt::SkipEmptyParts));
    }
    return lines;
}

std::array<double, 9> rotationOf(double w, double x, double y, double z) {
    return {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
            2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
            2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
}

CliResult runColmap(const QStringList& args) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("colmap"), args);
    return finishedProcess(process, 120000);
}

TEST(TrackCli, ColmapModelRoundTripsThroughColmapAndMatchesTheJsonTrack) {
    if (QStandardPaths::findExecutable(QStringLiteral("colmap")).isEmpty())
        GTEST_SKIP() << "no colmap program (scripts/install-deps.sh installs it)";
    QTemporaryDir dir;
    const QString at = dir.path() + '/';
    // The jumps path turns away from the ruins: frames without a pose, which the model leaves out.
    const CliResult run = runCli({"reconstruct", "--frames", "220", "--path", "jumps", "--track", at + "t.json",
                                  "--colmap", at + "model"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    for (const char* type : {"BIN", "TXT"}) {
        const QString from = at + (type[0] == 'B' ? "model" : "bin");
        const QString to = at + (type[0] == 'B' ? "bin" : "txt");
        ASSERT_TRUE(QDir().mkpath(to));
        const CliResult converted = runColmap({"model_converter", "--input_path", from, "--output_path", to,
                                               "--output_type", type});
        ASSERT_EQ(converted.exitCode, 0) << converted.err.toStdString();
    }

    QFile trackFile(at + "t.json");
    ASSERT_TRUE(trackFile.open(QIODevice::ReadOnly));
    const QJsonObject track = QJsonDocument::fromJson(trackFile.readAll()).object();
    std::map<QString, QJsonObject> posed;  // by picture name
    int withoutPose = 0;
    for (const QJsonValue frame : track["frames"].toArray()) {
        if (!frame["pose"].toBool()) {
            ++withoutPose;
            continue;
        }
        posed[QString::asprintf("frame_%05d.png", frame["frame"].toInt())] = frame.toObject();
    }
    EXPECT_EQ(withoutPose + int(posed.size()), 220);
    EXPECT_GT(withoutPose, 0);
    const QJsonArray points = track["points"].toArray();
    ASSERT_EQ(points.size(), 39);

    std::map<int, QStringList> cameras;
    for (const QStringList& camera : colmapLines(at + "txt/cameras.txt")) cameras[camera[0].toInt()] = camera;
    const std::vector<QStringList> images = colmapLines(at + "txt/images.txt");
    ASSERT_EQ(images.size(), 2 * posed.size());
    std::map<int, QStringList> observationsOf;  // image id: its 2D points
    for (std::size_t i = 0; i < images.size(); i += 2) {
        const QStringList& image = images[i];
        ASSERT_EQ(image.size(), 10);
        ASSERT_TRUE(posed.count(image[9])) << image[9].toStdString();
        const QJsonObject& frame = posed[image[9]];
        const std::array<double, 9> R = rotationOf(image[1].toDouble(), image[2].toDouble(), image[3].toDouble(),
                                                   image[4].toDouble());
        const QJsonArray rows = frame["R"].toArray();
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(R[3 * r + c], rows[r][c].toDouble(), 1e-12) << image[9].toStdString();
            EXPECT_NEAR(image[5 + r].toDouble(), frame["t"][r].toDouble(), 1e-9) << image[9].toStdString();
        }
        const QStringList& camera = cameras[image[8].toInt()];
        ASSERT_EQ(camera.size(), 8);
        const QJsonObject k = frame["intrinsics"].toObject();
        EXPECT_EQ(camera[1], "PINHOLE");
        EXPECT_EQ(camera[2].toInt(), k["width"].toInt());
        EXPECT_EQ(camera[3].toInt(), k["height"].toInt());
        // COLMAP puts the centre of the top-left pixel at (0.5, 0.5).
        const double fx = k["fx"].toDouble(), fy = k["fy"].toDouble();
        const double cx = k["cx"].toDouble() + 0.5, cy = k["cy"].toDouble() + 0.5;
        EXPECT_NEAR(camera[4].toDouble(), fx, 1e-9);
        EXPECT_NEAR(camera[5].toDouble(), fy, 1e-9);
        EXPECT_NEAR(camera[6].toDouble(), cx, 1e-12);
        EXPECT_NEAR(camera[7].toDouble(), cy, 1e-12);
        // Each 2D point is its model point seen through this camera.
        const QStringList& observed = images[i + 1];
        ASSERT_EQ(observed.size() % 3, 0);
        EXPECT_GE(observed.size(), 3 * 9) << image[9].toStdString();
        for (int o = 0; o < observed.size(); o += 3) {
            const QJsonArray X = points[observed[o + 2].toInt() - 1]["xyz"].toArray();
            double x[3];
            for (int r = 0; r < 3; ++r)
                x[r] = rows[r][0].toDouble() * X[0].toDouble() + rows[r][1].toDouble() * X[1].toDouble() +
                       rows[r][2].toDouble() * X[2].toDouble() + frame["t"][r].toDouble();
            EXPECT_NEAR(observed[o].toDouble(), fx * x[0] / x[2] + cx, 1e-6);
            EXPECT_NEAR(observed[o + 1].toDouble(), fy * x[1] / x[2] + cy, 1e-6);
        }
        observationsOf[image[0].toInt()] = observed;
    }

    // Every model point, and its track names 2D points that name it.
    const std::vector<QStringList> points3D = colmapLines(at + "txt/points3D.txt");
    int tracked = 0;
    for (const QStringList& point : points3D) {
        const int id = point[0].toInt();
        ASSERT_TRUE(id >= 1 && id <= points.size());
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_NEAR(point[1 + axis].toDouble(), points[id - 1]["xyz"][axis].toDouble(), 1e-12);
        for (int e = 8; e + 1 < point.size(); e += 2) {
            const QStringList& observed = observationsOf[point[e].toInt()];
            const int index = point[e + 1].toInt();
            ASSERT_LT(3 * index + 2, observed.size());
            EXPECT_EQ(observed[3 * index + 2].toInt(), id);
            ++tracked;
        }
    }
    EXPECT_EQ(points3D.size(), std::size_t(points.size()));
    EXPECT_GT(tracked, 0);
}

}  // namespace
