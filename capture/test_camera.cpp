#include "capture/test_camera.h"

#include <algorithm>
#include <cmath>

#include "capture/capture_device.h"
#include "capture/capture_dialog_runner.h"
#include "capture/frame_mailbox.h"

namespace {

constexpr int kBlockPitch = 40;  // block plus gap, in pixels
constexpr int kBlockSide = 26;
constexpr double kPi = 3.14159265358979323846;

enum Dialog { kFormatDialog, kSourceDialog };

// Cheap integer hash: gives each block its own lasting shade and colour.
std::uint32_t hashCell(int x, int y) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 73856093u ^ static_cast<std::uint32_t>(y) * 19349663u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

int floorDiv(int a, int b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

std::uint8_t clampByte(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

}  // namespace

TestCameraSource::TestCameraSource() = default;

TestCameraSource::~TestCameraSource() {
    stop();
}

void TestCameraSource::frameSize(int& width, int& height) const {
    width = width_;
    height = height_;
}

bool TestCameraSource::requestFrameSize(int width, int height) {
    if (!imTrackingGrabberCB::acceptsSize(width, height)) return false;
    width_ = width;
    height_ = height;
    return true;
}

std::vector<FrameFormatChoice> TestCameraSource::formats() {
    return {{160, 120, kFramesPerSecond}, {320, 240, kFramesPerSecond}, {640, 480, kFramesPerSecond},
            {800, 600, kFramesPerSecond}, {1280, 720, kFramesPerSecond}};
}

std::vector<CaptureControl> TestCameraSource::controls() const {
    CaptureControl brightness;
    brightness.id = kBrightnessControl;
    brightness.name = "Brightness";
    brightness.minimum = -100;
    brightness.maximum = 100;
    brightness.value = brightness_;
    CaptureControl contrast;
    contrast.id = kContrastControl;
    contrast.name = "Contrast";
    contrast.minimum = 0;
    contrast.maximum = 200;
    contrast.defaultValue = 100;
    contrast.value = contrast_;
    CaptureControl motion;
    motion.id = kMotionControl;
    motion.name = "Motion";
    motion.kind = CaptureControl::Kind::Boolean;
    motion.maximum = 1;
    motion.defaultValue = 1;
    motion.value = motion_;
    return {brightness, contrast, motion};
}

bool TestCameraSource::applyControl(int id, int value) {
    switch (id) {
    case kBrightnessControl:
        if (value < -100 || value > 100)
            return false;
        brightness_ = value;
        return true;
    case kContrastControl:
        if (value < 0 || value > 200)
            return false;
        contrast_ = value;
        return true;
    case kMotionControl:
        motion_ = value != 0 ? 1 : 0;
        return true;
    default:
        return false;
    }
}

std::vector<CaptureDialogEntry> TestCameraSource::dialogs() const {
    return {{"Format...", DialogEffect::ChangesFormat}, {"Source...", DialogEffect::None}};
}

bool TestCameraSource::runDialog(int index, QWidget* parent) {
    if (index == kFormatDialog) {
        const std::vector<FrameFormatChoice> offered = formats();
        int current = 0;
        for (int i = 0; i < static_cast<int>(offered.size()); ++i) {
            if (offered[i].width == width_ && offered[i].height == height_)
                current = i;
        }
        const int chosen = chooseFrameFormat(offered, current, parent);
        return chosen < 0 || requestFrameSize(offered[chosen].width, offered[chosen].height);
    }
    if (index == kSourceDialog)
        return editCaptureControls(controls(), [this](int id, int value) { return applyControl(id, value); },
                                   parent);
    return false;
}

void TestCameraSource::render(std::int64_t frame, int width, int height, std::uint8_t* pixels) const {
    if (width <= 0 || height <= 0 || pixels == nullptr)
        return;
    // The pattern drifts on a slow Lissajous loop, a few pixels per frame, so
    // that trackers can follow it.
    const double t = motion_ ? static_cast<double>(frame) / kFramesPerSecond : 0.0;
    const int shiftX = static_cast<int>(std::lround(30.0 * std::sin(2 * kPi * t / 7.0) + 2.0 * t));
    const int shiftY = static_cast<int>(std::lround(20.0 * std::sin(2 * kPi * t / 5.0)));
    const int brightness = brightness_;
    const int contrast = contrast_;
    for (int row = 0; row < height; ++row) {
        const int y = height - 1 - row;  // picture row: the store is bottom-up
        const int py = y + shiftY;
        const int cellY = floorDiv(py, kBlockPitch);
        const bool inBlockRow = py - cellY * kBlockPitch < kBlockSide;
        std::uint8_t* out = pixels + static_cast<std::size_t>(row) * width * 3;
        for (int x = 0; x < width; ++x, out += 3) {
            const int px = x + shiftX;
            const int cellX = floorDiv(px, kBlockPitch);
            int b, g, r;
            if (inBlockRow && px - cellX * kBlockPitch < kBlockSide) {
                const std::uint32_t h = hashCell(cellX, cellY);
                const int shade = 150 + static_cast<int>(h % 106);
                b = shade - static_cast<int>((h >> 8) % 60);
                g = shade - static_cast<int>((h >> 16) % 60);
                r = shade - static_cast<int>((h >> 24) % 60);
            } else {
                // Dark, gently graded background, so blocks stand out with strong corners.
                const int base = 20 + (x * 40) / std::max(width, 1) + (y * 30) / std::max(height, 1);
                b = base + 10;
                g = base;
                r = base;
            }
            out[0] = clampByte((b - 128) * contrast / 100 + 128 + brightness);
            out[1] = clampByte((g - 128) * contrast / 100 + 128 + brightness);
            out[2] = clampByte((r - 128) * contrast / 100 + 128 + brightness);
        }
    }
}

bool TestCameraSource::start(imTrackingGrabberCB& mailbox) {
    if (thread_.running())
        return true;
    frame_.assign(static_cast<std::size_t>(width_) * height_ * 3, 0);
    thread_.start(PacedSourceThread::steadyPace(kFramesPerSecond),
                  [this, &mailbox, width = width_, height = height_](std::int64_t frame) {
                      render(frame, width, height, frame_.data());
                      mailbox.SampleCB(frame_.data(), frame_.size());
                  });
    return true;
}

void TestCameraSource::stop() {
    thread_.stop();
}

void registerTestCamera() {
    registerVirtualCaptureDevice(kTestCameraName, [] { return std::make_unique<TestCameraSource>(); });
}
