#pragma once

// A brick structure as data: the bricks that stand in front of the camera, the
// bricks that complete them, and the corners the reconstructor follows with their
// positions in a reference picture. Read from and written to JSON; no Qt, so the
// command line and the tests check a scene without a display.
//
// File layout (JSON object, every field required unless marked optional):
//   "name":          text
//   "brickEdge":     one brick edge in model units (2.4 for the ruins)
//   "picture":       reference picture (PNG), relative to the scene file, in its
//                    folder or below it
//   "fieldOfView":   optional, vertical field of view in degrees of a calibrated camera
//   "edgeRadius":    optional, how far the real blocks' edges are rounded, in model
//                    units (0 to half the brick edge; missing: sharp)
//   "points":        [{"grid": [i, j, k], "reference": [x, y]}, ...]
//                    or {"model": [x, y, z], ...} in model units; "reference" is the
//                    pixel column and the row counted from the picture's top edge
//   "realBricks":    [[i, j, k], ...] grid cells in drawing order
//   "virtualBricks": [[i, j, k], ...] grid cells in drawing order

#include "pose/vector3.h"
#include "scene/ruins_model.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ruins {

struct ScenePoint {
    // A corner of the grid (grid integers × brick edge) or a point anywhere, in model units.
    std::variant<GridCell, Vector3> corner;
    PixelPosition reference;  // column, row from the top edge of the reference picture

    friend bool operator==(const ScenePoint& a, const ScenePoint& b);
};

struct Scene {
    std::string name;
    double brickEdge = kBrickEdge;
    std::filesystem::path picture;  // as written in the file: relative to the scene file
    std::optional<double> fieldOfView;
    std::optional<double> edgeRadius;
    std::vector<ScenePoint> points;
    std::vector<GridCell> realBricks;
    std::vector<GridCell> virtualBricks;

    friend bool operator==(const Scene&, const Scene&) = default;
};

// Limits a scene must keep. A pose needs 9 points off one plane; the caps keep a
// hostile file from making every frame draw or match without end.
inline constexpr int kMinScenePoints = 9;
inline constexpr int kMaxScenePoints = 100;  // the estimator's correspondence capacity
inline constexpr int kMaxSceneBricks = 10000;  // per list
inline constexpr int kMaxGridCoordinate = 10000;
inline constexpr double kMaxModelCoordinate = 1.0e6;
inline constexpr double kMinBrickEdge = 1.0e-6;
inline constexpr double kMaxBrickEdge = 1000.0;
inline constexpr double kMinFieldOfView = 1.0;
inline constexpr double kMaxFieldOfView = 179.0;
inline constexpr std::uintmax_t kMaxSceneFileBytes = 16u << 20;

// Model point `index` in model units; grid corners are computed as the tables
// always were, grid integer × brick edge in double precision.
Vector3 modelPoint(const Scene& scene, int index);
std::vector<Vector3> modelPoints(const Scene& scene);

struct PictureSize {
    int width = 0;
    int height = 0;
};

// The size a PNG file declares in its header; nothing when the file cannot be
// read or is no PNG. Decoding the pixels is left to the picture's user.
std::optional<PictureSize> readPngSize(const std::filesystem::path& file);

// Whether a scene's picture name stays in the scene's folder or below it: not
// absolute and never climbing out with "..".
bool pictureStaysInSceneFolder(const std::filesystem::path& picture);

// The reference picture's path: `scene.picture` taken relative to the scene file's folder.
std::filesystem::path picturePath(const Scene& scene, const std::filesystem::path& sceneFile);

struct SceneLoad {
    std::optional<Scene> scene;
    // When there is no scene: the file, the field and the problem, e.g.
    // `arch.json: field "points[3].reference": (400, 12) lies outside the 320 x 240 picture`.
    std::string error;
};

// Whether loading checks the reference picture: skipped only when the picture
// and the reference positions are about to be made anew (then points may also
// leave out "reference").
enum class PictureCheck { Required, Skipped };

// Reads and checks a scene file, including that its picture is a readable PNG
// whose size holds every reference position. Never throws.
SceneLoad loadScene(const std::filesystem::path& file, PictureCheck pictureCheck = PictureCheck::Required);
// The same for a scene's text; `file` is where it counts as read from (the
// picture is looked for beside it, messages name it).
SceneLoad parseScene(std::string_view text, const std::filesystem::path& file,
                     PictureCheck pictureCheck = PictureCheck::Required);

// Writes `scene` as JSON, one point or brick per line, replacing `file` only once
// the whole text is written. Returns an empty string on success, else the message.
std::string saveScene(const Scene& scene, const std::filesystem::path& file);

}  // namespace ruins
