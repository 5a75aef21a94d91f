// castellan-cli klt-select IMAGE [--count N] [--mindist D]
// castellan-cli klt-track IMAGE1 IMAGE2 [IMAGE3 ...] [--count N]
// The KLT library on still images, with the KLT corner detector's settings.
#include "app/frame_io.h"
#include "features/klt.h"
#include "tools/cli_command.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultCount = 78;  // the KLT tracker's capacity
constexpr int kDefaultMindist = 10;

struct GreyFrame {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> grey;
};

bool loadGrey(const char* command, const std::string& path, GreyFrame& frame) {
    QString reason;
    const QImage image = readImageFile(path, &reason);
    if (image.isNull()) {
        std::fprintf(stderr, "castellan-cli %s: cannot load %s: %s\n", command, path.c_str(),
                     qPrintable(reason));
        return false;
    }
    const std::size_t count = std::size_t(image.width()) * std::size_t(image.height());
    try {
        std::vector<unsigned char> color(3 * count);
        frame.grey.assign(count, 0);
        fillFrameBuffers(image, color.data(), frame.grey.data());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "castellan-cli %s: %s is too large to process\n", command, path.c_str());
        return false;
    }
    frame.width = image.width();
    frame.height = image.height();
    return true;
}

// Reads "--name VALUE" options into `values`; everything else is positional.
bool parseArgs(const char* command, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, int*>>& options,
               std::vector<std::string>& positional) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool matched = false;
        for (const auto& [name, value] : options) {
            if (args[i] != name) continue;
            char* end = nullptr;
            const long parsed = i + 1 < args.size() ? std::strtol(args[i + 1].c_str(), &end, 10) : 0;
            if (i + 1 >= args.size() || *end != '\0' || args[i + 1].empty() || parsed < -1000000 ||
                parsed > 1000000) {
                std::fprintf(stderr, "castellan-cli %s: %s needs an integer\n", command, name.c_str());
                return false;
            }
            *value = static_cast<int>(parsed);
            ++i;
            matched = true;
        }
        if (!matched) positional.push_back(args[i]);
    }
    return true;
}

std::unique_ptr<KLTTrackingContext> detectorContext(int mindist) {
    KLTSetVerbosity(0);
    auto tc = createTrackingContext();
    tc->sequentialMode = true;
    tc->mindist = mindist;
    return tc;
}

int runSelect(const std::vector<std::string>& args) {
    int count = kDefaultCount;
    int mindist = kDefaultMindist;
    std::vector<std::string> images;
    if (!parseArgs("klt-select", args, {{"--count", &count}, {"--mindist", &mindist}}, images))
        return 1;
    if (images.size() != 1 || count < 0) {
        std::fprintf(stderr, "castellan-cli klt-select: expected IMAGE [--count N] [--mindist D]\n");
        return 1;
    }
    GreyFrame frame;
    if (!loadGrey("klt-select", images[0], frame)) return 1;
    auto tc = detectorContext(mindist);
    KLTFeatureList fl(count);
    selectGoodFeatures(*tc, frame.grey.data(), frame.width, frame.height, fl);
    // Slots beyond the features the picture offers stay unselected (-1).
    for (const KLTFeature& f : fl.feature)
        if (f.val >= 0) std::printf("%d,%d,%d\n", static_cast<int>(f.x), static_cast<int>(f.y), f.val);
    return 0;
}

int runTrack(const std::vector<std::string>& args) {
    int count = kDefaultCount;
    std::vector<std::string> images;
    if (!parseArgs("klt-track", args, {{"--count", &count}}, images)) return 1;
    if (images.size() < 2 || count < 0) {
        std::fprintf(stderr, "castellan-cli klt-track: expected IMAGE1 IMAGE2 [IMAGE3 ...] [--count N]\n");
        return 1;
    }
    auto tc = detectorContext(kDefaultMindist);
    KLTFeatureList fl(count);
    GreyFrame first;
    for (std::size_t n = 0; n < images.size(); ++n) {
        GreyFrame frame;
        if (!loadGrey("klt-track", images[n], frame)) return 1;
        if (n == 0) first = frame;
        // Features cannot be followed into a picture of another size.
        if (frame.width != first.width || frame.height != first.height) {
            std::fprintf(stderr, "castellan-cli klt-track: %s is %dx%d, %s is %dx%d; all images must have one size\n",
                         images[n].c_str(), frame.width, frame.height, images[0].c_str(), first.width, first.height);
            return 1;
        }
        // As the KLT corner detector does: select on the first frame (and on a frame
        // whose size differs from the stored one), track every other frame.
        const bool sameSize = tc->pyramid_last && tc->pyramid_last->ncols[0] == frame.width &&
                              tc->pyramid_last->nrows[0] == frame.height;
        if (!sameSize) {
            KLTFreeStoredPyramids(*tc);
            selectGoodFeatures(*tc, frame.grey.data(), frame.width, frame.height, fl);
            KLTTrackFeatures(*tc, frame.grey.data(), frame.grey.data(), frame.width, frame.height, fl);
        } else {
            KLTTrackFeatures(*tc, nullptr, frame.grey.data(), frame.width, frame.height, fl);
        }
        if (n == 0) continue;
        for (int i = 0; i < fl.nFeatures(); ++i)
            std::printf("%zu,%d,%.3f,%.3f,%d\n", n, i, static_cast<double>(fl.feature[i].x),
                        static_cast<double>(fl.feature[i].y), fl.feature[i].val);
    }
    return 0;
}

const CliCommand kltSelectCommand("klt-select", "IMAGE [--count N] [--mindist D]",
                                  "Select KLT features on IMAGE; prints x,y,val per feature.",
                                  runSelect);
const CliCommand kltTrackCommand(
    "klt-track", "IMAGE1 IMAGE2 [IMAGE3 ...] [--count N]",
    "Select on IMAGE1 and track through the rest; prints frame,index,x,y,val.", runTrack);

}  // namespace
