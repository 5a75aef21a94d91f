#include "virtual_camera/virtual_ruins_camera.h"

#include "capture/capture_device.h"
#include "capture/frame_mailbox.h"
#include "scene/calibration_pose.h"
#include "scene/ruins_model.h"
#include "scene/scene_model.h"

#include <QFile>
#include <QImage>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace ruins {

namespace {

enum Dialog { kFormatDialog };

// Periods of the three motions in frames; different, so the path does not
// repeat for a long while (their common multiple is 47 minutes).
constexpr std::int64_t kAzimuthPeriodFrames = 20 * kVirtualCameraFramesPerSecond;
constexpr std::int64_t kDistancePeriodFrames = 11 * kVirtualCameraFramesPerSecond;
constexpr std::int64_t kHeightPeriodFrames = 13 * kVirtualCameraFramesPerSecond;
// The motions fade in over this long after the rest, so the camera starts
// without a jolt.
constexpr double kEaseInFrames = 4.0 * kVirtualCameraFramesPerSecond;
constexpr double kDistanceSwing = 0.08;  // relative
constexpr double kHeightSwing = 2.0;     // model units

// sin(2π · phase) at `moving` frames (plus a fraction) of a motion with the
// given period; the whole frames are taken modulo the period in integers, so
// the phase stays exact for ever.
double cycle(std::int64_t moving, double fraction, std::int64_t periodFrames)
{
    const double phase = (double(moving % periodFrames) + fraction) / double(periodFrames);
    return stableSine(2.0 * kPi * phase);
}

// A path time in whole frames and a fraction.
struct PathTime {
    std::int64_t frames = 0;
    double fraction = 0.0;
    bool away = false;
    std::int64_t turnsAway = 0;  // begun so far
};

// Where along the path the camera is `moving` frames after its rest.
PathTime pathTime(double moving, const VirtualCameraPath& path)
{
    PathTime t;
    if (path.jumps) {
        const std::int64_t round = VirtualCameraPath::kJumpEveryFrames + VirtualCameraPath::kJumpAwayFrames;
        const std::int64_t whole = std::int64_t(std::floor(moving));
        const std::int64_t inRound = whole % round;
        t.away = inRound >= VirtualCameraPath::kJumpEveryFrames;
        t.turnsAway = whole / round + (t.away ? 1 : 0);
        // Away, the path waits: back, the camera faces the ruins where it left them.
        const double withinRound = t.away ? double(VirtualCameraPath::kJumpEveryFrames)
                                          : double(inRound) + (moving - double(whole));
        moving = double(whole / round * VirtualCameraPath::kJumpEveryFrames) + withinRound;
    }
    const double scaled = moving * path.speed;
    t.frames = std::int64_t(std::floor(scaled));
    t.fraction = scaled - double(t.frames);
    return t;
}

// Turned about the vertical through the eye by half a turn: the ruins behind.
CameraPose facingAway(CameraPose pose)
{
    const Vector3 ahead = pose.lookAt - pose.eye;
    pose.lookAt = pose.eye - Vector3{ahead.x, ahead.y, -ahead.z};
    pose.up = {-pose.up.x, -pose.up.y, pose.up.z};
    return pose;
}

std::shared_ptr<const SceneBackdrop>& defaultBackdrop()
{
    static std::shared_ptr<const SceneBackdrop> backdrop;
    return backdrop;
}

Vector3 rotateAboutVertical(const Vector3& v, double cosine, double sine)
{
    return {cosine * v.x - sine * v.y, sine * v.x + cosine * v.y, v.z};
}

CameraPose swingPose(const CameraPose& rest, std::int64_t moving, double fraction)
{
    const double ramp = std::min((double(moving) + fraction) / kEaseInFrames, 1.0);
    const double ease = ramp * ramp * (3.0 - 2.0 * ramp);

    const double azimuth =
        kVirtualCameraAzimuthDegrees * (kPi / 180.0) * cycle(moving, fraction, kAzimuthPeriodFrames) * ease;
    const double distanceScale = 1.0 + kDistanceSwing * cycle(moving, fraction, kDistancePeriodFrames) * ease;
    const double heightChange = kHeightSwing * cycle(moving, fraction, kHeightPeriodFrames) * ease;
    const double cosine = stableCosine(azimuth);
    const double sine = stableSine(azimuth);

    // Swing about the vertical through the point looked at; it stays in view.
    CameraPose pose = rest;
    const Vector3 offset = rotateAboutVertical(rest.eye - rest.lookAt, cosine, sine);
    pose.eye = rest.lookAt + distanceScale * offset;
    pose.eye.z += heightChange;
    Vector3 forward = pose.lookAt - pose.eye;
    forward.normalize();
    const Vector3 up = rotateAboutVertical(rest.up, cosine, sine);
    pose.up = up - dot(up, forward) * forward;
    pose.up.normalize();
    return pose;
}

}  // namespace

CameraPose virtualCameraPose(std::int64_t index) { return virtualCameraPose(index, VirtualCameraPath{}); }

CameraPose virtualCameraPose(std::int64_t index, const VirtualCameraPath& path)
{
    return virtualCameraPoseAt(double(index), path);
}

CameraPose virtualCameraPoseAt(double time, const VirtualCameraPath& path)
{
    if (!(time > double(kVirtualCameraRestFrames))) return path.rest;
    const PathTime t = pathTime(time - double(kVirtualCameraRestFrames), path);
    CameraPose pose = swingPose(path.rest, t.frames, t.fraction);
    if (path.returnTurn != 0.0 && t.turnsAway > 0) {
        // Round the point the rest looks at, by a whole number of turns back.
        const double degrees = std::fmod(double(t.turnsAway) * path.returnTurn, 360.0);
        const double cosine = stableCosine(degrees * kPi / 180.0), sine = stableSine(degrees * kPi / 180.0);
        const Vector3& centre = path.rest.lookAt;
        pose.eye = centre + rotateAboutVertical(pose.eye - centre, cosine, sine);
        pose.lookAt = centre + rotateAboutVertical(pose.lookAt - centre, cosine, sine);
        pose.up = rotateAboutVertical(pose.up, cosine, sine);
    }
    return t.away ? facingAway(pose) : pose;
}

double virtualCameraFocalScale(int width, int height, const VirtualCameraPath& path)
{
    return referenceFocalScale(width, height, path.restPictureWidth, path.restPictureHeight);
}

std::optional<FrameCamera> virtualCameraFrame(std::int64_t index, int width, int height)
{
    return virtualCameraFrame(index, width, height, VirtualCameraPath{});
}

std::optional<FrameCamera> virtualCameraFrame(std::int64_t index, int width, int height,
                                              const VirtualCameraPath& path)
{
    return makeFrameCamera(virtualCameraPose(index, path), width, height, virtualCameraFocalScale(width, height, path));
}

bool renderVirtualRuinsFrame(RuinsSceneRenderer& renderer, std::int64_t index, int width, int height,
                             std::uint8_t* pixels, PixelOrder order, const VirtualCameraPath& path,
                             const VirtualCameraLook& look, std::uint64_t noiseSeed)
{
    constexpr int kBlurSteps = 5;
    std::array<FrameCamera, kBlurSteps> cameras;
    const int steps = look.blur ? kBlurSteps : 1;
    for (int s = 0; s < steps; ++s) {
        // Spread evenly over the frame's time, centred on the frame itself.
        const double time = double(index) + (steps > 1 ? (s + 0.5) / steps - 0.5 : 0.0);
        const std::optional<FrameCamera> camera = makeFrameCamera(virtualCameraPoseAt(time, path), width, height,
                                                                  virtualCameraFocalScale(width, height, path));
        if (!camera || !pixels) return false;
        cameras[std::size_t(s)] = *camera;
    }
    renderer.setBackdrop(look.backdrop);
    SceneExposure exposure;
    exposure.cameras = std::span<const FrameCamera>(cameras.data(), std::size_t(steps));
    exposure.gain = look.exposureDrift
                        ? 1.0 + VirtualCameraLook::kExposureDrift *
                                    cycle(index, 0.0, VirtualCameraLook::kExposureDriftPeriodFrames)
                        : 1.0;
    exposure.noiseSigma = look.noiseSigma;
    exposure.noiseSeed = noiseSeed ^ (std::uint64_t(index) * 0x9E3779B97F4A7C15ull);
    renderer.renderExposure(exposure, pixels, order);
    return true;
}

std::shared_ptr<const SceneBackdrop> loadSceneBackdrop(const std::string& path, std::string& error)
{
    const QImage picture = QImage(QFile::decodeName(path.c_str())).convertToFormat(QImage::Format_RGB888);
    if (picture.isNull()) {
        error = "cannot read the picture " + path;
        return nullptr;
    }
    auto backdrop = std::make_shared<SceneBackdrop>();
    backdrop->width = picture.width();
    backdrop->height = picture.height();
    backdrop->rgb.resize(std::size_t(picture.width()) * std::size_t(picture.height()) * 3);
    for (int y = 0; y < picture.height(); ++y)
        std::memcpy(backdrop->rgb.data() + std::size_t(y) * std::size_t(picture.width()) * 3, picture.constScanLine(y),
                    std::size_t(picture.width()) * 3);
    return backdrop;
}

void setDefaultVirtualRuinsBackdrop(std::shared_ptr<const SceneBackdrop> backdrop)
{
    defaultBackdrop() = std::move(backdrop);
}

bool renderVirtualRuinsFrame(RuinsSceneRenderer& renderer, std::int64_t index, int width, int height,
                             std::uint8_t* pixels, PixelOrder order, double noiseSigma, std::uint64_t noiseSeed)
{
    const std::optional<FrameCamera> camera = virtualCameraFrame(index, width, height);
    if (!camera || !pixels) return false;
    renderer.renderRuins(*camera, pixels, order, noiseSigma, noiseSeed ^ (std::uint64_t(index) * 0x9E3779B97F4A7C15ull));
    return true;
}

VirtualRuinsCameraSource::VirtualRuinsCameraSource() { renderer_.setBackdrop(defaultBackdrop()); }

VirtualRuinsCameraSource::~VirtualRuinsCameraSource() { stop(); }

void VirtualRuinsCameraSource::frameSize(int& width, int& height) const
{
    width = width_;
    height = height_;
}

bool VirtualRuinsCameraSource::requestFrameSize(int width, int height)
{
    if (width <= 0 || height <= 0 || width > kMaxSceneSide || height > kMaxSceneSide ||
        width > imTrackingGrabberCB::kMaxSide || height > imTrackingGrabberCB::kMaxSide)
        return false;
    width_ = width;
    height_ = height;
    return true;
}

std::vector<FrameFormatChoice> VirtualRuinsCameraSource::formats()
{
    return {{320, 240, kVirtualCameraFramesPerSecond},
            {640, 480, kVirtualCameraFramesPerSecond},
            {1280, 720, kVirtualCameraFramesPerSecond}};
}

std::vector<CaptureDialogEntry> VirtualRuinsCameraSource::dialogs() const
{
    return {{"Format...", DialogEffect::ChangesFormat}};
}

bool VirtualRuinsCameraSource::runDialog(int index, QWidget* parent)
{
    if (index != kFormatDialog) return false;
    const std::vector<FrameFormatChoice> offered = formats();
    int current = 0;
    for (int i = 0; i < int(offered.size()); ++i)
        if (offered[std::size_t(i)].width == width_ && offered[std::size_t(i)].height == height_) current = i;
    const int chosen = chooseFrameFormat(offered, current, parent);
    return chosen < 0 || requestFrameSize(offered[std::size_t(chosen)].width, offered[std::size_t(chosen)].height);
}

bool VirtualRuinsCameraSource::start(imTrackingGrabberCB& mailbox)
{
    if (thread_.running()) return true;
    frame_.assign(std::size_t(width_) * std::size_t(height_) * 3, 0);
    delivered_ = 0;
    // The scene in use at start: its real bricks, swung about its reference camera.
    const std::shared_ptr<const SceneModel> scene = sceneInUse();
    renderer_.setBricks(scene->scene.brickEdge, scene->realBricks(), scene->virtualBricks());
    VirtualCameraPath path;
    path.rest = scene->referencePose;
    path.restPictureWidth = scene->pictureSize.width;
    path.restPictureHeight = scene->pictureSize.height;
    VirtualCameraLook look;
    look.backdrop = defaultBackdrop();
    look.noiseSigma = noiseSigma_;
    thread_.start(PacedSourceThread::steadyPace(kVirtualCameraFramesPerSecond),
                  [this, &mailbox, width = width_, height = height_, path, look](std::int64_t index) {
                      // The mailbox stores B, G, R, rows bottom-up: render straight into that.
                      if (renderVirtualRuinsFrame(renderer_, index, width, height, frame_.data(), PixelOrder::BGR,
                                                  path, look))
                          mailbox.SampleCB(frame_.data(), frame_.size());
                      delivered_ = index + 1;
                  });
    return true;
}

void VirtualRuinsCameraSource::stop() { thread_.stop(); }

void registerVirtualRuinsCamera()
{
    registerVirtualCaptureDevice(kVirtualRuinsCameraName, [] { return std::make_unique<VirtualRuinsCameraSource>(); });
}

}  // namespace ruins
