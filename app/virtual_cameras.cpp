#include "app/virtual_cameras.h"

#include "capture/capture_device.h"
#include "capture/test_camera.h"

void registerVirtualCameras() {
    clearVirtualCaptureDevices();
    registerTestCamera();
}
