#include "app/virtual_cameras.h"

#include "capture/capture_device.h"
#include "capture/test_camera.h"

void registerVirtualCameras() {
    clearVirtualCaptureDevices();
    registerTestCamera();
}

QStringList compiledCaptureBackends() {
    return {QStringLiteral("V4L2 cameras (libv4l2)"), QStringLiteral("virtual test camera")};
}
