#pragma once

#include <QObject>

#include "processors/klt_corner_detector.h"
#include "processors/processor.h"

class QAction;

// "Kanade-Lucas-Tomasi Tracker": passes every frame through unchanged, runs its
// KLT detector on it (features selected once, then followed) and draws the
// features as green points over both canvases. "Detect Features" makes the next
// frame select new features. It has no properties panel.
// GUI thread only.
class KLTTrackerProcessor : public QObject, public Processor {
    Q_OBJECT

public:
    static constexpr int kDetectorCapacity = 78;

    explicit KLTTrackerProcessor(QObject* parent = nullptr);
    ~KLTTrackerProcessor() override;

    // Stores the size; the detector notices a new size at its next frame.
    void setImageSize(int width, int height) override;
    // Copies input to output (width x height bytes), then detects on the output.
    int process(const unsigned char* input, unsigned char* output) override;
    QWidget* propertiesWidget(QWidget*) override { return nullptr; }
    void installActions(QWidget* toolBar) override;
    // Green points of size 3 at the integer feature positions, on any canvas.
    void drawOverlay(Canvas* canvas) override;

    KLTCornerDetector& detector() { return detector_; }
    const KLTCornerDetector& detector() const { return detector_; }
    QAction* detectAction() const { return detectAction_; }
    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }

private slots:
    void on_actionDetectFeatures_triggered();

private:
    int imageWidth_ = 0;
    int imageHeight_ = 0;
    KLTCornerDetector detector_{kDetectorCapacity};
    QAction* detectAction_ = nullptr;  // child of this
};
