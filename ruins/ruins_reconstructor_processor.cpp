#include "ruins/ruins_reconstructor_processor.h"

#include "canvas/canvas.h"
#include "processors/klt_corner_detector.h"
#include "ruins/brick_renderer.h"
#include "ruins/ruins_reconstructor_properties_widget.h"

#include <GL/gl.h>
#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QWidget>

#include <cstdio>

namespace {

const char* const kSelectionIdleIcon = ":/icons/interpret.png";
const char* const kSelectionActiveIcon = ":/icons/right.png";
constexpr int kAutomaticEntry = 0;
constexpr int kManualEntry = 1;

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
    : QObject(parent), initialPointsMenu_(std::make_unique<QMenu>()), grabber_(leftCanvas)
{
    actionStartInitialPointsSelection_ =
        new QAction(QIcon(QString::fromLatin1(kSelectionIdleIcon)), tr("Start/Stop Initial Points Selection"), this);
    actionStartInitialPointsSelection_->setObjectName(QStringLiteral("actionStartInitialPointsSelection"));
    actionStartInitialPointsSelection_->setCheckable(true);
    QMetaObject::connectSlotsByName(this);

    calibrationFrame_ = ruins::loadCalibrationFrame();
    detector_ = adoptDetector(std::make_unique<KLTCornerDetector>(kDetectorCapacity));

    initialPointsMenu_->addAction(tr("Automatic Initial Points"))->setData(kAutomaticEntry);
    initialPointsMenu_->addAction(tr("Manual Initial Points"))->setData(kManualEntry);
    menuChooser_ = [](QMenu& menu) { return menu.exec(QCursor::pos()); };
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
            ruins::loadPoseView(view.viewMatrix, view.fieldOfView, reconstruction_.width(), reconstruction_.height());
            ruins::drawMatchingOverlay();
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
        ruins::drawCalibrationGuide(canvas, guide, reconstruction_.width(), reconstruction_.height());
        break;
    }
    case ruins::RightOverlay::AugmentedModels: {
        pushBothMatrices();
        const ruins::PreparedView& view = reconstruction_.preparedView();
        if (view.prepared && view.drawable) {
            ruins::loadPoseView(view.viewMatrix, view.fieldOfView, reconstruction_.width(), reconstruction_.height());
            if (reconstruction_.poseValid()) ruins::drawAugmentedModels();
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
    std::snprintf(line, sizeof line, "Inliers %d  Residual %.2f px  FoV %.1f\u00b0", r.inlierCount(),
                  r.residualRms(), r.preparedView().fieldOfView);
    canvas->drawText(status.x, status.y, QString::fromUtf8(line));
    if (!r.trackingLost()) return;
    const ruins::PixelPosition lost = matchingTextPosition(r.width(), r.height());
    canvas->drawText(lost.x, lost.y, QString::fromLatin1(kTrackingLostText));
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
    actionStartInitialPointsSelection_->setIcon(QIcon(QString::fromLatin1(kSelectionIdleIcon)));
    if (!reconstruction_.endMatching()) grabber_.stop();
    restartFollowing();
}

void RuinsReconstructorProcessor::restartFollowing() { reconstruction_.restartFollowing(detector_); }
