// Canny edge preprocessing: cannyEdges and hysteresisThreshold on any size from
// 0 up, any sigma (NaN, infinities, negatives and huge values included), any
// thresholds and any contents, separately and in place.
#include "features/canny.h"
#include "fuzz_support.h"

namespace {

constexpr int kMaxSide = 48;

ImageHandle wrapGrey(int width, int height, std::vector<std::uint8_t>& pixels) {
    return wrapImage(width, height, kColorSpaceGrey, kImageByte, pixels.data(), nullptr, 0);
}

void checkEdges(const std::vector<std::uint8_t>& edges, int width, int height) {
    // The one-pixel border carries no edge.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (x == 0 || y == 0 || x == width - 1 || y == height - 1)
                FUZZ_CHECK(edges[std::size_t(y) * width + x] == 0);
}

void checkHysteresis(const std::vector<std::uint8_t>& source, const std::vector<std::uint8_t>& binary,
                     int lower, int upper) {
    for (std::size_t i = 0; i < binary.size(); ++i) {
        FUZZ_CHECK(binary[i] <= 1);
        if (source[i] > upper) FUZZ_CHECK(binary[i] == 1);
        if (source[i] <= lower && source[i] <= upper) FUZZ_CHECK(binary[i] == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int width = in.intInRange(0, kMaxSide);
    const int height = in.intInRange(0, kMaxSide);
    // Raw bits half of the time, a sensible range otherwise so the kernels vary.
    const float sigma = in.flag() ? in.take<float>() : in.floatInRange(-1.0f, 40.0f);
    const int lower = in.flag() ? in.take<std::int32_t>() : in.intInRange(-2, 257);
    const int upper = in.flag() ? in.take<std::int32_t>() : in.intInRange(-2, 257);
    const std::size_t count = std::size_t(width) * height;
    std::vector<std::uint8_t> source = in.bytes(count);
    source.resize(std::max<std::size_t>(count, 1));  // a block even for an empty image
    const std::vector<std::uint8_t> original = source;

    std::vector<std::uint8_t> edges(source.size(), 0xAB);
    ImageHandle sourceRecord = wrapGrey(width, height, source);
    ImageHandle edgeRecord = wrapGrey(width, height, edges);
    FUZZ_CHECK(sourceRecord && edgeRecord);

    CannyWorkspace workspace;
    FUZZ_CHECK(cannyEdges(*sourceRecord, *edgeRecord, sigma, workspace));
    FUZZ_CHECK(source == original);
    edges.resize(count);
    checkEdges(edges, width, height);
    edges.resize(std::max<std::size_t>(count, 1));

    // The workspace-free form and the in-place form give the same picture.
    std::vector<std::uint8_t> again(source.size(), 0);
    ImageHandle againRecord = wrapGrey(width, height, again);
    FUZZ_CHECK(cannyEdges(*sourceRecord, *againRecord, sigma));
    FUZZ_CHECK(std::equal(again.begin(), again.begin() + count, edges.begin()));
    std::vector<std::uint8_t> inPlace = original;
    ImageHandle inPlaceRecord = wrapGrey(width, height, inPlace);
    FUZZ_CHECK(cannyEdges(*inPlaceRecord, *inPlaceRecord, sigma, workspace));
    FUZZ_CHECK(std::equal(inPlace.begin(), inPlace.begin() + count, edges.begin()));

    // Hysteresis on the raw source (any values) and on the edges, reusing the workspace.
    const std::vector<std::uint8_t>* inputs[] = {&original, &edges};
    for (const std::vector<std::uint8_t>* input : inputs) {
        std::vector<std::uint8_t> in2 = *input;
        std::vector<std::uint8_t> binary(in2.size(), 0xCD);
        ImageHandle inRecord = wrapGrey(width, height, in2);
        ImageHandle binaryRecord = wrapGrey(width, height, binary);
        FUZZ_CHECK(hysteresisThreshold(*inRecord, *binaryRecord, lower, upper, workspace));
        in2.resize(count);
        binary.resize(count);
        checkHysteresis(in2, binary, lower, upper);
    }

    // Records that do not match are refused and left alone.
    std::vector<std::uint8_t> other(std::size_t(width + 1) * height + 1, 7);
    ImageHandle otherRecord = wrapGrey(width + 1, height, other);
    FUZZ_CHECK(!cannyEdges(*sourceRecord, *otherRecord, sigma));
    FUZZ_CHECK(!hysteresisThreshold(*sourceRecord, *otherRecord, lower, upper));
    for (std::uint8_t v : other) FUZZ_CHECK(v == 7);
    return 0;
}
