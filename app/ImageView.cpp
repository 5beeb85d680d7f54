#include "app/ImageView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace hx::app {

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setObjectName("pView");
    setMouseTracking(true);
}

void ImageView::setImage(QImage image) {
    image_ = std::move(image);
    update();
}

void ImageView::setReticle(bool on) {
    reticle_ = on;
    update();
}

void ImageView::setFocusBox(QRect box) {
    focusBox_ = box;
    update();
}

bool ImageView::imagePixelAt(QPoint p, QPoint& pixel) const {
    if (image_.isNull() || width() <= 0 || height() <= 0) return false;
    if (p.x() < 0 || p.y() < 0 || p.x() >= width() || p.y() >= height()) return false;
    pixel = QPoint(static_cast<int>(static_cast<int64_t>(p.x()) * image_.width() / width()),
                   static_cast<int>(static_cast<int64_t>(p.y()) * image_.height() / height()));
    return true;
}

QRect ImageView::viewRectOf(QRect box) const {
    if (image_.isNull()) return {};
    const double sx = double(width()) / image_.width(), sy = double(height()) / image_.height();
    return QRectF(box.x() * sx, box.y() * sy, box.width() * sx, box.height() * sy).toRect();
}

/// Draws the frame stretched over the whole view; the controller keeps the view's size at the
/// frame's aspect ratio times the zoom factor. Black where there is no frame yet.
void ImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (image_.isNull()) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    // Smooth only when shrinking, where nearest-neighbour sampling would alias row patterns.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, width() < image_.width());
    painter.drawImage(rect(), image_);
    if (reticle_) {
        painter.setPen(QPen(QColor(255, 60, 60, 200), 1));
        const QPointF c(width() / 2.0, height() / 2.0);
        painter.drawLine(QPointF(0, c.y()), QPointF(width(), c.y()));
        painter.drawLine(QPointF(c.x(), 0), QPointF(c.x(), height()));
        const double r = std::min(width(), height()) / 8.0;
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(c, r, r);
        painter.drawEllipse(c, 2 * r, 2 * r);
    }
    if (!focusBox_.isNull()) {
        painter.setPen(QPen(QColor(250, 200, 40), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(viewRectOf(focusBox_));
    }
    if (dragging_ && picking_) {
        painter.setPen(QPen(QColor(250, 200, 40), 1, Qt::DashLine));
        painter.drawRect(pickRect_);
    }
}

void ImageView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    dragging_ = true;
    dragStart_ = dragLast_ = event->position().toPoint();
    pickRect_ = QRect();
    if (!picking_) setCursor(Qt::ClosedHandCursor);
}

/// Reports the pixel under the cursor; while dragging, pans the scroll area by the movement
/// (the image follows the hand) or stretches the box being picked.
void ImageView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (onCursor) {
        QPoint pixel;
        const bool inside = imagePixelAt(p, pixel);
        onCursor(pixel, inside);
    }
    if (!dragging_) return;
    if (picking_) {
        pickRect_ = QRect(dragStart_, p).normalized();
        update();
        return;
    }
    QWidget* viewport = parentWidget();
    auto* area = viewport ? qobject_cast<QScrollArea*>(viewport->parentWidget()) : nullptr;
    if (area) {
        const QPoint delta = p - dragLast_;
        area->horizontalScrollBar()->setValue(area->horizontalScrollBar()->value() - delta.x());
        area->verticalScrollBar()->setValue(area->verticalScrollBar()->value() - delta.y());
    }
    // The widget moved under the cursor by the amount scrolled: keep the last point in the
    // widget's new coordinates.
    dragLast_ = mapFromGlobal(event->globalPosition().toPoint());
}

void ImageView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !dragging_) return QWidget::mouseReleaseEvent(event);
    dragging_ = false;
    unsetCursor();
    if (picking_) {
        QPoint a, b;
        const QRect r =
            QRect(dragStart_, event->position().toPoint()).normalized().intersected(rect());
        if (!r.isEmpty() && imagePixelAt(r.topLeft(), a) && imagePixelAt(r.bottomRight(), b) &&
            b.x() - a.x() >= 2 && b.y() - a.y() >= 2 && onBoxPicked)
            onBoxPicked(QRect(a, b));
        update();
    }
}

void ImageView::leaveEvent(QEvent* event) {
    if (onCursor) onCursor(QPoint(), false);
    QWidget::leaveEvent(event);
}

} // namespace hx::app
