// castellan-cli devices: the capture device table, one "%d - %s" entry a line.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/capture_device.h"
#include "app/virtual_cameras.h"
#include "tools/cli_command.h"

namespace {

int listDevices(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg != "--virtual-camera") {
            std::fprintf(stderr, "devices: unknown argument '%s'\n", arg.c_str());
            return 2;
        }
    }
    if (std::find(args.begin(), args.end(), "--virtual-camera") != args.end())
        registerVirtualCameras();
    const int count = captureDeviceCount();
    if (count == 0) {
        std::fprintf(stderr, "No Capture Device available!\n");
        return 1;
    }
    for (int i = 0; i < count; ++i)
        std::printf("%s\n", captureDeviceDescription(i));
    return 0;
}

const CliCommand devicesCommand("devices", "[--virtual-camera]",
                                "List the capture devices, with the virtual cameras on request.",
                                listDevices);

}  // namespace
