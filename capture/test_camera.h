#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_formats.h"
#include "capture/capture_source.h"
#include "capture/paced_source_thread.h"

// The virtual test camera: a moving, textured picture full of corners (a grid
// of shaded blocks drifting on a slow loop over a gradient), rendered at 30
// frames per second on its own thread into the mailbox. It lets the whole live
// path run on a machine without a camera.
class TestCameraSource final : public CaptureSource {
public:
    static constexpr int kFramesPerSecond = 30;
    static constexpr int kDefaultWidth = 320;
    static constexpr int kDefaultHeight = 240;
    // Control ids of "Source...".
    static constexpr int kBrightnessControl = 1;
    static constexpr int kContrastControl = 2;
    static constexpr int kMotionControl = 3;

    TestCameraSource();
    ~TestCameraSource() override;

    void frameSize(int& width, int& height) const override;
    bool requestFrameSize(int width, int height) override;
    bool start(imTrackingGrabberCB& mailbox) override;
    void stop() override;
    std::vector<CaptureDialogEntry> dialogs() const override;
    bool runDialog(int index, QWidget* parent) override;

    // The sizes "Format..." offers: 160 x 120 up to 1280 x 720.
    static std::vector<FrameFormatChoice> formats();
    std::vector<CaptureControl> controls() const;
    bool applyControl(int id, int value);

    // Renders frame number `frame` as B, G, R rows bottom-up into `pixels`
    // (width x height x 3 bytes). Any thread; deterministic for a given frame
    // and settings.
    void render(std::int64_t frame, int width, int height, std::uint8_t* pixels) const;

private:
    int width_ = kDefaultWidth;
    int height_ = kDefaultHeight;
    std::atomic<int> brightness_{0};   // -100 .. 100, added to every channel
    std::atomic<int> contrast_{100};   // percent, 0 .. 200
    std::atomic<int> motion_{1};       // 0 freezes the picture
    std::vector<std::uint8_t> frame_;  // touched only by the render thread while it runs
    PacedSourceThread thread_;
};

// Name the test camera is listed under.
inline const std::string kTestCameraName = "Castellan Test Camera";

// Offers the virtual test camera (after the real devices) from now on; the
// program calls it for --virtual-camera.
void registerTestCamera();
