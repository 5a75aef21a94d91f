// castellan-cli fast and canny: the FAST tracker's corners and its Canny frame
// for one picture.
#include "features/fast9.h"
#include "features/canny.h"
#include "processors/fast_corner_detector.h"
#include "tools/cli_command.h"
#include "tools/cli_image_input.h"

#include <climits>
#include <algorithm>
#include <cstdio>

namespace {

int runFast(const std::vector<std::string>& args) {
    const std::string command = "fast";
    std::string image;
    int threshold = 25;
    int capacity = INT_MAX;  // unlimited unless asked
    bool raw = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--raw") {
            raw = true;
        } else if ((arg == "--threshold" || arg == "--capacity") && hasValue) {
            if (!parseIntOption(command, arg, args[++i], arg == "--threshold" ? threshold : capacity)) return 1;
        } else if (arg.rfind("--", 0) != 0 && image.empty()) {
            image = arg;
        } else {
            std::fprintf(stderr, "castellan-cli fast: unexpected '%s' (usage: fast IMAGE [--threshold T] [--raw] "
                                 "[--capacity N])\n", arg.c_str());
            return 1;
        }
    }
    if (image.empty() || capacity < 0) {
        std::fprintf(stderr, "castellan-cli fast: expected IMAGE and a capacity of 0 or more\n");
        return 1;
    }
    GreyFrame frame;
    if (!loadGreyFrame(command, image, frame)) return 1;

    int count = 0;
    std::vector<CornerPoint> corners = fast9Detect(frame.pixels.data(), frame.width, frame.height, threshold, &count);
    if (!raw) {
        // As the FAST detector: suppression (none below five corners), then the
        // first `capacity` in raster order.
        auto kept = fastNonmaxSuppression(frame.pixels.data(), frame.width, frame.height, corners.data(),
                                          int(corners.size()), threshold);
        corners = kept ? std::move(*kept) : std::vector<CornerPoint>();
        if (int(corners.size()) > capacity) corners.resize(std::size_t(capacity));
    }
    for (const CornerPoint& corner : corners) std::printf("%d,%d\n", corner.x, corner.y);
    return 0;
}

bool parseFloat(const std::string& text, float& value) {
    try {
        std::size_t used = 0;
        value = std::stof(text, &used);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

int runCanny(const std::vector<std::string>& args) {
    const std::string command = "canny";
    std::vector<std::string> files;
    float sigma = 1.0f;
    int lower = 30;
    int upper = 60;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--sigma" && hasValue) {
            // The panel's range: a negative spread has no meaning.
            if (!parseFloat(args[++i], sigma) || !(sigma >= 0.0f && sigma <= 128.0f)) {
                std::fprintf(stderr, "castellan-cli canny: --sigma needs a number from 0 to 128, not '%s'\n",
                             args[i].c_str());
                return 1;
            }
        } else if ((arg == "--lower" || arg == "--upper") && hasValue) {
            if (!parseIntOption(command, arg, args[++i], arg == "--lower" ? lower : upper)) return 1;
        } else if (arg.rfind("--", 0) != 0) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "castellan-cli canny: unexpected '%s'\n", arg.c_str());
            return 1;
        }
    }
    if (files.size() != 2) {
        std::fprintf(stderr, "castellan-cli canny: expected IMAGE OUT.png [--sigma S] [--lower L] [--upper U]\n");
        return 1;
    }
    GreyFrame frame;
    if (!loadGreyFrame(command, files[0], frame)) return 1;
    // The FAST tracker's frame with Canny on: the edge map, or black when it cannot be made.
    CannyEdgeMap edgeMap(frame.width, frame.height);
    edgeMap.setImageSize(frame.width, frame.height);
    GreyFrame edges = frame;
    if (!edgeMap.write(frame.pixels.data(), edges.pixels.data(), sigma, lower, upper))
        std::fill(edges.pixels.begin(), edges.pixels.end(), 0);
    return saveGreyFrame(command, files[1], edges) ? 0 : 1;
}

const CliCommand fastCommand("fast", "IMAGE [--threshold T] [--raw] [--capacity N]",
                             "FAST corners of IMAGE as x,y (buffer coordinates): the detector's, or with --raw the "
                             "segment test's.",
                             runFast);
const CliCommand cannyCommand("canny", "IMAGE OUT.png [--sigma S] [--lower L] [--upper U]",
                              "The FAST tracker's frame with Canny on (0 and 255), written upright as PNG.",
                              runCanny);

}  // namespace
