#pragma once

#include "processors/processor.h"

// Copies the grey frame to the output unchanged. Stands in for a processor whose
// room is not built yet, and serves tests that need a processor with no panel.
class CopyProcessor : public Processor {
public:
    void setImageSize(int width, int height) override;
    int process(const unsigned char* input, unsigned char* output) override;
    QWidget* propertiesWidget(QWidget*) override { return nullptr; }
    void installActions(QWidget*) override {}
    void drawOverlay(Canvas*) override {}

private:
    int width_ = 0;
    int height_ = 0;
};
