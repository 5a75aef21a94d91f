#include "app/frame_io.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

namespace {

// Larger files are refused before reading them into memory.
constexpr qint64 kMaxFileBytes = qint64(512) << 20;

// The decoders fill a cut-off picture with grey and report success, so a
// truncated file is recognised by its missing end marker instead.
bool endMarkerMissing(const QByteArray& bytes) {
    if (bytes.startsWith("\x89PNG")) return !bytes.contains("IEND");
    if (bytes.startsWith("\xFF\xD8")) return bytes.lastIndexOf("\xFF\xD9") < 2;
    if (bytes.startsWith("GIF8")) return !bytes.right(16).contains(';');
    return false;
}

QImage decode(const QString& path, QString* reason) {
    QFile file(path);
    if (file.size() > kMaxFileBytes) {
        *reason = QStringLiteral("file too large");
        return QImage();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString();
        return QImage();
    }
    QByteArray bytes = file.readAll();
    if (bytes.isEmpty()) {
        *reason = QStringLiteral("empty file");
        return QImage();
    }
    if (endMarkerMissing(bytes)) {
        *reason = QStringLiteral("truncated file");
        return QImage();
    }
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    // The reader refuses pictures above its allocation limit instead of trying
    // to allocate them, so a hostile header cannot exhaust memory.
    QImageReader reader(&buffer);
    QImage image;
    if (!reader.read(&image)) *reason = reader.errorString();
    return image;
}

}  // namespace

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
        image = decode(path, &reason);
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
