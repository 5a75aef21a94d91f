#pragma once

// Offers the program's virtual cameras in the device table, after the real
// devices. Call before the capture device object is created.
void registerVirtualCameras();

#include <QStringList>

// The kinds of capture device this build can offer, for the "About" box.
QStringList compiledCaptureBackends();
