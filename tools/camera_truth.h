#pragma once

// The true camera of a video's frames, read from CSV, so that a clip whose
// camera is known (footage rendered elsewhere, a motion-capture rig) can be
// measured like the virtual camera. Header:
//   frame,eye_x,eye_y,eye_z,look_x,look_y,look_z,fov_deg[,up_x,up_y,up_z]
// one row per frame in any order; fov_deg is the vertical field of view of the
// video's own frames; without the up columns the camera stands upright (world z
// up). Frames without a row have no truth.

#include "scene/frame_camera.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// A true camera on the frame, and how far from where it projects a point the
// video's scaled pictures show it: the scaler keeps the picture's pixel centres
// on the frame's, the camera its centre on the frame's (halved, a picture
// shows everything a quarter pixel further left and lower).
struct TrueCamera {
    ruins::FrameCamera camera;
    double offsetX = 0.0;
    double offsetY = 0.0;
};

// Column and buffer row where `point` appears in the picture; false when it
// is not in front of the camera.
bool projectTrue(const TrueCamera& truth, const Vector3& point, double& column, double& row);

class CameraTruth {
public:
    // Null with `error` (file, line, problem) when the file cannot be used.
    static std::optional<CameraTruth> read(const std::filesystem::path& file, std::string& error);

    // The camera of frame `index` on a width × height frame into which the
    // video's videoWidth × videoHeight pictures are fitted; empty without a row.
    std::optional<TrueCamera> frame(long long index, int width, int height, int videoWidth, int videoHeight) const;

private:
    std::vector<std::optional<ruins::CameraPose>> poses_;  // by frame
};

}  // namespace tools
