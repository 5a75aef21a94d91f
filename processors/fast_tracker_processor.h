#pragma once

#include <QObject>
#include <QPointer>

#include "features/image_record.h"
#include "features/canny.h"
#include "processors/fast_corner_detector.h"
#include "processors/processor.h"

class QAction;
class FASTTrackerPropertiesWidget;

// "FAST Tracker": per frame, optionally turns the grey input into a Canny edge
// map (0 and 255), writes it (or a plain copy of the input) to the output, finds
// FAST corners on that output and draws them as green points over both canvases.
// Settings changed in its panel apply from the next frame on.
// GUI thread only.
class FASTTrackerProcessor : public QObject, public Processor {
    Q_OBJECT

public:
    static constexpr int kDetectorCapacity = 100;

    explicit FASTTrackerProcessor(QObject* parent = nullptr);
    ~FASTTrackerProcessor() override;

    void setImageSize(int width, int height) override;
    int process(const unsigned char* input, unsigned char* output) override;
    QWidget* propertiesWidget(QWidget* parent) override;
    void installActions(QWidget* toolBar) override;
    void drawOverlay(Canvas* canvas) override;

    // Read and written directly by the properties panel. No check ties the lower
    // Canny threshold to the upper one.
    bool cannyEnabled() const { return cannyEnabled_; }
    void setCannyEnabled(bool enabled) { cannyEnabled_ = enabled; }
    float standardDeviation() const { return standardDeviation_; }
    void setStandardDeviation(float sigma) { standardDeviation_ = sigma; }
    int lowerThreshold() const { return lowerThreshold_; }
    void setLowerThreshold(int value) { lowerThreshold_ = value; }
    int upperThreshold() const { return upperThreshold_; }
    void setUpperThreshold(int value) { upperThreshold_ = value; }
    FASTCornerDetector& detector() { return detector_; }
    const FASTCornerDetector& detector() const { return detector_; }

    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }
    const ImageRecord* edgeStrengthImage() const { return edgeMap_.edgeStrengthImage(); }
    const ImageRecord* edgeImage() const { return edgeMap_.edgeImage(); }
    QAction* detectAction() const { return detectAction_; }

private slots:
    void on_actionDetectFeatures_triggered();

private:
    int imageWidth_ = 0;
    int imageHeight_ = 0;
    bool cannyEnabled_ = false;
    float standardDeviation_ = 1.0f;
    int lowerThreshold_ = 30;
    int upperThreshold_ = 60;
    FASTCornerDetector detector_{kDetectorCapacity};
    CannyEdgeMap edgeMap_;
    QAction* detectAction_ = nullptr;  // child of this
    // The panel belongs to the parent it was created with and may die with it.
    QPointer<FASTTrackerPropertiesWidget> panel_;
};
