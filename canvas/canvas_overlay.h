#pragma once

class Canvas;

// What a canvas draws over its frame. drawOverlay() runs inside the canvas's
// paint (GL context current, one unit per frame pixel, origin bottom-left) and
// only reads: painting the same frame twice draws the same picture.
class CanvasOverlay {
public:
    virtual ~CanvasOverlay() = default;
    virtual void drawOverlay(Canvas* canvas) = 0;
};
