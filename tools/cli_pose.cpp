// castellan-cli pose FILE.csv --height H: the camera estimated from lines
// "X,Y,Z,u,v", printed as the reconstructor would use it.
#include "pose/pose_command.h"
#include "tools/cli_command.h"

#include <iostream>

namespace {

const CliCommand poseCommand(
    "pose", "FILE.csv --height H",
    "Estimate the camera from lines X,Y,Z,u,v (u, v from the image centre, v up) and print its pose.",
    [](const std::vector<std::string>& args) { return runPoseCommand(args, std::cout, std::cerr); });

}  // namespace
