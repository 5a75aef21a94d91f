#include "ruins/virtual_ruins_camera.h"

#include "capture/capture_device.h"
#include "capture/frame_mailbox.h"
#include "ruins/calibration_pose.h"
#include "ruins/ruins_model.h"

#include <algorithm>

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

// sin(2π · phase) of frame `moving` of a motion with the given period; the
// phase is taken modulo the period in integers, so it stays exact for ever.
double cycle(std::int64_t moving, std::int64_t periodFrames)
{
    const double phase = double(moving % periodFrames) / double(periodFrames);
    return stableSine(2.0 * kPi * phase);
}

Vector3 rotateAboutVertical(const Vector3& v, double cosine, double sine)
{
    return {cosine * v.x - sine * v.y, sine * v.x + cosine * v.y, v.z};
}

}  // namespace

CameraPose virtualCameraPose(std::int64_t index)
{
    const CameraPose& rest = kCalibrationPose;
    if (index <= kVirtualCameraRestFrames) return rest;
    const std::int64_t moving = index - kVirtualCameraRestFrames;
    const double ramp = std::min(double(moving) / kEaseInFrames, 1.0);
    const double ease = ramp * ramp * (3.0 - 2.0 * ramp);

    const double azimuth = kVirtualCameraAzimuthDegrees * (kPi / 180.0) * cycle(moving, kAzimuthPeriodFrames) * ease;
    const double distanceScale = 1.0 + kDistanceSwing * cycle(moving, kDistancePeriodFrames) * ease;
    const double heightChange = kHeightSwing * cycle(moving, kHeightPeriodFrames) * ease;
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

double virtualCameraStretch(int width, int height)
{
    if (width <= 0 || height <= 0) return 1.0;
    // Integer products are exact, so every 4:3 size gives exactly 1.
    return (double(width) * kDefaultCalibrationHeight) / (double(height) * kDefaultCalibrationWidth);
}

std::optional<FrameCamera> virtualCameraFrame(std::int64_t index, int width, int height)
{
    return makeFrameCamera(virtualCameraPose(index), width, height, virtualCameraStretch(width, height));
}

bool renderVirtualRuinsFrame(RuinsSceneRenderer& renderer, std::int64_t index, int width, int height,
                             std::uint8_t* pixels, PixelOrder order, double noiseSigma, std::uint64_t noiseSeed)
{
    const std::optional<FrameCamera> camera = virtualCameraFrame(index, width, height);
    if (!camera || !pixels) return false;
    renderer.renderRuins(*camera, pixels, order, noiseSigma, noiseSeed ^ (std::uint64_t(index) * 0x9E3779B97F4A7C15ull));
    return true;
}

VirtualRuinsCameraSource::VirtualRuinsCameraSource() = default;

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
    thread_.start(PacedSourceThread::steadyPace(kVirtualCameraFramesPerSecond),
                  [this, &mailbox, width = width_, height = height_, noise = noiseSigma_](std::int64_t index) {
                      // The mailbox stores B, G, R, rows bottom-up: render straight into that.
                      if (renderVirtualRuinsFrame(renderer_, index, width, height, frame_.data(), PixelOrder::BGR,
                                                  noise))
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
