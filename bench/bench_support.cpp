#include "bench/bench_support.h"

#include "app/frame_io.h"
#include "tests/support/textured_picture.h"

#include <QApplication>
#include <QImage>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#if defined(CASTELLAN_HAVE_PEER)
#include <opencv2/core.hpp>
#endif

namespace bench {

namespace {

// Both sides get the same allocator behaviour: freed blocks stay in the heap
// and large blocks come from it instead of fresh mmap pages, so a kernel that
// allocates per call is not charged a page fault per 4 KiB on every call.
struct PinnedRuntime {
    PinnedRuntime() {
        mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
        mallopt(M_MMAP_THRESHOLD, 512 * 1024 * 1024);
#if defined(CASTELLAN_HAVE_PEER)
        cv::setNumThreads(1);
#endif
    }
};
const PinnedRuntime pinnedRuntime;

using SizeKey = std::pair<int, int>;

std::vector<unsigned char> photoPicture(const char* path, FrameSize size) {
    QString error;
    const QImage photo = readImageFile(QString::fromLocal8Bit(path), &error);
    if (photo.isNull()) {
        std::fprintf(stderr, "castellan-bench: cannot read %s (%s); using the generated picture\n", path,
                     qPrintable(error));
        return {};
    }
    const QImage scaled = photo.scaled(size.width, size.height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    std::vector<unsigned char> colour(static_cast<std::size_t>(size.width) * size.height * 3);
    std::vector<unsigned char> grey(static_cast<std::size_t>(size.width) * size.height);
    fillFrameBuffers(scaled, colour.data(), grey.data());
    return grey;
}

std::vector<unsigned char> makePicture(FrameSize size) {
    if (const char* path = std::getenv("CASTELLAN_BENCH_IMAGE"); path != nullptr && *path != '\0') {
        std::vector<unsigned char> photo = photoPicture(path, size);
        if (!photo.empty()) return photo;
    }
    return castellan_test::texturedPicture(size.width, size.height, 1);
}

// Bilinear resampling at (x - 5/4, y + 3/4) in sixteenths, edges clamped.
std::vector<unsigned char> movePicture(const std::vector<unsigned char>& in, FrameSize size) {
    constexpr int kShiftX = -5, kShiftY = 3;  // quarter pixels of the source offset
    std::vector<unsigned char> out(in.size());
    auto at = [&](int x, int y) {
        x = x < 0 ? 0 : (x >= size.width ? size.width - 1 : x);
        y = y < 0 ? 0 : (y >= size.height ? size.height - 1 : y);
        return static_cast<int>(in[static_cast<std::size_t>(y) * size.width + x]);
    };
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const int qx = 4 * x + kShiftX, qy = 4 * y + kShiftY;
            const int x0 = qx >> 2, y0 = qy >> 2, fx = qx & 3, fy = qy & 3;
            const int sum = at(x0, y0) * (4 - fx) * (4 - fy) + at(x0 + 1, y0) * fx * (4 - fy) +
                            at(x0, y0 + 1) * (4 - fx) * fy + at(x0 + 1, y0 + 1) * fx * fy;
            out[static_cast<std::size_t>(y) * size.width + x] = static_cast<unsigned char>((sum + 8) / 16);
        }
    }
    return out;
}

}  // namespace

QApplication& application() {
    static int argc = 1;
    static char name[] = "castellan-bench";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

std::string benchmarkName(const char* side, const char* kernel, FrameSize size) {
    return std::string(side) + "/" + kernel + "/" + std::to_string(size.width) + "x" + std::to_string(size.height);
}

const std::vector<unsigned char>& benchPicture(FrameSize size) {
    static std::map<SizeKey, std::vector<unsigned char>> cache;
    auto [it, inserted] = cache.try_emplace({size.width, size.height});
    if (inserted) it->second = makePicture(size);
    return it->second;
}

const std::vector<unsigned char>& movedBenchPicture(FrameSize size) {
    static std::map<SizeKey, std::vector<unsigned char>> cache;
    auto [it, inserted] = cache.try_emplace({size.width, size.height});
    if (inserted) it->second = movePicture(benchPicture(size), size);
    return it->second;
}

}  // namespace bench
