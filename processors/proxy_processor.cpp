#include "processors/proxy_processor.h"

#include "canvas/canvas.h"

void ProxyProcessor::drawOverlay(Canvas* canvas) {
    // The target always has an overlay once the main window is built; a null
    // check keeps a half-built window from crashing on an early paint.
    if (CanvasOverlay* current = target->overlay()) current->drawOverlay(canvas);
}
