#include "ruins/calibration_frame.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

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

}  // namespace ruins
