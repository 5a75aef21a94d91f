// castellan-cli calibration-frame OUT.png: the calibration frame the reconstructor
// reads, rendered at the calibration pose. data/CalibrationFrame.png is its output.
#include "scene/calibration_frame.h"
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "tools/cli_command.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <QImage>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int runCalibrationFrame(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "castellan-cli calibration-frame: expected OUT.png\n");
        return 1;
    }
    const int width = ruins::kDefaultCalibrationWidth;
    const int height = ruins::kDefaultCalibrationHeight;
    const std::optional<ruins::FrameCamera> camera = ruins::makeFrameCamera(ruins::kCalibrationPose, width, height);
    if (!camera) {
        std::fprintf(stderr, "castellan-cli calibration-frame: the calibration pose is unusable\n");
        return 1;
    }
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 3);
    ruins::RuinsSceneRenderer renderer;
    renderer.renderRuins(*camera, pixels.data(), ruins::PixelOrder::RGB);
    // The frame's first row is the bottom of the picture.
    QImage picture(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        std::memcpy(picture.scanLine(height - 1 - y), pixels.data() + std::size_t(y) * width * 3,
                    std::size_t(width) * 3);
    const QString error = ruins::writePngFile(picture, args[0]);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "castellan-cli calibration-frame: cannot write %s: %s\n", args[0].c_str(),
                     qPrintable(error));
        return 1;
    }
    return 0;
}

const CliCommand calibrationFrameCommand(
    "calibration-frame", "OUT.png",
    "Render CalibrationFrame.png: the virtual ruins at the calibration pose, 320 x 240.", runCalibrationFrame);

}  // namespace
