#pragma once

#include "cycle/grey_conversion.h"

#include <QImage>
#include <QString>

#include <cstddef>
#include <string>


// Reads an image file as the program opens it. Returns a null image (and a
// reason in *error) when the file cannot be read or decoded.
QImage readImageFile(const QString& path, QString* error = nullptr);
// The same for a file name as the system gives it (bytes, not always UTF-8).
QImage readImageFile(const std::string& localPath, QString* error = nullptr);

// Fills a colour buffer (3 bytes per pixel) and a grey buffer (1 byte per pixel)
// of image.width() x image.height() from the image, bottom row first.
void fillFrameBuffers(const QImage& image, unsigned char* colorBuffer, unsigned char* grayBuffer);

// The grey frame as an upright opaque RGB32 picture: buffer row 0 becomes the
// picture's bottom row.
QImage greyFrameToImage(const unsigned char* grayBuffer, int width, int height);
