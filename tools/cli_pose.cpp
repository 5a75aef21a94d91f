// castellan-cli pose FILE.csv --height H: the camera estimated from lines
// "X,Y,Z,u,v", printed as the reconstructor would use it.
#include "pose/pose_command.h"
#include "tools/cli_command.h"

#include <iostream>
#include <sstream>

namespace {

const CliCommand poseCommand(
    "pose", "FILE.csv --height H",
    "Estimate the camera from lines X,Y,Z,u,v (u, v from the image centre, v up) and print its pose.",
    [](const std::vector<std::string>& args) {
        // A script must see from the exit status alone that no pose was found.
        std::ostringstream out;
        const int exitStatus = runPoseCommand(args, out, std::cerr);
        std::cout << out.str();
        return exitStatus == 0 && out.str().rfind("status 0", 0) == 0 ? 1 : exitStatus;
    });

}  // namespace
