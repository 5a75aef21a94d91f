// The still-image path of "Open an image file": bytes as a file on disk, read and
// decoded, then turned into the colour and grey frame buffers.
#include "app/frame_io.h"
#include "fuzz_support.h"

#include <QCoreApplication>
#include <QImageReader>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// The decoders' own limit bounds what a header can make them allocate; a lower
// one here keeps each execution fast without changing which paths are reached.
constexpr int kFuzzAllocationLimitMb = 16;

int inputFile = -1;  // an in-memory file rewritten for every input
QString inputPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);  // plugin paths for the JPEG and GIF readers
    QImageReader::setAllocationLimit(kFuzzAllocationLimitMb);
    inputFile = memfd_create("castellan-fuzz-image", 0);
    if (inputFile < 0) std::abort();
    inputPath = QStringLiteral("/proc/self/fd/%1").arg(inputFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(inputFile, 0) != 0) std::abort();
    if (size > 0 && pwrite(inputFile, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

    QString reason;
    const QImage image = readImageFile(inputPath, &reason);
    if (image.isNull()) {
        FUZZ_CHECK(!reason.isEmpty());  // every refusal says why
        return 0;
    }
    FUZZ_CHECK(image.width() > 0 && image.height() > 0);

    const std::size_t count = std::size_t(image.width()) * std::size_t(image.height());
    std::vector<unsigned char> colour(3 * count), grey(count);
    fillFrameBuffers(image, colour.data(), grey.data());
    for (std::size_t i = 0; i < count; ++i)
        FUZZ_CHECK(grey[i] == greyValue(colour[3 * i], colour[3 * i + 1], colour[3 * i + 2]));

    // Saving shows the grey frame upright: the first buffer row is the picture's bottom row.
    const QImage upright = greyFrameToImage(grey.data(), image.width(), image.height());
    FUZZ_CHECK(upright.size() == image.size());
    FUZZ_CHECK(qRed(upright.pixel(0, image.height() - 1)) == grey[0]);
    return 0;
}
