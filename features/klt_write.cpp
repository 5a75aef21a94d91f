// Debug images of the KLT library: float images stretched to bytes, PGM files.

#include "features/klt.h"

#include <algorithm>
#include <cstdio>
#include <memory>

void writeFloatImageToPGM(const KLTFloatImage& img, const char* filename) {
    float minimum = 999999.875f;
    float maximum = -999999.875f;
    for (float value : img.data) {
        minimum = std::min(minimum, value);
        maximum = std::max(maximum, value);
    }
    // A flat image has no range to stretch: it becomes all 0 instead of 0/0.
    const float range = maximum - minimum;
    const float factor = range > 0.0f ? 255.0f / range : 0.0f;
    std::vector<unsigned char> bytes(img.data.size());
    for (size_t i = 0; i < img.data.size(); ++i) {
        float scaled = factor * (img.data[i] - minimum);
        if (!(scaled > 0.0f)) scaled = 0.0f;  // also NaN
        bytes[i] = static_cast<unsigned char>(std::min(scaled, 255.0f));
    }
    pgmWriteFile(filename, bytes.data(), img.ncols, img.nrows);
}

void pgmWriteFile(const char* filename, const unsigned char* img, int ncols, int nrows) {
    std::FILE* file = filename ? std::fopen(filename, "wb") : nullptr;
    if (!file) kltError("(pgmWriteFile) Can't open file named '%s' for writing\n",
                        filename ? filename : "");
    std::fprintf(file, "P5\n");
    std::fprintf(file, "%d %d\n", ncols, nrows);
    std::fprintf(file, "255\n");
    if (img && ncols > 0)
        for (int row = 0; row < nrows; ++row)
            std::fwrite(img + static_cast<size_t>(row) * ncols, 1, static_cast<size_t>(ncols), file);
    std::fclose(file);
}
