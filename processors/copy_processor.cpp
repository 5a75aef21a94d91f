#include "processors/copy_processor.h"

#include <cstring>

void CopyProcessor::setImageSize(int width, int height) {
    width_ = width;
    height_ = height;
}

int CopyProcessor::process(const unsigned char* input, unsigned char* output) {
    const long bytes = long(width_) * height_;
    if (input && output && bytes > 0) std::memcpy(output, input, size_t(bytes));
    return 1;
}
