#include "app/virtual_cameras.h"

#include "capture/capture_device.h"
#include "capture/test_camera.h"
#include "virtual_camera/virtual_ruins_camera.h"

void registerVirtualCameras() {
    clearVirtualCaptureDevices();
    registerTestCamera();
    ruins::registerVirtualRuinsCamera();
}

QStringList compiledCaptureBackends() {
    return {QStringLiteral("V4L2 cameras (libv4l2)"), QStringLiteral("virtual test camera"),
            QStringLiteral("virtual ruins camera"), QStringLiteral("video files (FFmpeg)")};
}
