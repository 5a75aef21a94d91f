#include "ruins/ruins_reconstructor_processor.h"

#include "canvas/canvas.h"
#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "ruins/brick_renderer.h"
#include "ruins/ruins_reconstructor_properties_widget.h"
#include "scene/calibration_frame.h"

#include <GL/gl.h>
#include <QAction>
#include <QCursor>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>  // Canvas::mousePressed carries one
#include <QWidget>

#include <cstdio>

namespace {

const char* const kSelectionIdleIcon = ":/icons/interpret.png";
const char* const kSelectionActiveIcon = ":/icons/right.png";
constexpr int kFindEntry = 0;
constexpr int kAutomaticEntry = 1;
constexpr int kManualEntry = 2;

void pushBothMatrices()
{
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
}

void popBothMatrices()
{
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

}  // namespace

RuinsReconstructorProcessor::RuinsReconstructorProcessor(Canvas* leftCanvas, QObject* parent)
    : QObject(parent), leftCanvas_(leftCanvas), initialPointsMenu_(std::make_unique<QMenu>()), grabber_(leftCanvas)
{
    actionStartInitialPointsSelection_ =
        new QAction(QIcon(QString::fromLatin1(kSelectionIdleIcon)), tr("Start/Stop Initial Points Selection"), this);
    actionStartInitialPointsSelection_->setObjectName(QStringLiteral("actionStartInitialPointsSelection"));
    actionStartInitialPointsSelection_->setCheckable(true);
    QMetaObject::connectSlotsByName(this);

    loadSceneCalibrationFrame();
    grabber_.setLimit(detectorCapacity());
    detector_ = detectorOfKind(true);
    if (leftCanvas)
        connect(leftCanvas, &Canvas::mousePressed, this, [this] {
            // Queued: the grabber takes the press first.
            QMetaObject::invokeMethod(this, &RuinsReconstructorProcessor::noteReferenceClick, Qt::QueuedConnection);
        });

    initialPointsMenu_->addAction(tr("Find Automatically"))->setData(kFindEntry);
    initialPointsMenu_->addAction(tr("Automatic Initial Points"))->setData(kAutomaticEntry);
    initialPointsMenu_->addAction(tr("Manual Initial Points"))->setData(kManualEntry);
    menuChooser_ = [](QMenu& menu) { return menu.exec(QCursor::pos()); };
    // Chosen with no points yet, the reconstructor looks for the structure itself.
    reconstruction_.beginSearch();
}

RuinsReconstructorProcessor::~RuinsReconstructorProcessor()
{
    // The panel points back at this processor and its detectors.
    delete propertiesWidget_.data();
}

CornerDetector* RuinsReconstructorProcessor::adoptDetector(std::unique_ptr<CornerDetector> detector)
{
    if (!detector) return nullptr;
    ownedDetectors_.push_back(std::move(detector));
    return ownedDetectors_.back().get();
}

CornerDetector* RuinsReconstructorProcessor::detectorOfKind(bool tracker)
{
    const int capacity = detectorCapacity();
    for (const auto& owned : ownedDetectors_)
        if (owned->isTracker() == tracker && owned->capacity() == capacity) return owned.get();
    if (tracker) return adoptDetector(std::make_unique<KLTCornerDetector>(capacity));
    return adoptDetector(std::make_unique<FASTCornerDetector>(capacity));
}

void RuinsReconstructorProcessor::setScene(std::shared_ptr<const ruins::SceneModel> scene)
{
    if (!scene) return;
    if (grabber_.state() == CanvasPointGrabber::Grabbing || reconstruction_.matchingMode()) {
        reconstruction_.endMatching();
        grabber_.stop();
        showSelectionActive(false);
    }
    referenceCapture_ = {};
    reconstruction_.setScene(std::move(scene));
    grabber_.setLimit(detectorCapacity());
    loadSceneCalibrationFrame();
    replaceDetectorsForScene();
    restartFollowing();
    reconstruction_.beginSearch();
}

QString RuinsReconstructorProcessor::openScene(const QString& file)
{
    std::string error;
    std::shared_ptr<const ruins::SceneModel> scene = ruins::openScene(QFile::encodeName(file).toStdString(), error);
    if (!scene) return QString::fromStdString(error);
    ruins::useScene(scene);
    setScene(std::move(scene));
    return {};
}

void RuinsReconstructorProcessor::loadSceneCalibrationFrame()
{
    // The bundled ruins look for a CalibrationFrame.png in the working directory first.
    const ruins::SceneModel& scene = reconstruction_.scene();
    calibrationFrame_ = scene.bundled() ? ruins::loadCalibrationFrame()
                                        : ruins::loadCalibrationFrame(QFile::decodeName(scene.picture.c_str()));
}

void RuinsReconstructorProcessor::replaceDetectorsForScene()
{
    // Detectors of the old size go, but the one in use is replaced by its kind.
    const bool tracker = !detector_ || detector_->isTracker();
    const int threshold = detector_ ? detector_->threshold() : 0;
    const bool keepCurrent = detector_ && detector_->capacity() == detectorCapacity();
    std::erase_if(ownedDetectors_, [&](const std::unique_ptr<CornerDetector>& d) {
        return d->capacity() != detectorCapacity() && d.get() != detector_;
    });
    if (keepCurrent) return;
    CornerDetector* replaced = detector_;
    detector_ = detectorOfKind(tracker);
    if (replaced) detector_->setThreshold(threshold);
    std::erase_if(ownedDetectors_, [&](const std::unique_ptr<CornerDetector>& d) { return d.get() == replaced; });
}

QString RuinsReconstructorProcessor::captureReferencePicture(const QString& sceneFile)
{
    ruins::SceneLoad load = ruins::loadScene(QFile::encodeName(sceneFile).toStdString(), ruins::PictureCheck::Skipped);
    if (!load.scene) return QString::fromStdString(load.error);
    Canvas* canvas = leftCanvas_.data();
    const int width = canvas ? canvas->imageWidth() : 0;
    const int height = canvas ? canvas->imageHeight() : 0;
    const bool grey = canvas && canvas->pixelFormat() == GL_LUMINANCE;
    if (!canvas || !canvas->pixels() || width <= 0 || height <= 0 || (!grey && canvas->pixelFormat() != GL_RGB))
        return tr("There is no frame to take: connect a camera first.");
    // The canvas holds the frame bottom-up; the picture is top-down.
    const QImage frame(canvas->pixels(), width, height, grey ? width : width * 3,
                       grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (reconstruction_.matchingMode()) reconstruction_.endMatching();
    referenceCapture_ = {QFile::encodeName(sceneFile).toStdString(), std::move(*load.scene), frame.mirrored(false, true)};
    reconstruction_.beginManualSelection();
    grabber_.setLimit(int(referenceCapture_.scene.points.size()));
    grabber_.start();
    showSelectionActive(true);
    restartFollowing();
    return {};
}

void RuinsReconstructorProcessor::noteReferenceClick()
{
    if (capturingReference() && grabber_.pointCount() >= int(referenceCapture_.scene.points.size()))
        finishReferenceCapture();
}

void RuinsReconstructorProcessor::finishReferenceCapture()
{
    ReferenceCapture capture = std::move(referenceCapture_);
    referenceCapture_ = {};
    if (grabber_.state() == CanvasPointGrabber::Grabbing) grabber_.stop();
    showSelectionActive(false);
    grabber_.setLimit(detectorCapacity());
    const int clicked = grabber_.pointCount();
    const int needed = int(capture.scene.points.size());
    if (clicked < needed) {
        grabber_.clear();
        emit referenceCaptureFinished(
            tr("%1 of %2 points were clicked; the scene was not changed.").arg(clicked).arg(needed), false);
        return;
    }
    for (int i = 0; i < needed; ++i)
        capture.scene.points[std::size_t(i)].reference = {grabber_.points()[i].x(), grabber_.points()[i].y()};
    const std::string picture = ruins::picturePath(capture.scene, capture.file).string();
    if (const QString error = ruins::writePngFile(capture.picture, picture); !error.isEmpty()) {
        emit referenceCaptureFinished(tr("Cannot write the picture %1: %2.").arg(QFile::decodeName(picture.c_str()), error),
                                      false);
        return;
    }
    const std::string saveError = ruins::saveScene(capture.scene, capture.file);
    if (!saveError.empty()) {
        emit referenceCaptureFinished(QString::fromStdString(saveError), false);
        return;
    }
    const QString sceneFile = QFile::decodeName(capture.file.c_str());
    const QString openError = openScene(sceneFile);
    if (!openError.isEmpty()) {
        emit referenceCaptureFinished(openError, false);
        return;
    }
    emit referenceCaptureFinished(tr("The picture and the reference positions were written to %1.").arg(sceneFile),
                                  true);
}

void RuinsReconstructorProcessor::showSelectionActive(bool active)
{
    // Set without running the selection menu.
    const QSignalBlocker blocker(actionStartInitialPointsSelection_);
    actionStartInitialPointsSelection_->setChecked(active);
    actionStartInitialPointsSelection_->setIcon(
        QIcon(QString::fromLatin1(active ? kSelectionActiveIcon : kSelectionIdleIcon)));
}

void RuinsReconstructorProcessor::setInitialPointsMenuChooser(MenuChooser chooser)
{
    if (chooser) menuChooser_ = std::move(chooser);
}

ruins::PixelPosition RuinsReconstructorProcessor::matchingTextPosition(int width, int height)
{
    return {int(width * 0.1), int(height * 0.9)};
}

void RuinsReconstructorProcessor::setImageSize(int width, int height) { reconstruction_.setImageSize(width, height); }

ruins::GrabberSnapshot RuinsReconstructorProcessor::grabberSnapshot()
{
    ruins::GrabberSnapshot snapshot;
    snapshot.state = grabber_.state();
    // Clicks are only read when they are about to be adopted.
    if (snapshot.state == CanvasPointGrabber::Holding && reconstruction_.trackedPoints().count == 0) {
        const int count = grabber_.pointCount();
        for (int i = 0; i < count; ++i) clickScratch_[i] = {grabber_.points()[i].x(), grabber_.points()[i].y()};
        snapshot.clicks = std::span<const ruins::PixelPosition>(clickScratch_.data(), std::size_t(count));
    }
    return snapshot;
}

int RuinsReconstructorProcessor::process(const unsigned char* input, unsigned char* output)
{
    reconstruction_.frameStep(input, output, detector_, grabberSnapshot());
    return 0;
}

QWidget* RuinsReconstructorProcessor::propertiesWidget(QWidget* parent)
{
    if (!propertiesWidget_) propertiesWidget_ = new RuinsReconstructorPropertiesWidget(this, parent, Qt::Tool);
    return propertiesWidget_.data();
}

void RuinsReconstructorProcessor::installActions(QWidget* toolBar)
{
    if (toolBar) toolBar->addAction(actionStartInitialPointsSelection_);
}

void RuinsReconstructorProcessor::drawOverlay(Canvas* canvas)
{
    if (!canvas) return;
    if (canvas->canvasId() == 0)
        drawLeftOverlay(canvas);
    else
        drawRightOverlay(canvas);
}

void RuinsReconstructorProcessor::loadView(const ruins::PreparedView& view) const
{
    // Near and far planes grow with the bricks: the ruins' 2.4 keeps 1 and 100.
    const double depthScale = reconstruction_.scene().scene.brickEdge / ruins::kBrickEdge;
    ruins::loadPoseView(view.viewMatrix, view.fieldOfView, reconstruction_.width(), reconstruction_.height(),
                        depthScale);
}

void RuinsReconstructorProcessor::drawLeftOverlay(Canvas* canvas)
{
    switch (reconstruction_.leftOverlay(grabber_.state())) {
    case ruins::LeftOverlay::PointLabels:
        grabber_.drawLabels(canvas);
        break;
    case ruins::LeftOverlay::MatchingWireframe: {
        pushBothMatrices();
        const ruins::PreparedView& view = reconstruction_.preparedView();
        if (view.prepared && view.drawable) {
            loadView(view);
            ruins::drawMatchingOverlay(reconstruction_.scene());
        }
        popBothMatrices();
        const ruins::PixelPosition text = matchingTextPosition(reconstruction_.width(), reconstruction_.height());
        canvas->drawText(text.x, text.y, QString::fromLatin1(kMatchingText));
        break;
    }
    case ruins::LeftOverlay::Nothing:
        break;
    }
}

void RuinsReconstructorProcessor::drawRightOverlay(Canvas* canvas)
{
    switch (reconstruction_.rightOverlay(grabber_.state())) {
    case ruins::RightOverlay::CalibrationGuide: {
        const ruins::CalibrationGuide guide{&calibrationFrame_.texels, calibrationFrame_.width(),
                                            calibrationFrame_.height()};
        ruins::drawCalibrationGuide(canvas, guide, reconstruction_.scene(), reconstruction_.width(),
                                    reconstruction_.height());
        break;
    }
    case ruins::RightOverlay::AugmentedModels: {
        pushBothMatrices();
        const ruins::PreparedView& view = reconstruction_.preparedView();
        if (view.prepared && view.drawable) {
            loadView(view);
            if (reconstruction_.poseValid()) ruins::drawAugmentedModels(reconstruction_.scene());
        }
        popBothMatrices();
        drawFollowingStatus(canvas);
        break;
    }
    case ruins::RightOverlay::Nothing:
        break;
    }
}

void RuinsReconstructorProcessor::drawFollowingStatus(Canvas* canvas)
{
    const ruins::RuinsReconstruction& r = reconstruction_;
    if (r.following() != ruins::Following::Model || r.trackedPoints().count == 0) return;
    const ruins::PixelPosition status = statusTextPosition(r.width(), r.height());
    char line[96];
    std::snprintf(line, sizeof line, "Inliers %d  Residual %.2f px  FoV %.1f\u00b0%s", r.inlierCount(),
                  r.residualRms(), r.preparedView().fieldOfView, r.fieldOfViewHeld() ? " held" : "");
    canvas->drawText(status.x, status.y, QString::fromUtf8(line));
    if (r.searching()) {
        const ruins::PixelPosition searching = searchingTextPosition(r.width(), r.height());
        canvas->drawText(searching.x, searching.y, QString::fromLatin1(kSearchingText));
    }
    if (!r.trackingLost()) return;
    const ruins::PixelPosition lost = matchingTextPosition(r.width(), r.height());
    canvas->drawText(lost.x, lost.y, QString::fromLatin1(kTrackingLostText));
}

ruins::PixelPosition RuinsReconstructorProcessor::searchingTextPosition(int width, int height)
{
    return {int(width * 0.1), int(height * 0.82)};
}

ruins::PixelPosition RuinsReconstructorProcessor::statusTextPosition(int width, int height)
{
    return {int(width * 0.02), int(height * 0.08)};
}

void RuinsReconstructorProcessor::on_actionStartInitialPointsSelection_toggled(bool checked)
{
    if (checked)
        startSelection();
    else
        stopSelection();
}

void RuinsReconstructorProcessor::startSelection()
{
    QAction* choice = menuChooser_(*initialPointsMenu_);
    if (!choice) {
        // Closing the menu is unchecking: keep the button's look in step with it.
        if (actionStartInitialPointsSelection_->isChecked())
            actionStartInitialPointsSelection_->setChecked(false);  // runs stopSelection through toggled
        else
            stopSelection();
        return;
    }
    if (choice->data().toInt() == kFindEntry) {
        // Nothing to select: the search starts at once and the selection ends.
        restartFollowing();
        reconstruction_.beginSearch();
        actionStartInitialPointsSelection_->setChecked(false);
        return;
    }
    if (choice->data().toInt() != kAutomaticEntry) {
        reconstruction_.beginManualSelection();
        grabber_.start();
    } else
        reconstruction_.beginAutomaticSelection(calibrationFrame_.width(), calibrationFrame_.height());
    actionStartInitialPointsSelection_->setIcon(QIcon(QString::fromLatin1(kSelectionActiveIcon)));
    restartFollowing();
}

void RuinsReconstructorProcessor::stopSelection()
{
    if (capturingReference()) {
        finishReferenceCapture();
        return;
    }
    actionStartInitialPointsSelection_->setIcon(QIcon(QString::fromLatin1(kSelectionIdleIcon)));
    if (!reconstruction_.endMatching()) grabber_.stop();
    restartFollowing();
}

void RuinsReconstructorProcessor::restartFollowing() { reconstruction_.restartFollowing(detector_); }
