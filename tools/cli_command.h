#pragma once

#include <functional>
#include <string>
#include <vector>

// One castellan-cli subcommand. Each cli_<name>.cpp defines a static
// CliCommand, which adds itself to the table that main() dispatches on.
//
// Conventions for every subcommand: images are loaded as the program loads them
// (buffer row 0 = bottom row of the picture); coordinates are printed in buffer
// coordinates (x from the left, y from the bottom row), one record per line,
// comma-separated. Errors: one line on standard error and a non-zero exit status.
struct CliCommand {
    using Run = std::function<int(const std::vector<std::string>& args)>;

    CliCommand(std::string name, std::string usage, std::string summary, Run run);

    std::string name;
    std::string usage;    // arguments after the name, e.g. "IMAGE OUT.png"
    std::string summary;  // one line for --help
    Run run;

    static const std::vector<const CliCommand*>& all();
};

// "WxH" with both sides whole numbers from minSide to maxSide (the --size of
// every subcommand that takes one).
bool parseFrameSize(const std::string& text, int minSide, int maxSide, int& width, int& height);
