// The true camera of a video fitted to another frame size: the scaler keeps
// pixel centres on pixel centres, so a point the camera projects is shown
// (s - 1) / 2 pixels off in each direction, s the scale, whatever bars the fit
// leaves.
#include "tools/camera_truth.h"

#include <QTemporaryDir>

#include <fstream>

#include <gtest/gtest.h>

namespace {

struct Fitting {
    int videoWidth, videoHeight, width, height;
    double offset;
};

class TrueCameraOfAScaledVideo : public ::testing::TestWithParam<Fitting> {};

TEST_P(TrueCameraOfAScaledVideo, ShowsPointsWhereTheScalerPutsThem)
{
    const Fitting fitting = GetParam();
    QTemporaryDir dir;
    const std::string file = dir.filePath("truth.csv").toStdString();
    std::ofstream(file) << "frame,eye_x,eye_y,eye_z,look_x,look_y,look_z,fov_deg\n0,30,-20,25,5,6,0,40\n";
    std::string error;
    const std::optional<tools::CameraTruth> truth = tools::CameraTruth::read(file, error);
    ASSERT_TRUE(truth) << error;
    const std::optional<tools::TrueCamera> camera =
        truth->frame(0, fitting.width, fitting.height, fitting.videoWidth, fitting.videoHeight);
    ASSERT_TRUE(camera);
    EXPECT_DOUBLE_EQ(camera->offsetX, fitting.offset);
    EXPECT_DOUBLE_EQ(camera->offsetY, fitting.offset);
    double column = 0.0, row = 0.0, plainColumn = 0.0, plainRow = 0.0;
    ASSERT_TRUE(tools::projectTrue(*camera, {5, 6, 0}, column, row));
    ASSERT_TRUE(ruins::projectToFrame(camera->camera, {5, 6, 0}, plainColumn, plainRow));
    EXPECT_DOUBLE_EQ(column - plainColumn, fitting.offset);
    EXPECT_DOUBLE_EQ(row - plainRow, fitting.offset);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TrueCameraOfAScaledVideo,
                         ::testing::Values(Fitting{640, 480, 640, 480, 0.0}, Fitting{640, 480, 320, 240, -0.25},
                                           Fitting{320, 240, 640, 480, 0.5}, Fitting{640, 480, 1280, 720, 0.25},
                                           Fitting{1280, 720, 640, 480, -0.25}));

}  // namespace
