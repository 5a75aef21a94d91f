// Scene files as "Open Scene...", reconstruct --scene and scene-check read them:
// any bytes are read and checked without a crash, every refusal says why, a
// scene that passes keeps the limits and its picture stays in the scene's
// folder, and what is written back reads back the same.
#include "fuzz_support.h"
#include "scene/scene.h"
#include "scene/scene_model.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

std::filesystem::path sceneFile;  // in a folder of its own; its picture is never there

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/castellan-fuzz-scene-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    sceneFile = std::filesystem::path(folder) / "scene.json";
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(sceneFile.parent_path(), error);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ruins::SceneLoad load = ruins::parseScene(text, sceneFile, ruins::PictureCheck::Skipped);
    if (!load.scene) {
        FUZZ_CHECK(!load.error.empty());
        return 0;
    }
    const ruins::Scene& scene = *load.scene;
    FUZZ_CHECK(int(scene.points.size()) >= ruins::kMinScenePoints);
    FUZZ_CHECK(int(scene.points.size()) <= ruins::kMaxScenePoints);
    FUZZ_CHECK(scene.brickEdge >= ruins::kMinBrickEdge && scene.brickEdge <= ruins::kMaxBrickEdge);
    FUZZ_CHECK(ruins::pictureStaysInSceneFolder(scene.picture));

    FUZZ_CHECK(ruins::saveScene(scene, sceneFile).empty());
    const ruins::SceneLoad again = ruins::loadScene(sceneFile, ruins::PictureCheck::Skipped);
    FUZZ_CHECK(again.scene && *again.scene == scene);

    // Without its picture no camera can be prepared, but trying must not crash.
    std::string error;
    if (!ruins::prepareScene(scene, sceneFile, error)) FUZZ_CHECK(!error.empty());
    return 0;
}
