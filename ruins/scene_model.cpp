#include "ruins/scene_model.h"

#include "ruins/calibration_frame.h"
#include "ruins/calibration_pose.h"

#include <mutex>

namespace ruins {

namespace {

Scene ruinsFromTables()
{
    Scene scene;
    scene.name = "ruins";
    scene.brickEdge = kBrickEdge;
    scene.picture = "CalibrationFrame.png";
    const auto grid = modelPointGrid();
    const auto references = referencePositions();
    for (int i = 0; i < kModelPointCount; ++i) scene.points.push_back({grid[std::size_t(i)], references[std::size_t(i)]});
    const auto real = ruinsModelCells();
    const auto virtualCells = virtualModelCells();
    scene.realBricks.assign(real.begin(), real.end());
    scene.virtualBricks.assign(virtualCells.begin(), virtualCells.end());
    return scene;
}

std::vector<PixelPosition> referencesOf(const Scene& scene)
{
    std::vector<PixelPosition> references;
    references.reserve(scene.points.size());
    for (const ScenePoint& point : scene.points) references.push_back(point.reference);
    return references;
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
    model->scene = ruinsFromTables();
    model->picture = calibrationFramePath().toStdString();
    model->pictureSize = {kDefaultCalibrationWidth, kDefaultCalibrationHeight};
    model->points = modelPoints(model->scene);
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
    model->scene = std::move(scene);
    // The ruins' points read from a file are the ruins: the same camera, to the bit.
    const Scene ruins = ruinsFromTables();
    if (model->scene.points == ruins.points && model->scene.brickEdge == ruins.brickEdge &&
        model->pictureSize.width == kDefaultCalibrationWidth && model->pictureSize.height == kDefaultCalibrationHeight) {
        model->referencePose = kCalibrationPose;
        return model;
    }
    const std::vector<PixelPosition> references = referencesOf(model->scene);
    const std::optional<CameraPose> pose =
        computeReferencePose(model->points, references, model->pictureSize.width,
                                                    model->pictureSize.height, model->scene.fieldOfView);
    if (!pose) {
        error = file.filename().string() + ": field \"points\": no camera pose fits the reference positions";
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
