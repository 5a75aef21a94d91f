// The exported camera against the program's own projection: a track written for
// the virtual camera's true pose, read back as another tool reads it, puts every
// model point where the program puts it (rows turned top-down).
#include "scene/frame_camera.h"
#include "scene/scene_model.h"
#include "track/track_writer.h"
#include "virtual_camera/virtual_ruins_camera.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <unistd.h>

namespace {

struct Case {
    int width;
    int height;
    bool jumps;  // the path that turns away, for poses far from the rest
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.width << " x " << c.height << (c.jumps ? ", jumps" : ", swing");
}

class PinholeConvention : public ::testing::TestWithParam<Case> {};

TEST_P(PinholeConvention, ExportedCameraProjectsWhereTheTruthCameraDoes) {
    const Case c = GetParam();
    const std::shared_ptr<const ruins::SceneModel> scene = ruins::bundledRuinsScene();
    ruins::VirtualCameraPath path;
    path.jumps = c.jumps;
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("track-convention-" + std::to_string(::getpid()) + ".json");
    std::string error;
    auto writer = track::openJsonTrack(file, c.width, c.height, scene->points, error);
    ASSERT_TRUE(writer) << error;
    std::vector<ruins::FrameCamera> truths;
    for (long long index = 0; index < 400; index += 7) {
        const std::optional<ruins::FrameCamera> truth = ruins::virtualCameraFrame(index, c.width, c.height, path);
        ASSERT_TRUE(truth);
        truths.push_back(*truth);
        ASSERT_TRUE(writer->addFrame(index, track::pinholeFrom({truth->width, truth->height, truth->focalX,
                                                                truth->focalY, truth->eye, truth->side, truth->up,
                                                                truth->forward})));
    }
    ASSERT_TRUE(writer->finish()) << writer->error();
    std::ifstream in(file);
    const nlohmann::json track = nlohmann::json::parse(in);
    std::filesystem::remove(file);

    ASSERT_EQ(track["frames"].size(), truths.size());
    ASSERT_EQ(track["points"].size(), scene->points.size());
    int compared = 0;
    for (std::size_t f = 0; f < truths.size(); ++f) {
        const nlohmann::json& frame = track["frames"][f];
        ASSERT_TRUE(frame["pose"].get<bool>());
        const nlohmann::json& k = frame["intrinsics"];
        const auto R = frame["R"].get<std::vector<std::vector<double>>>();
        const auto t = frame["t"].get<std::vector<double>>();
        for (const nlohmann::json& point : track["points"]) {
            const auto X = point["xyz"].get<std::vector<double>>();
            double camera[3];
            for (int i = 0; i < 3; ++i) camera[i] = R[i][0] * X[0] + R[i][1] * X[1] + R[i][2] * X[2] + t[i];
            const Vector3 model{X[0], X[1], X[2]};
            double column = 0.0, bufferRow = 0.0;
            if (!ruins::projectToFrame(truths[f], model, column, bufferRow)) {
                EXPECT_LE(camera[2], 0.0);
                continue;
            }
            ASSERT_GT(camera[2], 0.0);
            const double u = k["fx"].get<double>() * camera[0] / camera[2] + k["cx"].get<double>();
            const double v = k["fy"].get<double>() * camera[1] / camera[2] + k["cy"].get<double>();
            EXPECT_NEAR(u, column, 0.01) << "frame " << frame["frame"] << " point " << point["id"];
            EXPECT_NEAR(v, c.height - 1 - bufferRow, 0.01) << "frame " << frame["frame"] << " point " << point["id"];
            ++compared;
        }
    }
    EXPECT_GT(compared, int(truths.size()) * 30);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PinholeConvention,
                         ::testing::Values(Case{320, 240, false}, Case{640, 480, true}, Case{1280, 720, false},
                                           Case{321, 241, true}, Case{240, 320, false}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                    (info.param.jumps ? "_jumps" : "_swing");
                         });

}  // namespace
