#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The "pose" command of castellan-cli: FILE.csv --height H.
//
// FILE.csv holds one correspondence per line, "X,Y,Z,u,v": a model point in
// world units and its image point in pixels relative to the image centre with
// v upwards. Blank lines and lines starting with '#' are skipped. On success it
// prints, one per line: "status 1", "eye x y z", "look_at x y z", "up x y z",
// "fov_deg f", "linear" and "refined" each followed by their 12 numbers, all
// with 17 significant digits; when the pose cannot be estimated (including
// fewer than six correspondences) only "status 0". Returns the exit status:
// 0 when a status was printed, non-zero after a usage, file or parse error,
// which is reported on err as one line (parse errors with their line number).
int runPoseCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// The same over an already opened CSV stream; sourceName prefixes error lines.
int runPoseCommand(std::istream& csv, const std::string& sourceName, int imageHeight, std::ostream& out,
                   std::ostream& err);
