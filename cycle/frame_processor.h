#pragma once

// The per-frame half of a processor: what the frame cycle drives. Frame
// buffers are width x height bytes of 8-bit grey, no padding, rows stored
// bottom-up. Everything a processor decides for a frame happens in process();
// whatever it draws afterwards only reads what process() left.
class FrameProcessor {
public:
    virtual ~FrameProcessor() = default;

    // From now on frames are width x height. Called before the first process()
    // with that size, possibly many times with the same size.
    virtual void setImageSize(int width, int height) = 0;

    // Reads the grey frame `input` and writes every output pixel it wants shown
    // to `output` (never cleared by the caller). The result is ignored by callers.
    virtual int process(const unsigned char* input, unsigned char* output) = 0;

    // The colour frame (R, G, B per pixel, rows bottom-up) the next process()
    // input was converted from, for a processor that looks at colour where grey
    // fails; valid until that process() returns. Ignored by default.
    virtual void setColourFrame(const unsigned char* rgb) { (void)rgb; }
};
