#pragma once

#include <QImage>
#include <QString>

#include <cstddef>

// Grey value of one pixel: trunc(0.2999 R + 0.587 G + 0.114 B) in double
// precision. The weights add up to 1.0009, so white stays 255 and no value
// exceeds it.
inline unsigned char greyValue(unsigned char r, unsigned char g, unsigned char b) {
    return static_cast<unsigned char>(0.2999 * r + 0.587 * g + 0.114 * b);
}

// Converts `pixelCount` packed R, G, B pixels to grey.
void convertToGrey(const unsigned char* rgb, unsigned char* grey, std::size_t pixelCount);

// Reads an image file as the program opens it. Returns a null image (and a
// reason in *error) when the file cannot be read or decoded.
QImage readImageFile(const QString& path, QString* error = nullptr);

// Fills a colour buffer (3 bytes per pixel) and a grey buffer (1 byte per pixel)
// of image.width() x image.height() from the image, bottom row first.
void fillFrameBuffers(const QImage& image, unsigned char* colorBuffer, unsigned char* grayBuffer);

// The grey frame as an upright opaque RGB32 picture: buffer row 0 becomes the
// picture's bottom row.
QImage greyFrameToImage(const unsigned char* grayBuffer, int width, int height);
