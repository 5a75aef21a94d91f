// castellan-cli scene-picture FILE --eye X,Y,Z --look-at X,Y [--size WxH]: makes a
// scene's reference picture without building it. The scene's real bricks are
// rendered from the given camera into the scene's picture file, and the model
// points' positions in that picture are written into the scene as its reference
// positions, so the virtual ruins camera and the reconstructor can try the scene.
#include "pose/vector3.h"
#include "scene/calibration_frame.h"
#include "scene/scene.h"
#include "tools/cli_command.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <QImage>
#include <QString>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kPrefix = "castellan-cli scene-picture";
// Without a field of view in the scene: the ruins' calibration camera's, rounded.
constexpr double kDefaultFieldOfView = 36.0;
constexpr int kMinSide = 16;
constexpr int kMaxSide = 4096;

bool fail(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", kPrefix, message.c_str());
    return false;
}

// The exit status of a command that failed with `message`.
int failed(const std::string& message)
{
    fail(message);
    return 1;
}

// "a,b[,c]" into `count` finite numbers.
bool parseNumbers(const std::string& text, int count, double* values)
{
    std::istringstream in(text);
    for (int i = 0; i < count; ++i) {
        if (i > 0 && in.get() != ',') return false;
        if (!(in >> values[i]) || !std::isfinite(values[i])) return false;
    }
    return in.peek() == std::char_traits<char>::eof();
}

struct Request {
    std::string file;
    Vector3 eye;
    Vector3 lookAt;
    int width = 320;
    int height = 240;
};

bool parseRequest(const std::vector<std::string>& args, Request& request)
{
    bool haveEye = false, haveLook = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--eye" && hasValue) {
            haveEye = parseNumbers(args[++i], 3, request.eye.data());
            if (!haveEye) return fail("--eye must be X,Y,Z in model units");
        } else if (arg == "--look-at" && hasValue) {
            haveLook = parseNumbers(args[++i], 2, request.lookAt.data());
            if (!haveLook) return fail("--look-at must be X,Y on the ground, in model units");
        } else if (arg == "--size" && hasValue) {
            if (!parseFrameSize(args[++i], kMinSide, kMaxSide, request.width, request.height))
                return fail("--size must be WxH with each side from " + std::to_string(kMinSide) + " to " +
                            std::to_string(kMaxSide) + " pixels");
        } else if (request.file.empty() && arg.rfind("--", 0) != 0) {
            request.file = arg;
        } else {
            return fail("unexpected '" + arg + "'");
        }
    }
    if (request.file.empty() || !haveEye || !haveLook) return fail("expected FILE --eye X,Y,Z --look-at X,Y");
    return true;
}

// Whether the segment from `eye` to `point` passes through the inside of a brick.
bool hiddenBehindBrick(const Vector3& eye, const Vector3& point, const ruins::GridCell& cell, double edge)
{
    // Shrunk a little, so that a point on the brick's own surface is not hidden by it.
    const double margin = 1e-6 * edge;
    const double lo[3] = {cell.i * edge + margin, cell.j * edge + margin, cell.k * edge + margin};
    const double hi[3] = {lo[0] + edge - 2 * margin, lo[1] + edge - 2 * margin, lo[2] + edge - 2 * margin};
    double enter = 0.0, leave = 1.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double d = point[axis] - eye[axis];
        if (d == 0.0) {
            if (eye[axis] < lo[axis] || eye[axis] > hi[axis]) return false;
            continue;
        }
        double t0 = (lo[axis] - eye[axis]) / d, t1 = (hi[axis] - eye[axis]) / d;
        if (t0 > t1) std::swap(t0, t1);
        enter = std::max(enter, t0);
        leave = std::min(leave, t1);
        if (enter > leave) return false;
    }
    return true;
}

// Empty on success, else why the picture cannot be written.
QString writePicture(const std::vector<std::uint8_t>& pixels, int width, int height, const std::string& path)
{
    QImage picture(width, height, QImage::Format_RGB888);
    // The frame's first row is the bottom of the picture.
    for (int y = 0; y < height; ++y)
        std::memcpy(picture.scanLine(height - 1 - y), pixels.data() + std::size_t(y) * width * 3,
                    std::size_t(width) * 3);
    return ruins::writePngFile(picture, path);
}

int runScenePicture(const std::vector<std::string>& args)
{
    Request request;
    if (!parseRequest(args, request)) return 1;
    ruins::SceneLoad load = ruins::loadScene(request.file, ruins::PictureCheck::Skipped);
    if (!load.scene) return failed(load.error);
    ruins::Scene& scene = *load.scene;

    ruins::CameraPose pose;
    pose.eye = request.eye;
    pose.lookAt = request.lookAt;
    Vector3 forward = pose.lookAt - pose.eye;
    forward.normalize();
    // Upright: the world's vertical, square to the viewing direction.
    pose.up = Vector3{0, 0, 1} - forward.z * forward;
    pose.up.normalize();
    pose.fieldOfView = scene.fieldOfView.value_or(kDefaultFieldOfView);
    const std::optional<ruins::FrameCamera> camera = ruins::makeFrameCamera(pose, request.width, request.height);
    if (!camera) return failed("no camera can look from that eye at that point");

    int hidden = 0;
    for (std::size_t i = 0; i < scene.points.size(); ++i) {
        const Vector3 point = ruins::modelPoint(scene, int(i));
        double column = 0.0, row = 0.0;
        if (!ruins::projectToFrame(*camera, point, column, row))
            return failed("point " + std::to_string(i) + " is behind the camera");
        // Pixel (x, y) sees the image point (x - width/2, y - height/2); references count rows from the top.
        const ruins::PixelPosition reference{int(std::lround(column)), request.height - int(std::lround(row))};
        if (reference.x < 0 || reference.y < 0 || reference.x >= request.width || reference.y >= request.height)
            return failed("point " + std::to_string(i) + " falls outside the picture");
        scene.points[i].reference = reference;
        for (const ruins::GridCell& cell : scene.realBricks)
            if (hiddenBehindBrick(pose.eye, point, cell, scene.brickEdge)) {
                std::printf("point %zu is hidden behind a real brick from this camera\n", i);
                ++hidden;
                break;
            }
    }

    std::vector<std::uint8_t> pixels(std::size_t(request.width) * request.height * 3);
    ruins::RuinsSceneRenderer renderer;
    renderer.setBricks(scene.brickEdge, scene.realBricks, scene.virtualBricks);
    renderer.renderRuins(*camera, pixels.data(), ruins::PixelOrder::RGB);
    const std::string picture = ruins::picturePath(scene, request.file).string();
    std::error_code sameFile;
    if (std::filesystem::equivalent(picture, request.file, sameFile))
        return failed("the scene's picture " + picture + " is the scene file itself");
    if (const QString error = writePicture(pixels, request.width, request.height, picture); !error.isEmpty())
        return failed("cannot write the picture " + picture + ": " + error.toStdString());
    const std::string error = ruins::saveScene(scene, request.file);
    if (!error.empty()) return failed(error);
    std::printf("%s: %zu reference positions written, %d of them hidden; picture %s (%d x %d)\n",
                request.file.c_str(), scene.points.size(), hidden, picture.c_str(), request.width, request.height);
    return 0;
}

const CliCommand scenePictureCommand(
    "scene-picture", "FILE --eye X,Y,Z --look-at X,Y [--size WxH]",
    "Render a scene's real bricks from a camera into its picture and write where its points appear as the "
    "reference positions, so the scene can be tried before it is built.",
    runScenePicture);

}  // namespace
