#include "scene/scene_model.h"

#include "scene/bundled_ruins_scene.h"
#include "scene/calibration_frame.h"
#include "scene/calibration_pose.h"
#include "scene/frame_camera.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace ruins {

namespace {

// The built-in ruins, read once. Their text is checked by the tests, so a
// failure here is a broken build, not a user's mistake.
const Scene& builtInRuins()
{
    static const Scene ruins = [] {
        SceneLoad load = parseScene(bundledRuinsSceneText(), "ruins.json", PictureCheck::Skipped);
        if (!load.scene) {
            std::fprintf(stderr, "castellan: the built-in ruins scene is broken: %s\n", load.error.c_str());
            std::abort();
        }
        return std::move(*load.scene);
    }();
    return ruins;
}

std::vector<PixelPosition> referencesOf(const Scene& scene)
{
    std::vector<PixelPosition> references;
    references.reserve(scene.points.size());
    for (const ScenePoint& point : scene.points) references.push_back(point.reference);
    return references;
}

bool occupied(const std::vector<GridCell>& bricks, int i, int j, int k)
{
    return std::find(bricks.begin(), bricks.end(), GridCell{i, j, k}) != bricks.end();
}

bool roundedBlocks(const Scene& scene) { return scene.edgeRadius && *scene.edgeRadius > 0.0; }

// Where the corner detectors find a grid corner of rounded blocks. A block's
// rounding ends on a sphere of the edge radius whose centre lies one radius in
// from each face; the corner seen is the sphere's point furthest out along the
// corner's diagonal, r·(1 − 1/√3) in along each axis in which the blocks at
// the corner agree. Along an axis where they do not (two blocks side by side),
// the corner is not rounded. Nor is it upwards where a block stands on the
// table: its rounded underside is in its own shadow, and the corner is seen
// where that shadow meets the table (on the painted arch at 640 × 480, 1.3 px
// lower in the picture than the rounded corner). Points given in model units
// are left as they are.
void moveToRoundedCorners(const Scene& scene, std::vector<Vector3>& points)
{
    const double inset = *scene.edgeRadius * (1.0 - 1.0 / std::sqrt(3.0));
    for (std::size_t n = 0; n < points.size(); ++n) {
        const auto* corner = std::get_if<GridCell>(&scene.points[n].corner);
        if (!corner) continue;
        int side[3] = {0, 0, 0};  // towards the blocks: +1, −1, or 0 where they disagree
        bool first = true;
        for (int di = -1; di <= 0; ++di)
            for (int dj = -1; dj <= 0; ++dj)
                for (int dk = -1; dk <= 0; ++dk) {
                    if (!occupied(scene.realBricks, corner->i + di, corner->j + dj, corner->k + dk)) continue;
                    const int towards[3] = {di == 0 ? 1 : -1, dj == 0 ? 1 : -1, dk == 0 ? 1 : -1};
                    for (int a = 0; a < 3; ++a) side[a] = first ? towards[a] : (side[a] == towards[a] ? side[a] : 0);
                    first = false;
                }
        if (first) continue;  // no block at this corner
        if (corner->k == 0) side[2] = 0;  // on the table
        points[n].x += inset * side[0];
        points[n].y += inset * side[1];
        points[n].z += inset * side[2];
    }
}

// Which points are never seen as a corner. Where what fills the eight cells
// around a grid corner (a block, the table below the ground, or nothing) is
// the same on both sides of a plane through it, the corner lies in a flat face
// or on a straight edge, and the picture shows at most a straight line there:
// two sharp blocks of one colour side by side show no line between them.
// Blocks with rounded edges leave a groove between them, which is seen.
std::vector<std::uint8_t> cornerlessPoints(const Scene& scene)
{
    std::vector<std::uint8_t> cornerless(scene.points.size(), 0);
    if (roundedBlocks(scene)) return cornerless;
    for (std::size_t n = 0; n < scene.points.size(); ++n) {
        const auto* corner = std::get_if<GridCell>(&scene.points[n].corner);
        if (!corner) continue;
        enum Fill { Nothing, Block, Table };
        Fill fill[2][2][2];
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                for (int c = 0; c < 2; ++c) {
                    const int k = corner->k + c - 1;
                    fill[a][b][c] = k < 0 ? Table
                                   : occupied(scene.realBricks, corner->i + a - 1, corner->j + b - 1, k) ? Block
                                                                                                          : Nothing;
                }
        for (int axis = 0; axis < 3 && !cornerless[n]; ++axis) {
            bool mirrored = true;
            for (int a = 0; a < 2; ++a)
                for (int b = 0; b < 2; ++b)
                    for (int c = 0; c < 2; ++c) {
                        int m[3] = {a, b, c};
                        m[axis] = 1 - m[axis];
                        mirrored = mirrored && fill[a][b][c] == fill[m[0]][m[1]][m[2]];
                    }
            cornerless[n] = mirrored;
        }
    }
    return cornerless;
}

// A reference camera further from its references than this (RMS, pixels) was
// fitted to positions that contradict each other: clicked on the wrong corner,
// or a model that is not the structure in the picture.
constexpr double kMaxReferenceFitPixels = 4.0;

// RMS distance in pixels between the references and where `pose` puts the
// points; nothing when a point falls behind the camera.
std::optional<double> referenceFitPixels(const SceneModel& model, const CameraPose& pose)
{
    const std::optional<FrameCamera> camera =
        makeFrameCamera(pose, model.pictureSize.width, model.pictureSize.height);
    if (!camera || model.points.empty()) return std::nullopt;
    double sum = 0.0;
    for (int i = 0; i < model.pointCount(); ++i) {
        double column = 0.0, row = 0.0;
        if (!projectToFrame(*camera, model.points[std::size_t(i)], column, row)) return std::nullopt;
        // References count rows from the top edge.
        const double dx = column - model.reference(i).x;
        const double dy = (model.pictureSize.height - row) - model.reference(i).y;
        sum += dx * dx + dy * dy;
    }
    return std::sqrt(sum / model.pointCount());
}

struct SceneSlot {
    std::mutex mutex;
    std::shared_ptr<const SceneModel> scene;
};

SceneSlot& slot()
{
    static SceneSlot s;
    return s;
}

}  // namespace

std::shared_ptr<const SceneModel> bundledRuinsScene()
{
    auto model = std::make_shared<SceneModel>();
    model->scene = builtInRuins();
    model->picture = QFile::encodeName(calibrationFramePath()).toStdString();
    model->pictureSize = {kDefaultCalibrationWidth, kDefaultCalibrationHeight};
    model->points = modelPoints(model->scene);
    model->cornerless = cornerlessPoints(model->scene);
    // The constant, not a new estimate: the virtual camera's frames must not
    // depend on how the estimator rounds today.
    model->referencePose = kCalibrationPose;
    return model;
}

std::shared_ptr<const SceneModel> prepareScene(Scene scene, const std::filesystem::path& file, std::string& error)
{
    auto model = std::make_shared<SceneModel>();
    model->file = file;
    model->picture = picturePath(scene, file);
    model->pictureSize = readPngSize(model->picture).value_or(PictureSize{});
    model->points = modelPoints(scene);
    if (roundedBlocks(scene)) moveToRoundedCorners(scene, model->points);
    model->cornerless = cornerlessPoints(scene);
    model->scene = std::move(scene);
    // The ruins' points read from a file are the ruins: the same camera, to the bit.
    const Scene& ruins = builtInRuins();
    if (model->scene.points == ruins.points && model->scene.brickEdge == ruins.brickEdge &&
        model->pictureSize.width == kDefaultCalibrationWidth && model->pictureSize.height == kDefaultCalibrationHeight) {
        model->referencePose = kCalibrationPose;
        return model;
    }
    const std::vector<PixelPosition> references = referencesOf(model->scene);
    const std::optional<CameraPose> pose = computeReferencePose(
        model->points, references, model->pictureSize.width, model->pictureSize.height, model->scene.fieldOfView);
    if (!pose) {
        error = file.filename().string() + ": field \"points\": no camera pose fits the reference positions";
        return nullptr;
    }
    const std::optional<double> fit = referenceFitPixels(*model, *pose);
    if (!fit || *fit > kMaxReferenceFitPixels) {
        char figure[160] = "the best camera puts a point behind itself";
        if (fit)
            std::snprintf(figure, sizeof figure,
                          "the best camera misses the reference positions by %.1f pixels (RMS, at most %.0f allowed)",
                          *fit, kMaxReferenceFitPixels);
        error = file.filename().string() + ": field \"points\": " + figure;
        return nullptr;
    }
    model->referencePose = *pose;
    return model;
}

std::shared_ptr<const SceneModel> openScene(const std::filesystem::path& file, std::string& error)
{
    SceneLoad load = loadScene(file);
    if (!load.scene) {
        error = load.error;
        return nullptr;
    }
    return prepareScene(std::move(*load.scene), file, error);
}

std::shared_ptr<const SceneModel> sceneInUse()
{
    SceneSlot& s = slot();
    std::lock_guard lock(s.mutex);
    if (!s.scene) s.scene = bundledRuinsScene();
    return s.scene;
}

void useScene(std::shared_ptr<const SceneModel> scene)
{
    if (!scene) return;
    SceneSlot& s = slot();
    std::lock_guard lock(s.mutex);
    s.scene = std::move(scene);
}

}  // namespace ruins
