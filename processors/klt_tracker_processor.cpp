#include "processors/klt_tracker_processor.h"

#include <QAction>
#include <QIcon>
#include <QWidget>

#include <GL/gl.h>

#include <algorithm>
#include <cstring>

KLTTrackerProcessor::KLTTrackerProcessor(QObject* parent) : QObject(parent) {
    detectAction_ = new QAction(QIcon(QStringLiteral(":/icons/interpret.png")),
                                tr("Detect Features"), this);
    detectAction_->setObjectName(QStringLiteral("actionDetectFeatures"));
    QMetaObject::connectSlotsByName(this);
}

KLTTrackerProcessor::~KLTTrackerProcessor() = default;

void KLTTrackerProcessor::setImageSize(int width, int height) {
    imageWidth_ = std::max(width, 0);
    imageHeight_ = std::max(height, 0);
}

int KLTTrackerProcessor::process(const unsigned char* input, unsigned char* output) {
    if (!input || !output) return 0;
    std::memcpy(output, input, static_cast<size_t>(imageWidth_) * static_cast<size_t>(imageHeight_));
    detector_.detect(output, imageWidth_, imageHeight_);
    return 0;
}

void KLTTrackerProcessor::installActions(QWidget* toolBar) {
    if (toolBar) toolBar->addAction(detectAction_);
}

void KLTTrackerProcessor::drawOverlay(Canvas*) {
    const int count = detector_.cornerCount();
    if (count == 0) return;
    const CornerPoint* corners = detector_.corners();
    glPointSize(3.0f);
    glBegin(GL_POINTS);
    glColor3f(0.0f, 1.0f, 0.0f);
    for (int i = 0; i < count; ++i) glVertex2i(corners[i].x, corners[i].y);
    glEnd();
}

void KLTTrackerProcessor::on_actionDetectFeatures_triggered() { detector_.reset(); }
