#include "app/virtual_cameras.h"

#include "capture/capture_device.h"
#include "capture/test_camera.h"

void registerVirtualCameras() {
    clearVirtualCaptureDevices();
    registerVirtualCaptureDevice("Castellan Test Camera", [] { return std::make_unique<TestCameraSource>(); });
}
