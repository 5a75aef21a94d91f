#include "canvas/canvas_point_grabber.h"

#include "canvas/canvas.h"

#include <QMouseEvent>
#include <QString>

#include <algorithm>

CanvasPointGrabber::CanvasPointGrabber(Canvas* canvas) : canvas_(canvas) {}

CanvasPointGrabber::~CanvasPointGrabber() { disconnectFromCanvas(); }

void CanvasPointGrabber::start()
{
    // A second start must not stack a second connection: each press would count twice.
    disconnectFromCanvas();
    pointCount_ = 0;
    state_ = Grabbing;
    if (canvas_)
        pressConnection_ = connect(canvas_.data(), &Canvas::mousePressed, this, &CanvasPointGrabber::mousePressed);
}

void CanvasPointGrabber::stop()
{
    if (state_ != Grabbing)
        return;
    disconnectFromCanvas();
    state_ = pointCount_ != 0 ? Holding : Idle;
}

void CanvasPointGrabber::clear()
{
    disconnectFromCanvas();
    pointCount_ = 0;
    state_ = Idle;
}

void CanvasPointGrabber::disconnectFromCanvas()
{
    if (pressConnection_)
        disconnect(pressConnection_);
    pressConnection_ = {};
}

void CanvasPointGrabber::mousePressed(QMouseEvent* event)
{
    if (!event)
        return;
    if (event->button() == Qt::RightButton) {
        if (pointCount_ > 0)
            --pointCount_;
    } else if (pointCount_ < limit_) {
        points_[pointCount_] = canvas_ ? canvas_->framePosition(event->position()) : event->position().toPoint();
        ++pointCount_;
        if (pointCount_ == limit_ && state_ == Grabbing)
            stop();
    }
    if (canvas_)
        canvas_->updateGL();
}

void CanvasPointGrabber::drawLabels(Canvas* canvas) const
{
    if (!canvas)
        return;
    for (int i = 0; i < pointCount_; ++i)
        canvas->drawText(points_[i].x(), points_[i].y(), QString::number(i));
}

void CanvasPointGrabber::setLimit(int limit) { limit_ = std::clamp(limit, 1, kCapacity); }
