#include "processors/fast_tracker_processor.h"

#include <GL/gl.h>

#include <QAction>
#include <QIcon>
#include <QWidget>
#include <cstring>

#include "processors/fast_tracker_properties_widget.h"

namespace {

constexpr int kInitialWidth = 320;
constexpr int kInitialHeight = 240;
constexpr float kCornerPointSize = 3.0f;

}  // namespace

FASTTrackerProcessor::FASTTrackerProcessor(QObject* parent)
    : QObject(parent), edgeMap_(kInitialWidth, kInitialHeight) {
    detectAction_ = new QAction(QIcon(":/icons/interpret.png"), tr("Detect Features"), this);
    detectAction_->setObjectName("actionDetectFeatures");
    QMetaObject::connectSlotsByName(this);
}

FASTTrackerProcessor::~FASTTrackerProcessor() {
    // The panel points back at this processor; it must not outlive it.
    delete panel_.data();
}

void FASTTrackerProcessor::setImageSize(int width, int height) {
    imageWidth_ = width;
    imageHeight_ = height;
    // A size the records cannot take leaves them as they were; process() then
    // sees the mismatch and writes no edge map.
    edgeMap_.setImageSize(width, height);
}

int FASTTrackerProcessor::process(const unsigned char* input, unsigned char* output) {
    const bool hasFrame = input != nullptr && output != nullptr && imageWidth_ > 0 &&
                          imageHeight_ > 0;
    if (!hasFrame) {
        detector_.detect(nullptr, 0, 0);
        return 0;
    }
    const std::size_t pixels = static_cast<std::size_t>(imageWidth_) * imageHeight_;
    if (cannyEnabled_) {
        if (!edgeMap_.write(input, output, standardDeviation_, lowerThreshold_, upperThreshold_))
            std::memset(output, 0, pixels);
    } else {
        std::memmove(output, input, pixels);
    }
    // With Canny on, corners are found on the edge map, not on the grey frame.
    detector_.detect(output, imageWidth_, imageHeight_);
    return 1;
}

QWidget* FASTTrackerProcessor::propertiesWidget(QWidget* parent) {
    if (!panel_) panel_ = new FASTTrackerPropertiesWidget(this, parent, Qt::Tool);
    return panel_;
}

void FASTTrackerProcessor::installActions(QWidget* toolBar) {
    if (toolBar != nullptr) toolBar->addAction(detectAction_);
}

void FASTTrackerProcessor::drawOverlay(Canvas* /*canvas*/) {
    // The same points go over both canvases, so the canvas is not consulted.
    const int count = detector_.cornerCount();
    if (count == 0) return;
    const CornerPoint* corners = detector_.corners();
    glPointSize(kCornerPointSize);
    glColor3f(0.0f, 1.0f, 0.0f);
    glBegin(GL_POINTS);
    for (int i = 0; i < count; ++i) glVertex2i(corners[i].x, corners[i].y);
    glEnd();
}

void FASTTrackerProcessor::on_actionDetectFeatures_triggered() {
    // Corners are found anew in every frame; there is nothing to trigger.
}
