#pragma once

// The virtual ruins camera: the ruins rendered by RuinsSceneRenderer as a camera
// moving around them would see them, at 30 frames per second on a thread of its
// own, into the capture mailbox. It starts at the calibration pose, rests there
// for two seconds (so the automatic initial points can be taken), then swings
// smoothly and endlessly about ±25° around the vertical axis through the point it
// looks at, with gentle changes of height and distance, and back.
//
// The pose is a function of the frame index alone, so a headless run that makes
// frames by index sees exactly what the live camera shows, and the true pose of
// every frame is known.

#include "capture/capture_dialog_runner.h"
#include "capture/capture_source.h"
#include "capture/paced_source_thread.h"
#include "scene/calibration_pose.h"
#include "virtual_camera/ruins_scene_renderer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ruins {

inline constexpr int kVirtualCameraFramesPerSecond = 30;
// Two seconds at the calibration pose before the camera moves.
inline constexpr std::int64_t kVirtualCameraRestFrames = 2 * kVirtualCameraFramesPerSecond;
inline constexpr double kVirtualCameraAzimuthDegrees = 25.0;

// How the camera travels: `speed` times as fast along its path after the rest;
// with `jumps`, every kJumpEveryFrames frames of travel it turns its back on the
// ruins for kJumpAwayFrames frames and then faces them again where it left, or
// with `returnTurn`, that many degrees further round them each time.
struct VirtualCameraPath {
    static constexpr std::int64_t kJumpEveryFrames = 150;
    static constexpr std::int64_t kJumpAwayFrames = 30;
    // The turn of `--path around`.
    static constexpr double kAroundTurnDegrees = 60.0;

    double speed = 1.0;
    bool jumps = false;
    double returnTurn = 0.0;  // degrees
    // Where the camera rests and what it swings about: the camera that took the
    // scene's reference picture, and that picture's size.
    CameraPose rest = kCalibrationPose;
    int restPictureWidth = kDefaultCalibrationWidth;
    int restPictureHeight = kDefaultCalibrationHeight;
};

// What the frames show beyond the ruins at their pose: a picture as table and
// backdrop, sensor noise, motion blur over the frame's time (the shutter open
// from half a frame before to half a frame after), and an exposure that drifts
// slowly by up to ±kExposureDrift.
struct VirtualCameraLook {
    static constexpr double kExposureDrift = 0.2;
    static constexpr std::int64_t kExposureDriftPeriodFrames = 17 * kVirtualCameraFramesPerSecond;

    std::shared_ptr<const SceneBackdrop> backdrop;
    double noiseSigma = 0.0;
    bool blur = false;
    bool exposureDrift = false;
};

// The true camera pose of frame `index` (0 = the first frame after start).
// Negative indices are the resting pose.
CameraPose virtualCameraPose(std::int64_t index);
CameraPose virtualCameraPose(std::int64_t index, const VirtualCameraPath& path);
// The pose at a time between frames, in frames (for the blur).
CameraPose virtualCameraPoseAt(double time, const VirtualCameraPath& path);

// The camera's focal length on a width × height frame relative to the one its
// vertical field of view gives: pixels are square at every frame shape, and the
// rest picture's view fills the frame's middle as referenceFit lays the picture
// on it (a 16:9 frame sees more at the sides, a square one more above and
// below). Exactly 1 for frames of the rest picture's shape.
double virtualCameraFocalScale(int width, int height, const VirtualCameraPath& path);

// The camera of frame `index` on a width × height frame; empty for sizes the
// renderer refuses.
std::optional<FrameCamera> virtualCameraFrame(std::int64_t index, int width, int height);
std::optional<FrameCamera> virtualCameraFrame(std::int64_t index, int width, int height,
                                              const VirtualCameraPath& path);

// Renders frame `index` (width × height × 3 bytes, rows bottom-up). noiseSigma as
// RuinsSceneRenderer::renderRuins; the noise pattern follows from noiseSeed and
// the index. False (buffer untouched) for sizes the renderer refuses.
bool renderVirtualRuinsFrame(RuinsSceneRenderer& renderer, std::int64_t index, int width, int height,
                             std::uint8_t* pixels, PixelOrder order, double noiseSigma = 0.0,
                             std::uint64_t noiseSeed = 0);
// The same along `path` with `look` (its backdrop given to the renderer).
bool renderVirtualRuinsFrame(RuinsSceneRenderer& renderer, std::int64_t index, int width, int height,
                             std::uint8_t* pixels, PixelOrder order, const VirtualCameraPath& path,
                             const VirtualCameraLook& look, std::uint64_t noiseSeed = 0);

// A picture file as backdrop; null (with `error` set) when it cannot be read.
std::shared_ptr<const SceneBackdrop> loadSceneBackdrop(const std::string& path, std::string& error);
// The backdrop every virtual ruins camera made from now on starts with (the
// program's --background); null for the plate and the sky.
void setDefaultVirtualRuinsBackdrop(std::shared_ptr<const SceneBackdrop> backdrop);

class VirtualRuinsCameraSource final : public CaptureSource {
public:
    static constexpr int kDefaultWidth = 320;
    static constexpr int kDefaultHeight = 240;

    VirtualRuinsCameraSource();
    ~VirtualRuinsCameraSource() override;

    void frameSize(int& width, int& height) const override;
    bool requestFrameSize(int width, int height) override;
    bool start(imTrackingGrabberCB& mailbox) override;
    void stop() override;
    std::vector<CaptureDialogEntry> dialogs() const override;
    bool runDialog(int index, QWidget* parent) override;

    // The sizes "Format..." offers: 320 × 240, 640 × 480, 1280 × 720.
    static std::vector<FrameFormatChoice> formats();

    // Frames handed to the mailbox since the last start; the newest has index
    // deliveredFrames() − 1 and pose virtualCameraPose(deliveredFrames() − 1).
    // Any thread.
    std::int64_t deliveredFrames() const { return delivered_.load(); }

    // Sensor noise of the frames from the next start on (GUI thread, stopped).
    void setNoise(double sigma) { noiseSigma_ = sigma; }

private:
    int width_ = kDefaultWidth;
    int height_ = kDefaultHeight;
    double noiseSigma_ = 0.0;
    std::atomic<std::int64_t> delivered_{0};
    // Touched only by the render thread while it runs.
    RuinsSceneRenderer renderer_;
    std::vector<std::uint8_t> frame_;
    PacedSourceThread thread_;
};

// Name the virtual ruins camera is listed under.
inline const std::string kVirtualRuinsCameraName = "Castellan Virtual Ruins Camera";

// Offers the virtual ruins camera (after the real devices) from now on; the
// program calls it for --virtual-camera.
void registerVirtualRuinsCamera();

}  // namespace ruins
