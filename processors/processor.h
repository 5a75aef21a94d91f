#pragma once

#include "canvas/canvas_overlay.h"
#include "cycle/frame_processor.h"

class QWidget;

// A frame processor as the main window knows it: the per-frame step the frame
// cycle drives (setImageSize, process), its user interface pieces, and the
// overlay it draws on the canvases.
//
// A pixel at column x and buffer row y is drawn at (x, y) in a canvas's
// overlay coordinates. Processors keep no pointer to a frame buffer beyond one
// call. All operations are called on the GUI thread, one at a time.
class Processor : public FrameProcessor, public CanvasOverlay {
public:
    // The properties panel, created with `parent` on the first call and the same
    // object afterwards; null when the processor has none. The caller moves and
    // shows it.
    virtual QWidget* propertiesWidget(QWidget* parent) = 0;

    // Adds the processor's own actions to `toolBar`, which the caller has just cleared.
    virtual void installActions(QWidget* toolBar) = 0;

    // Draws over the frame `canvas` has just drawn, from what the last process()
    // prepared; changes nothing.
    void drawOverlay(Canvas* canvas) override = 0;
};
