#include "app/frame_io.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdint>

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

std::uint32_t littleEndian32(const QByteArray& bytes, int offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | std::uint8_t(bytes[offset + i]);
    return value;
}

// An uncompressed BMP shorter than its rows: the decoder would paint the rest black.
bool bmpShort(const QByteArray& bytes) {
    constexpr int kHeaderBytes = 34;
    if (!bytes.startsWith("BM") || bytes.size() < kHeaderBytes) return false;
    const std::uint32_t compression = littleEndian32(bytes, 30);
    if (compression != 0 && compression != 3) return false;  // run-length data has no fixed size
    const std::uint64_t width = littleEndian32(bytes, 18);
    const std::int32_t height = std::int32_t(littleEndian32(bytes, 22));
    const std::uint64_t bitsPerPixel = std::uint8_t(bytes[28]) | (std::uint8_t(bytes[29]) << 8);
    const std::uint64_t rowBytes = (bitsPerPixel * width + 31) / 32 * 4;
    const std::uint64_t rows = height < 0 ? std::uint64_t(-std::int64_t(height)) : std::uint64_t(height);
    return littleEndian32(bytes, 10) + rowBytes * rows > std::uint64_t(bytes.size());
}

// A binary PGM or PPM shorter than its pixels (P5, P6): the decoder would fill the rest.
bool netpbmShort(const QByteArray& bytes) {
    if (!bytes.startsWith("P5") && !bytes.startsWith("P6")) return false;
    const int channels = bytes[1] == '6' ? 3 : 1;
    qsizetype at = 2;
    std::uint64_t fields[3] = {};  // width, height, largest value
    for (std::uint64_t& field : fields) {
        for (;;) {  // white space and comments
            while (at < bytes.size() && std::isspace(std::uint8_t(bytes[at]))) ++at;
            if (at >= bytes.size() || bytes[at] != '#') break;
            while (at < bytes.size() && bytes[at] != '\n') ++at;
        }
        if (at >= bytes.size() || !std::isdigit(std::uint8_t(bytes[at]))) return false;  // the decoder says why
        while (at < bytes.size() && std::isdigit(std::uint8_t(bytes[at])) && field < (std::uint64_t(1) << 32))
            field = field * 10 + std::uint64_t(bytes[at++] - '0');
    }
    ++at;  // the one white-space byte before the pixels
    const std::uint64_t sampleBytes = fields[2] > 255 ? 2 : 1;
    return fields[0] * fields[1] * channels * sampleBytes > std::uint64_t(std::max<qsizetype>(0, bytes.size() - at));
}

// Reads at most kMaxFileBytes + 1 bytes, so a device or an endless pipe (whose
// size is unknown) cannot fill memory. False, with the reason, when it fails.
bool readBounded(QFile& file, QByteArray& bytes, QString* reason) {
    constexpr qint64 kChunk = qint64(1) << 20;
    for (;;) {
        const qsizetype before = bytes.size();
        const qint64 wanted = std::min(kChunk, kMaxFileBytes + 1 - before);
        bytes.resize(before + wanted);
        const qint64 got = file.read(bytes.data() + before, wanted);
        if (got < 0) {
            *reason = file.errorString();
            return false;
        }
        bytes.resize(before + got);
        if (bytes.size() > kMaxFileBytes) {
            *reason = QStringLiteral("file too large (more than %1 MB)").arg(kMaxFileBytes >> 20);
            return false;
        }
        if (got == 0) return true;
    }
}

// The reader's own message for a picture above its allocation limit is only
// "Unable to read image data"; say that it is too large, with both sizes.
QString tooLargeReason(const QImageReader& reader) {
    const QSize size = reader.size();
    if (!size.isValid()) return QString();
    const QImage::Format format = reader.imageFormat();
    const int bitsPerPixel = format == QImage::Format_Invalid ? 32 : QImage::toPixelFormat(format).bitsPerPixel();
    const double limitBytes = double(QImageReader::allocationLimit()) * (1 << 20);
    const double pixels = double(size.width()) * size.height();
    if (QImageReader::allocationLimit() <= 0 || pixels * std::max(bitsPerPixel, 8) / 8 <= limitBytes) return QString();
    return QStringLiteral("the picture is %1 x %2 pixels (%3 megapixels), larger than the limit of %4 megapixels")
        .arg(size.width())
        .arg(size.height())
        .arg(pixels / 1e6, 0, 'f', 1)
        .arg(limitBytes / (std::max(bitsPerPixel, 8) / 8) / 1e6, 0, 'f', 1);
}

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Decodes the file open at `descriptor` (closed here), which `status` describes.
QImage decode(int descriptor, const struct stat& status, QString* reason) {
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        *reason = file.errorString();
        return QImage();
    }
    if (S_ISREG(status.st_mode) && status.st_size > kMaxFileBytes) {
        *reason = QStringLiteral("file too large (more than %1 MB)").arg(kMaxFileBytes >> 20);
        return QImage();
    }
    QByteArray bytes;
    if (!readBounded(file, bytes, reason)) return QImage();
    if (bytes.isEmpty()) {
        *reason = QStringLiteral("empty file");
        return QImage();
    }
    if (endMarkerMissing(bytes) || bmpShort(bytes) || netpbmShort(bytes)) {
        *reason = QStringLiteral("truncated file");
        return QImage();
    }
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    // The reader refuses pictures above its allocation limit instead of trying
    // to allocate them, so a hostile header cannot exhaust memory.
    QImageReader reader(&buffer);
    if (const QString tooLarge = tooLargeReason(reader); !tooLarge.isEmpty()) {
        *reason = tooLarge;
        return QImage();
    }
    QImage image;
    if (!reader.read(&image)) *reason = reader.errorString();
    return image;
}

}  // namespace

QImage readImageFile(const QString& path, QString* error) {
    return readImageFile(QFile::encodeName(path).toStdString(), error);
}

QImage readImageFile(const std::string& localPath, QString* error) {
    // The name's bytes as they are: a name that is not UTF-8 opens the same file.
    QString reason;
    QImage image;
    struct stat status {};
    int descriptor = -1;
    if (::stat(localPath.c_str(), &status) != 0) {
        reason = errno == ENOENT ? QStringLiteral("no such file") : systemReason(errno);
    } else if (S_ISDIR(status.st_mode)) {
        reason = QStringLiteral("is a directory");
    } else if ((descriptor = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        reason = errno == EACCES ? QStringLiteral("permission denied") : systemReason(errno);
    } else {
        image = decode(descriptor, status, &reason);
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
