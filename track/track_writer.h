#pragma once

// The camera of every frame written for other tools, as it is found: a JSON
// track of our own (with the scene's model points) or a COLMAP text model.
// Frames come in one at a time and the files take their place only when the
// track is finished, so an interrupted run leaves no half track behind. No Qt.
//
// JSON: {"width", "height", "points": [{"id", "xyz"}], "frames": [{"frame",
// "pose", and with a pose "intrinsics": {"fx", "fy", "cx", "cy", "width",
// "height"}, "R": 3 rows of 3, "t"}]} in the pinhole convention of PinholeCamera.
//
// COLMAP: cameras.txt (PINHOLE, one per distinct set of intrinsics), images.txt
// (one image per frame with a pose, named as the command line names its frame
// pictures, with the model points it projects into the picture as its 2D points)
// and points3D.txt (the model points, ids from 1, with their tracks). COLMAP puts
// the centre of the top-left pixel at (0.5, 0.5): its principal points and 2D
// points are half a pixel on from ours.

#include "pose/vector3.h"
#include "track/pinhole_camera.h"

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace track {

class TrackWriter {
public:
    virtual ~TrackWriter() = default;
    // The camera of frame `index` (none: no pose); frames in increasing order.
    // False once writing fails; error() then says why.
    virtual bool addFrame(long long index, const std::optional<PinholeCamera>& camera) = 0;
    // Completes the files and puts them in place; false with error() when that fails.
    virtual bool finish() = 0;
    const std::string& error() const { return error_; }

protected:
    bool fail(std::string reason);
    std::string error_;
};

// The JSON track to `file`, for width × height frames of a scene with the model
// points `points` (ids 1 to N in this order). Null with `error` when the file
// cannot be written.
std::unique_ptr<TrackWriter> openJsonTrack(const std::filesystem::path& file, int width, int height,
                                           std::span<const Vector3> points, std::string& error);

// The COLMAP text model into the folder `dir`, created when missing.
std::unique_ptr<TrackWriter> openColmapModel(const std::filesystem::path& dir, int width, int height,
                                             std::span<const Vector3> points, std::string& error);

// The names of the files a COLMAP model in `dir` consists of.
std::array<std::filesystem::path, 3> colmapModelFiles(const std::filesystem::path& dir);

// The picture name COLMAP's images.txt gives frame `index`.
std::string framePictureName(long long index);

}  // namespace track
