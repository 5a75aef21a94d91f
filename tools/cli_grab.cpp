// castellan-cli grab: connects to a capture device, goes live and writes
// consecutive frames as upright PNG files OUT_PREFIX0000.png, OUT_PREFIX0001.png, ...
#include <QImage>
#include <QString>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "app/virtual_cameras.h"
#include "capture/capture_device.h"
#include "scene/calibration_frame.h"
#include "tools/cli_command.h"

namespace {

constexpr int kMaxFrames = 100000;
// Consecutive one-second waits without a frame before giving up.
constexpr int kMaxMissedWaits = 5;

struct GrabOptions {
    bool virtualCamera = false;
    int device = -1;
    int frames = -1;
    int width = kDefaultCaptureWidth;
    int height = kDefaultCaptureHeight;
    std::string prefix;
};

bool parseInt(const std::string& text, int minimum, int maximum, int& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end && value >= minimum && value <= maximum;
}

// Empty on success, else what was wrong.
std::string parseOptions(const std::vector<std::string>& args, GrabOptions& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--virtual-camera") {
            options.virtualCamera = true;
        } else if (arg == "--device") {
            if (!hasValue || !parseInt(args[++i], 0, kMaxCaptureDevices - 1, options.device))
                return "--device needs a device number from the device list";
        } else if (arg == "--frames") {
            if (!hasValue || !parseInt(args[++i], 1, kMaxFrames, options.frames))
                return "--frames needs a count from 1 to " + std::to_string(kMaxFrames);
        } else if (arg == "--size") {
            if (!hasValue || !parseFrameSize(args[++i], 1, imTrackingGrabberCB::kMaxSide, options.width, options.height))
                return "--size needs WIDTHxHEIGHT, e.g. 640x480";
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (options.prefix.empty()) {
            options.prefix = arg;
        } else {
            return "only one OUT_PREFIX, got '" + arg + "' too";
        }
    }
    if (options.device < 0 || options.frames < 0 || options.prefix.empty())
        return "usage: grab --device N --frames K [--size WxH] [--virtual-camera] OUT_PREFIX";
    return {};
}

// The frame is bottom-up in the buffer; the file is upright.
// Empty on success, else why the file cannot be written.
QString writeUpright(const std::vector<unsigned char>& rgb, int width, int height, const std::string& path) {
    const QImage bottomUp(rgb.data(), width, height, width * 3, QImage::Format_RGB888);
    return ruins::writePngFile(bottomUp.mirrored(false, true), path);
}

std::string framePath(const std::string& prefix, int frame) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d", frame);
    return prefix + number + ".png";
}

int grabFrames(CaptureDevice* device, const GrabOptions& options) {
    if (!connectDevice(device, options.device)) {
        std::fprintf(stderr, "Could not connect to the capture device!\n");
        return 1;
    }
    setImageSize(device, options.width, options.height);  // the delivered size is read back
    int width = 0, height = 0;
    getImageSize(device, width, height);
    if (width <= 0 || height <= 0) {
        std::fprintf(stderr, "grab: the device delivers no frame size\n");
        return 1;
    }
    if (!setLive(device, 1)) {
        std::fprintf(stderr, "Could not change live state!\n");
        return 1;
    }
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    int missed = 0;
    for (int frame = 0; frame < options.frames;) {
        if (!fetchFrame(device, rgb.data(), rgb.size(), FrameLayout::PackedRGB, 1000)) {
            const std::string why = captureStreamError(device);
            if (!why.empty() || ++missed >= kMaxMissedWaits) {
                std::fprintf(stderr, "grab: %s\n", why.empty() ? "no frame from the device" : why.c_str());
                return 1;
            }
            continue;
        }
        missed = 0;
        const std::string path = framePath(options.prefix, frame);
        if (const QString error = writeUpright(rgb, width, height, path); !error.isEmpty()) {
            std::fprintf(stderr, "grab: could not write %s: %s\n", path.c_str(), qPrintable(error));
            return 1;
        }
        std::printf("%s\n", path.c_str());
        ++frame;
    }
    return 0;
}

int grab(const std::vector<std::string>& args) {
    GrabOptions options;
    const std::string problem = parseOptions(args, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "grab: %s\n", problem.c_str());
        return 2;
    }
    if (options.virtualCamera)
        registerVirtualCameras();
    CaptureDevicePtr device(createCaptureDevice());
    if (!device) {
        std::fprintf(stderr, "No Capture Device available!\n");
        return 1;
    }
    if (options.device >= captureDeviceCount()) {
        std::fprintf(stderr, "grab: no device %d (castellan-cli devices lists them)\n", options.device);
        return 1;
    }
    return grabFrames(device.get(), options);
}

const CliCommand grabCommand("grab", "--device N --frames K [--size WxH] [--virtual-camera] OUT_PREFIX",
                             "Write K consecutive frames of a capture device as upright PNG files.",
                             grab);

}  // namespace
