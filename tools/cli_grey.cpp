// castellan-cli grey IMAGE OUT.png: the grey frame exactly as the program would
// show and save it.
#include "tools/cli_command.h"
#include "tools/cli_image_input.h"

#include <cstdio>

namespace {

int runGrey(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::fprintf(stderr, "castellan-cli grey: expected IMAGE OUT.png\n");
        return 1;
    }
    GreyFrame frame;
    if (!loadGreyFrame("grey", args[0], frame)) return 1;
    return saveGreyFrame("grey", args[1], frame) ? 0 : 1;
}

const CliCommand greyCommand("grey", "IMAGE OUT.png",
                             "Load IMAGE as \"Open an image file\" does and write its grey frame as PNG.",
                             runGrey);

}  // namespace
