#include "app/frame_io.h"

#include <QFileInfo>
#include <QImageReader>

void convertToGrey(const unsigned char* rgb, unsigned char* grey, std::size_t pixelCount) {
    for (std::size_t i = 0; i < pixelCount; ++i)
        grey[i] = greyValue(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
}

QImage readImageFile(const QString& path, QString* error) {
    const QFileInfo info(path);
    QString reason;
    QImage image;
    if (!info.exists()) {
        reason = QStringLiteral("no such file");
    } else if (info.isDir()) {
        reason = QStringLiteral("is a directory");
    } else if (!info.isReadable()) {
        reason = QStringLiteral("permission denied");
    } else {
        // The reader refuses pictures above its allocation limit instead of
        // trying to allocate them, so a hostile header cannot exhaust memory.
        QImageReader reader(path);
        if (!reader.read(&image)) reason = reader.errorString();
    }
    if (image.isNull() && error) *error = reason.isEmpty() ? QStringLiteral("unsupported format") : reason;
    return image;
}

void fillFrameBuffers(const QImage& image, unsigned char* colorBuffer, unsigned char* grayBuffer) {
    // ARGB32 holds exactly what QImage::pixel() reports, whatever the source format.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const int width = argb.width();
    for (int y = argb.height() - 1; y >= 0; --y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const unsigned char r = qRed(row[x]), g = qGreen(row[x]), b = qBlue(row[x]);
            *colorBuffer++ = r;
            *colorBuffer++ = g;
            *colorBuffer++ = b;
            *grayBuffer++ = greyValue(r, g, b);
        }
    }
}

QImage greyFrameToImage(const unsigned char* grayBuffer, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) return image;
    for (int row = 0; row < height; ++row) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(height - 1 - row));
        const unsigned char* grey = grayBuffer + std::size_t(row) * width;
        for (int x = 0; x < width; ++x) line[x] = qRgb(grey[x], grey[x], grey[x]);
    }
    return image;
}
