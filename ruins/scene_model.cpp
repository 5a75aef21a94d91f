#include "ruins/scene_model.h"

#include "ruins/bundled_ruins_scene.h"
#include "ruins/calibration_frame.h"
#include "ruins/calibration_pose.h"

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
