// castellan-cli scene-check FILE: reads a scene file as the reconstructor would
// and says what it holds, or why it cannot be used.
#include "ruins/scene.h"
#include "tools/cli_command.h"

#include <algorithm>
#include <cstdio>
#include <variant>

namespace {

void printScene(const ruins::Scene& scene, const std::filesystem::path& file)
{
    const auto onGrid = std::count_if(scene.points.begin(), scene.points.end(), [](const ruins::ScenePoint& p) {
        return std::holds_alternative<ruins::GridCell>(p.corner);
    });
    const std::filesystem::path picture = ruins::picturePath(scene, file);
    const ruins::PictureSize size = ruins::readPngSize(picture).value_or(ruins::PictureSize{});
    std::printf("name: %s\n", scene.name.c_str());
    std::printf("brick edge: %g\n", scene.brickEdge);
    std::printf("points: %zu (%td on the grid)\n", scene.points.size(), onGrid);
    std::printf("real bricks: %zu\n", scene.realBricks.size());
    std::printf("virtual bricks: %zu\n", scene.virtualBricks.size());
    std::printf("picture: %s (%d x %d)\n", picture.string().c_str(), size.width, size.height);
    if (scene.fieldOfView)
        std::printf("field of view: %g degrees, held\n", *scene.fieldOfView);
    else
        std::printf("field of view: estimated every frame\n");
    if (scene.edgeRadius) std::printf("edge radius: %g\n", *scene.edgeRadius);
}

int runSceneCheck(const std::vector<std::string>& args)
{
    if (args.size() != 1) {
        std::fprintf(stderr, "castellan-cli scene-check: expected FILE\n");
        return 1;
    }
    const ruins::SceneLoad load = ruins::loadScene(args[0]);
    if (!load.scene) {
        std::fprintf(stderr, "castellan-cli scene-check: %s\n", load.error.c_str());
        return 1;
    }
    printScene(*load.scene, args[0]);
    return 0;
}

const CliCommand sceneCheckCommand("scene-check", "FILE",
                                   "Check a scene file (JSON) and print its name, points, bricks and picture.",
                                   runSceneCheck);

}  // namespace
