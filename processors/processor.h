#pragma once

class Canvas;
class QWidget;

// A frame processor. The main window hands it frames and asks it for its user
// interface pieces; the canvases let it draw over what they show.
//
// Frame buffers are width x height bytes of 8-bit grey, no padding, rows stored
// bottom-up (row 0 is the bottom row on screen), so a pixel at column x and
// buffer row y is drawn at (x, y) in a canvas's overlay coordinates.
// Processors keep no pointer to a frame buffer beyond one call.
//
// All operations are called on the GUI thread, one at a time.
class Processor {
public:
    virtual ~Processor() = default;

    // From now on frames are width x height. Called before the first process()
    // with that size, possibly many times with the same size.
    virtual void setImageSize(int width, int height) = 0;

    // Reads the grey frame `input` and writes every output pixel it wants shown
    // to `output` (never cleared by the caller). The result is ignored by callers.
    virtual int process(const unsigned char* input, unsigned char* output) = 0;

    // The properties panel, created with `parent` on the first call and the same
    // object afterwards; null when the processor has none. The caller moves and
    // shows it.
    virtual QWidget* propertiesWidget(QWidget* parent) = 0;

    // Adds the processor's own actions to `toolBar`, which the caller has just cleared.
    virtual void installActions(QWidget* toolBar) = 0;

    // Draws over the frame `canvas` has just drawn, inside its paint (GL context
    // current, one unit per frame pixel, origin bottom-left).
    virtual void drawOverlay(Canvas* canvas) = 0;
};
