#include "scene/calibration_frame.h"

#include "files/file_beside.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ruins {

namespace {
bool bundledFrameOffered = true;
}

void offerBundledCalibrationFrame(bool offered) { bundledFrameOffered = offered; }

QString calibrationFramePath() {
    // The user's own picture in the working directory wins; otherwise the one
    // bundled with the program: installed beside it, or in the source tree.
    const QString name = QStringLiteral("CalibrationFrame.png");
    QStringList candidates = {name};
    if (!bundledFrameOffered) return name;
    if (QCoreApplication::instance())
        candidates << QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../share/castellan/") + name);
    candidates << QStringLiteral(CASTELLAN_SOURCE_DATA_DIR "/") + name;
    for (const QString& candidate : candidates)
        if (QFileInfo(candidate).isFile()) return candidate;
    return name;
}

CalibrationFrame loadCalibrationFrame(const QString& path)
{
    CalibrationFrame frame;
    if (!frame.picture.load(path) || frame.picture.isNull()) {
        frame.picture = QImage();
        return frame;
    }
    QImage texels = frame.picture;
    if (texels.width() > CalibrationFrame::kMaxTextureSide || texels.height() > CalibrationFrame::kMaxTextureSide)
        texels = texels.scaled(CalibrationFrame::kMaxTextureSide, CalibrationFrame::kMaxTextureSide, Qt::KeepAspectRatio,
                               Qt::SmoothTransformation);
    // GL's first texel row is the bottom of the quad.
    frame.texels = texels.convertToFormat(QImage::Format_RGBA8888).mirrored(false, true);
    return frame;
}

namespace {

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Writes every byte to `descriptor` and closes it; empty on success, else why.
QString writeAndClose(int descriptor, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(descriptor, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int error = written < 0 ? errno : ENOSPC;
            ::close(descriptor);
            return systemReason(error);
        }
        done += written;
    }
    return ::close(descriptor) == 0 ? QString() : systemReason(errno);
}

}  // namespace

QString writePngFile(const QImage& picture, const QString& path)
{
    return writePngFile(picture, QFile::encodeName(path).toStdString());
}

QString writePngFile(const QImage& picture, const std::string& named)
{
    // Encoded in memory first: the encoder's own write errors would go to
    // standard error, and the file's are reported here with the system's reason.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (picture.isNull() || !picture.save(&buffer, "PNG")) return QStringLiteral("cannot encode the picture");
    const std::string path = files::followLinks(named);
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    // Renaming over a device or a pipe would replace it, not write to it.
    if (exists && !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) {
        const int descriptor = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return descriptor < 0 ? systemReason(errno) : writeAndClose(descriptor, bytes);
    }
    std::string temporary;
    const int descriptor = files::openBeside(path, exists ? &target : nullptr, temporary);
    if (descriptor < 0) return systemReason(errno);
    QString reason = writeAndClose(descriptor, bytes);
    if (reason.isEmpty() && ::rename(temporary.c_str(), path.c_str()) != 0) reason = systemReason(errno);
    if (!reason.isEmpty()) ::unlink(temporary.c_str());
    return reason;
}

}  // namespace ruins
