// castellan-cli scene-check FILE: reads a scene file as the reconstructor would
// and says what it holds, or why it cannot be used.
#include "scene/scene.h"
#include "scene/scene_model.h"
#include "tools/cli_command.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <variant>

namespace {

// `text` safe for a terminal and for a script reading lines: control characters
// (a newline, an escape sequence, their 8-bit forms in UTF-8) and backslashes
// are written as escapes, so a name cannot forge lines or clear the screen.
std::string escaped(const std::string& text)
{
    std::string out;
    char hex[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else if (c1) {
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(text[++i]));
            out += hex;
        } else {
            out += text[i];
        }
    }
    return out;
}

void printScene(const ruins::Scene& scene, const std::filesystem::path& file)
{
    const auto onGrid = std::count_if(scene.points.begin(), scene.points.end(), [](const ruins::ScenePoint& p) {
        return std::holds_alternative<ruins::GridCell>(p.corner);
    });
    const std::filesystem::path picture = ruins::picturePath(scene, file);
    const ruins::PictureSize size = ruins::readPngSize(picture).value_or(ruins::PictureSize{});
    std::printf("name: %s\n", escaped(scene.name).c_str());
    std::printf("brick edge: %g\n", scene.brickEdge);
    std::printf("points: %zu (%td on the grid)\n", scene.points.size(), onGrid);
    std::printf("real bricks: %zu\n", scene.realBricks.size());
    std::printf("virtual bricks: %zu\n", scene.virtualBricks.size());
    std::printf("picture: %s (%d x %d)\n", escaped(picture.string()).c_str(), size.width, size.height);
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
    // Prepared as "Open Scene..." and reconstruct --scene prepare it, so what
    // passes here opens there.
    std::string error;
    const std::shared_ptr<const ruins::SceneModel> model = ruins::openScene(args[0], error);
    if (!model) {
        std::fprintf(stderr, "castellan-cli scene-check: %s\n", escaped(error).c_str());
        return 1;
    }
    printScene(model->scene, args[0]);
    return 0;
}

const CliCommand sceneCheckCommand("scene-check", "FILE",
                                   "Check a scene file (JSON) and print its name, points, bricks and picture.",
                                   runSceneCheck);

}  // namespace
