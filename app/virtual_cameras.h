#pragma once

// Offers the program's virtual cameras in the device table, after the real
// devices. Call before the capture device object is created.
void registerVirtualCameras();
