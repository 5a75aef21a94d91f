// FAST-9: the segment test, non-maximum suppression (on detected and on arbitrary
// corner lists) and the FAST corner detector, on any size from 0 up, any
// threshold and any contents.
#include "features/fast9.h"
#include "fuzz_support.h"
#include "processors/fast_corner_detector.h"

namespace {

constexpr int kMaxSide = 64;
constexpr int kBorder = 3;

bool rasterOrdered(const std::vector<CornerPoint>& corners) {
    for (std::size_t i = 1; i < corners.size(); ++i) {
        const CornerPoint a = corners[i - 1], b = corners[i];
        if (a.y > b.y || (a.y == b.y && a.x >= b.x)) return false;
    }
    return true;
}

bool contains(const std::vector<CornerPoint>& corners, const CornerPoint& p) {
    for (const CornerPoint& c : corners)
        if (c.x == p.x && c.y == p.y) return true;
    return false;
}

void checkDetection(const unsigned char* image, int width, int height, int threshold) {
    int count = -1;
    const std::vector<CornerPoint> corners = fast9Detect(image, width, height, threshold, &count);
    FUZZ_CHECK(count == static_cast<int>(corners.size()));
    FUZZ_CHECK(rasterOrdered(corners));
    const FastCircleOffsets offsets = fastCircleOffsets(width);
    for (const CornerPoint& c : corners) {
        FUZZ_CHECK(c.x >= kBorder && c.x < width - kBorder && c.y >= kBorder && c.y < height - kBorder);
        FUZZ_CHECK(fast9IsCorner(image + std::size_t(c.y) * width + c.x, offsets, threshold));
    }

    const auto kept = fastNonmaxSuppression(image, width, height, corners.data(), count, threshold);
    FUZZ_CHECK(kept.has_value() == (count >= 5));
    if (kept) {
        FUZZ_CHECK(rasterOrdered(*kept));
        for (const CornerPoint& c : *kept) FUZZ_CHECK(contains(corners, c));
        FUZZ_CHECK(kept->empty() || !(kept->front().x == corners.front().x && kept->front().y == corners.front().y));
    }

    // The per-frame form with reused storage agrees with the plain one.
    std::vector<CornerPoint> reused{{1, 2}};
    FastNonmaxWorkspace workspace;
    const bool found = fastNonmaxSuppression(image, width, height, corners.data(), count, threshold,
                                             reused, workspace);
    FUZZ_CHECK(found == kept.has_value());
    if (found) {
        FUZZ_CHECK(reused.size() == kept->size());
        for (std::size_t i = 0; i < reused.size(); ++i)
            FUZZ_CHECK(reused[i].x == (*kept)[i].x && reused[i].y == (*kept)[i].y);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int width = in.intInRange(0, kMaxSide);
    const int height = in.intInRange(0, kMaxSide);
    const int threshold = in.take<std::int32_t>();
    const int capacity = in.intInRange(-1, 40);
    const int listLength = in.intInRange(0, 12);
    std::vector<CornerPoint> arbitrary(listLength);
    for (CornerPoint& p : arbitrary) p = {in.take<std::int32_t>() % (2 * kMaxSide), in.take<std::int8_t>()};
    const std::vector<std::uint8_t> image = in.bytes(std::size_t(width) * height);
    const unsigned char* pixels = image.empty() ? nullptr : image.data();

    checkDetection(pixels, width, height, threshold);

    // Negative sizes and a null image find nothing.
    FUZZ_CHECK(fast9Detect(pixels, -width, height, threshold, nullptr).empty());
    FUZZ_CHECK(fast9Detect(nullptr, width, height, threshold, nullptr).empty());

    // Arbitrary lists: out-of-interior corners mean "none", never a read outside.
    const auto kept = fastNonmaxSuppression(pixels, width, height, arbitrary.data(), listLength, threshold);
    if (kept)
        for (const CornerPoint& c : *kept) FUZZ_CHECK(contains(arbitrary, c));

    FASTCornerDetector detector(capacity);
    detector.setThreshold(threshold);
    for (int pass = 0; pass < 2; ++pass) {  // the second pass reuses the grown lists
        detector.detect(pixels, width, height);
        FUZZ_CHECK(detector.cornerCount() >= 0 && detector.cornerCount() <= detector.capacity());
        for (int i = 0; i < detector.cornerCount(); ++i) {
            const CornerPoint c = detector.corners()[i];
            FUZZ_CHECK(c.x >= kBorder && c.x < width - kBorder && c.y >= kBorder && c.y < height - kBorder);
        }
    }
    return 0;
}
