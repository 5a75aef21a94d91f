#pragma once

// The scene the reconstructor, the brick drawing and the virtual camera work on:
// a scene's content made ready for use (model points in model units, the
// reference picture's path and size, the camera that took that picture), and the
// one scene in use by the program. No Qt Widgets.

#include "pose/vector3.h"
#include "scene/frame_camera.h"
#include "scene/ruins_model.h"
#include "scene/scene.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace ruins {

struct SceneModel {
    Scene scene;
    std::filesystem::path file;     // the scene file; empty for the bundled ruins
    std::filesystem::path picture;  // the reference picture
    PictureSize pictureSize;        // its size, which the reference positions refer to
    // Model point i in model units; on blocks with rounded edges, where their
    // corner is seen, a little inside the grid corner.
    std::vector<Vector3> points;
    // Per point, 1 where it lies in a flat face or on a straight edge of sharp
    // blocks: seen from anywhere, the picture shows no corner there.
    std::vector<std::uint8_t> cornerless;
    CameraPose referencePose;       // the camera that took the reference picture

    bool bundled() const { return file.empty(); }
    int pointCount() const { return int(points.size()); }
    const PixelPosition& reference(int index) const { return scene.points[std::size_t(index)].reference; }
    std::span<const GridCell> realBricks() const { return scene.realBricks; }
    std::span<const GridCell> virtualBricks() const { return scene.virtualBricks; }
    float brickEdge() const { return float(scene.brickEdge); }
    bool seenAsCorner(int index) const
    {
        return index < 0 || std::size_t(index) >= cornerless.size() || !cornerless[std::size_t(index)];
    }
    // The mean of the model points; the origin without any.
    Vector3 pointsCentre() const
    {
        Vector3 sum;
        for (const Vector3& p : points) sum = sum + p;
        return points.empty() ? sum : (1.0 / double(points.size())) * sum;
    }
};

// The ruins as the program ships them: 39 points, 33 real and 75 virtual bricks,
// the calibration frame as reference picture (a CalibrationFrame.png in the
// working directory stands in for it).
std::shared_ptr<const SceneModel> bundledRuinsScene();

// Reads, checks and prepares a scene file; null with `error` (file, field,
// problem) when it cannot be used.
std::shared_ptr<const SceneModel> openScene(const std::filesystem::path& file, std::string& error);

// Prepares a checked scene read from `file`; null with `error` when no camera
// pose fits its reference positions.
std::shared_ptr<const SceneModel> prepareScene(Scene scene, const std::filesystem::path& file, std::string& error);

// The scene in use by the program: the bundled ruins until useScene. Any thread;
// a holder keeps the scene it got alive however often it is replaced.
std::shared_ptr<const SceneModel> sceneInUse();
void useScene(std::shared_ptr<const SceneModel> scene);

}  // namespace ruins
