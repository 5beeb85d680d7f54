#include "app/ImageView.h"

#include <QPainter>

namespace hx::app {

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setObjectName("pView");
}

void ImageView::setImage(QImage image) {
    image_ = std::move(image);
    update();
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
}

} // namespace hx::app
