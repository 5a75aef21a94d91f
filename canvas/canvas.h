#pragma once

#include <QFont>
#include <QOpenGLWidget>
#include <QString>
#include <QVector>

#include <vector>

#include <GL/gl.h>

class CanvasOverlay;
class QMouseEvent;
class QPainter;

// The OpenGL view that shows one frame buffer unchanged and lets a processor draw
// over it. The canvas never owns or copies pixels: it is handed a pointer to one
// of the main window's buffers (rows bottom-up) and draws it with one pixel
// transfer per paint, then calls its overlay's drawOverlay().
//
// Inside drawOverlay() one unit is one frame pixel, x from 0 at the left edge to
// imageWidth() at the right, y from 0 at the bottom to imageHeight() at the top.
// The frame, the overlay, text and mouse positions share that one space at any
// device-pixel ratio: the frame is zoomed to fill the widget's device pixels.
// GUI thread only.
class Canvas : public QOpenGLWidget {
    Q_OBJECT

public:
    explicit Canvas(QWidget* parent = nullptr);
    ~Canvas() override;

    // Stores what to draw at the next repaint. `pixels` (GL_LUMINANCE: 1 byte per
    // pixel, GL_RGB: 3) must stay valid until replaced; null shows black.
    void setImage(int width, int height, GLenum pixelFormat, const unsigned char* pixels);
    void setOverlay(CanvasOverlay* overlay) { overlay_ = overlay; }
    CanvasOverlay* overlay() const { return overlay_; }

    int canvasId() const { return canvasId_; }
    void setCanvasId(int id) { canvasId_ = id; }

    int imageWidth() const { return imageWidth_; }
    int imageHeight() const { return imageHeight_; }
    GLenum pixelFormat() const { return pixelFormat_; }
    const unsigned char* pixels() const { return pixels_; }

    // For use inside drawOverlay(): red Arial 12 text whose reference point is x
    // pixels right of the frame's left edge and y pixels down from its top edge.
    // Leaves the current GL colour red.
    void drawText(int x, int y, const QString& text);

    // The frame pixel (x from the left, y from the top) under a widget position
    // in logical pixels, as mouse events give it.
    QPoint framePosition(const QPointF& widgetPosition) const;

    // Repaints now: drawOverlay() has run when this returns.
    void updateGL();

    // What the canvas shows, overlay included, read back without painting again:
    // RGBA bytes in device pixels, bottom row first as OpenGL keeps them.
    // Empty before the canvas is first shown.
    QSize readShownPixels(std::vector<unsigned char>& rgba);

    // Number of completed paints; lets tests prove a repaint ran.
    int paintCount() const { return paintCount_; }

signals:
    void mousePressed(QMouseEvent* event);
    void mouseReleased(QMouseEvent* event);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    struct Label {
        int x;
        int y;
        QString text;
    };
    void renderFrame();
    void drawLabels(QPainter& painter);

    int canvasId_ = 0;
    int imageWidth_ = 320;
    int imageHeight_ = 240;
    GLenum pixelFormat_ = 0;
    const unsigned char* pixels_ = nullptr;
    CanvasOverlay* overlay_ = nullptr;
    QFont labelFont_;
    QVector<Label> pendingLabels_;
    int paintCount_ = 0;
    bool frameRendered_ = false;
};
