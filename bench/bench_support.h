#pragma once

// Shared inputs of castellan-bench: the grey picture every kernel runs on, its
// moved copy for tracking, and the frame sizes. Benchmarks are named
// "ours/<kernel>/<W>x<H>" and, when OpenCV is built in, "peer/<kernel>/<W>x<H>",
// so that scripts/bench-report can pair them by name.

#include <string>
#include <vector>

class QApplication;

namespace bench {

struct FrameSize {
    int width;
    int height;
};
inline constexpr FrameSize kFrameSizes[] = {{320, 240}, {640, 480}, {1280, 720}};

// "<side>/<kernel>/<W>x<H>"
std::string benchmarkName(const char* side, const char* kernel, FrameSize size);

// The picture at `size`, one grey byte per pixel: the photo named by
// CASTELLAN_BENCH_IMAGE (read and converted to grey as the program does, then
// scaled to the size), or without it the committed textured picture. Cached.
const std::vector<unsigned char>& benchPicture(FrameSize size);

// The picture moved by (+1.25, -0.75) pixels (bilinear, integer weights): the
// next frame of a tracking step.
const std::vector<unsigned char>& movedBenchPicture(FrameSize size);

// The application object processors and canvases need (offscreen unless
// QT_QPA_PLATFORM says otherwise), made on first use.
QApplication& application();

}  // namespace bench
