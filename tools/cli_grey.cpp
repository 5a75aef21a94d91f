// castellan-cli grey IMAGE OUT.png: the grey frame exactly as the program would
// show and save it.
#include "app/frame_io.h"
#include "tools/cli_command.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

int runGrey(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::fprintf(stderr, "castellan-cli grey: expected IMAGE OUT.png\n");
        return 1;
    }
    const QString in = QString::fromStdString(args[0]);
    const QString out = QString::fromStdString(args[1]);
    QString reason;
    const QImage image = readImageFile(in, &reason);
    if (image.isNull()) {
        std::fprintf(stderr, "castellan-cli grey: cannot load %s: %s\n", args[0].c_str(), qPrintable(reason));
        return 1;
    }
    const std::size_t count = std::size_t(image.width()) * std::size_t(image.height());
    std::unique_ptr<unsigned char[]> color(new (std::nothrow) unsigned char[3 * count]);
    std::unique_ptr<unsigned char[]> grey(new (std::nothrow) unsigned char[count]);
    if (!color || !grey) {
        std::fprintf(stderr, "castellan-cli grey: %s is too large to process\n", args[0].c_str());
        return 1;
    }
    fillFrameBuffers(image, color.get(), grey.get());
    const QImage saved = greyFrameToImage(grey.get(), image.width(), image.height());
    if (saved.isNull() || !saved.save(out, "PNG")) {
        std::fprintf(stderr, "castellan-cli grey: cannot write %s\n", args[1].c_str());
        return 1;
    }
    return 0;
}

const CliCommand greyCommand("grey", "IMAGE OUT.png",
                             "Load IMAGE as \"Open an image file\" does and write its grey frame as PNG.",
                             runGrey);

}  // namespace
