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

class CameraTruth {
public:
    // Null with `error` (file, line, problem) when the file cannot be used.
    static std::optional<CameraTruth> read(const std::filesystem::path& file, std::string& error);

    // The camera of frame `index` on a width × height frame into which the
    // video's videoWidth × videoHeight pictures are fitted; empty without a row.
    std::optional<ruins::FrameCamera> frame(long long index, int width, int height, int videoWidth,
                                            int videoHeight) const;

private:
    std::vector<std::optional<ruins::CameraPose>> poses_;  // by frame
};

}  // namespace tools
