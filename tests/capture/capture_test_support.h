#pragma once

#include "capture/capture_device.h"
#include "capture/capture_dialogs.h"

// Gives a test a known device list: no hardware, no virtual devices, the
// widget dialogs without a hook, and puts the same back afterwards, so no test
// sees a real camera or another test's devices.
class CaptureTestScope {
public:
    CaptureTestScope() { reset(); }
    ~CaptureTestScope() { reset(); }
    CaptureTestScope(const CaptureTestScope&) = delete;
    CaptureTestScope& operator=(const CaptureTestScope&) = delete;

private:
    static void reset() {
        setHardwareCaptureBackends({});
        clearVirtualCaptureDevices();
        installCaptureDialogs();
        setCaptureDialogExecHook(nullptr);
    }
};
