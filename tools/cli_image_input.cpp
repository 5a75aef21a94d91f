#include "tools/cli_image_input.h"

#include "app/frame_io.h"
#include "scene/calibration_frame.h"

#include <cstdio>
#include <new>

bool loadGreyFrame(const std::string& command, const std::string& path, GreyFrame& frame) {
    QString reason;
    const QImage image = readImageFile(path, &reason);
    if (image.isNull()) {
        std::fprintf(stderr, "castellan-cli %s: cannot load %s: %s\n", command.c_str(), path.c_str(),
                     qPrintable(reason));
        return false;
    }
    const std::size_t count = std::size_t(image.width()) * std::size_t(image.height());
    try {
        std::vector<unsigned char> color(3 * count);
        frame.pixels.assign(count, 0);
        fillFrameBuffers(image, color.data(), frame.pixels.data());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "castellan-cli %s: %s is too large to process\n", command.c_str(), path.c_str());
        return false;
    }
    frame.width = image.width();
    frame.height = image.height();
    return true;
}

bool saveGreyFrame(const std::string& command, const std::string& path, const GreyFrame& frame) {
    const QImage image = greyFrameToImage(frame.pixels.data(), frame.width, frame.height);
    const QString error = ruins::writePngFile(image, path);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "castellan-cli %s: cannot write %s: %s\n", command.c_str(), path.c_str(),
                     qPrintable(error));
        return false;
    }
    return true;
}

bool parseIntOption(const std::string& command, const std::string& option, const std::string& text, int& value) {
    try {
        std::size_t used = 0;
        value = std::stoi(text, &used);
        if (used == text.size()) return true;
    } catch (const std::exception&) {
    }
    std::fprintf(stderr, "castellan-cli %s: %s needs a whole number, not '%s'\n", command.c_str(), option.c_str(),
                 text.c_str());
    return false;
}
