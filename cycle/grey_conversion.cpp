#include "cycle/grey_conversion.h"

void convertToGrey(const unsigned char* rgb, unsigned char* grey, std::size_t pixelCount) {
    for (std::size_t i = 0; i < pixelCount; ++i)
        grey[i] = greyValue(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
}
