#include "canvas/canvas.h"

#include "canvas/canvas_overlay.h"

#include <GL/glu.h>
#include <QMouseEvent>
#include <QPainter>

Canvas::Canvas(QWidget* parent) : QOpenGLWidget(parent), labelFont_("Arial", 12, QFont::Normal, false) {
    // Keep the framebuffer between paints: a paint may find it already drawn.
    setUpdateBehavior(QOpenGLWidget::PartialUpdate);
}

Canvas::~Canvas() = default;

void Canvas::setImage(int width, int height, GLenum pixelFormat, const unsigned char* pixels) {
    imageWidth_ = width;
    imageHeight_ = height;
    pixelFormat_ = pixelFormat;
    pixels_ = pixels;
}

void Canvas::updateGL() {
    // repaint() is not reliably synchronous for GL widgets (Qt defers it while a
    // flush is pending), so render into the widget's framebuffer ourselves: the
    // overlay has been drawn when this returns. update() then only composites.
    if (!isValid() || !isVisible()) {
        repaint();
        return;
    }
    makeCurrent();
    renderFrame();
    doneCurrent();
    frameRendered_ = true;
    update();
}

QSize Canvas::readShownPixels(std::vector<unsigned char>& rgba) {
    if (!isValid()) return QSize();
    const QSize size = this->size() * devicePixelRatio();
    rgba.resize(std::size_t(size.width()) * size.height() * 4);
    makeCurrent();  // binds the framebuffer updateGL() drew into
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, size.width(), size.height(), GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    doneCurrent();
    return size;
}

void Canvas::drawText(int x, int y, const QString& text) {
    glColor3f(1.0f, 0.0f, 0.0f);
    pendingLabels_.push_back({x, y, text});
}

QPoint Canvas::framePosition(const QPointF& widgetPosition) const {
    if (width() <= 0 || height() <= 0) return widgetPosition.toPoint();
    return QPointF(widgetPosition.x() * imageWidth_ / width(), widgetPosition.y() * imageHeight_ / height()).toPoint();
}

void Canvas::mousePressEvent(QMouseEvent* event) { emit mousePressed(event); }

void Canvas::mouseReleaseEvent(QMouseEvent* event) { emit mouseReleased(event); }

void Canvas::initializeGL() {
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glEnable(GL_DEPTH_TEST);
}

void Canvas::resizeGL(int w, int h) {
    frameRendered_ = false;  // the framebuffer is new and empty
    const qreal ratio = devicePixelRatio();
    glViewport(0, 0, static_cast<GLsizei>(w * ratio), static_cast<GLsizei>(h * ratio));
}

void Canvas::paintGL() {
    // After updateGL() the framebuffer already holds this frame and its overlay;
    // drawing it again would run the overlay twice.
    if (frameRendered_) {
        frameRendered_ = false;
        return;
    }
    renderFrame();
}

void Canvas::renderFrame() {
    QPainter painter(this);
    painter.beginNativePainting();

    // The painter may have changed state since initializeGL; the frame needs
    // tight rows and the overlay a full-widget viewport.
    const qreal ratio = devicePixelRatio();
    glViewport(0, 0, static_cast<GLsizei>(width() * ratio), static_cast<GLsizei>(height() * ratio));
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glEnable(GL_DEPTH_TEST);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);

    glDepthFunc(GL_LEQUAL);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluOrtho2D(0, imageWidth_, 0, imageHeight_);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    if (pixels_ && imageWidth_ > 0 && imageHeight_ > 0) {
        glDepthMask(GL_FALSE);
        glRasterPos2i(0, 0);
        // The widget is sized in logical pixels, the framebuffer in device pixels:
        // zoom so that the frame covers the same area as the overlay's units.
        glPixelZoom(float(width() * ratio / imageWidth_), float(height() * ratio / imageHeight_));
        glDrawPixels(imageWidth_, imageHeight_, pixelFormat_, GL_UNSIGNED_BYTE, pixels_);
        glDepthMask(GL_TRUE);
    }

    pendingLabels_.clear();
    if (overlay_) overlay_->drawOverlay(this);

    // Leave the painter a state it expects: Qt's glyph cache uploads come out
    // garbled with an unpack alignment of 1, and a depth test would hide the text.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    glDisable(GL_BLEND);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    painter.endNativePainting();

    drawLabels(painter);
    ++paintCount_;
}

void Canvas::drawLabels(QPainter& painter) {
    if (pendingLabels_.isEmpty() || imageWidth_ <= 0 || imageHeight_ <= 0) return;
    // Labels live in overlay coordinates, which span the whole widget.
    const double sx = double(width()) / imageWidth_;
    const double sy = double(height()) / imageHeight_;
    painter.setPen(QColor(255, 0, 0));
    painter.setFont(labelFont_);
    for (const Label& label : pendingLabels_)
        painter.drawText(QPointF(label.x * sx, label.y * sy), label.text);
    pendingLabels_.clear();
}
