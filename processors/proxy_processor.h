#pragma once

#include "processors/processor.h"

// Lets the current processor draw over a second canvas: drawOverlay() forwards to
// whatever processor is `target`'s overlay at the moment of the call, passing the
// canvas it was called with. Everything else does nothing.
class ProxyProcessor : public Processor {
public:
    explicit ProxyProcessor(Canvas* target) : target(target) {}

    void setImageSize(int, int) override {}
    int process(const unsigned char*, unsigned char*) override { return 0; }
    QWidget* propertiesWidget(QWidget*) override { return nullptr; }
    void installActions(QWidget*) override {}
    void drawOverlay(Canvas* canvas) override;

private:
    Canvas* target;  // not owned
};
