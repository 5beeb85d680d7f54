#include "app/tools/HistogramView.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace hx::app {

HistogramView::HistogramView(QWidget* parent) : QWidget(parent) {
    setObjectName("histogramView");
    setMinimumHeight(72);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(96);
}

void HistogramView::setHistogram(const Histogram& histogram, StretchPoints points) {
    histogram_ = histogram;
    points_ = points;
    update();
}

void HistogramView::setLogarithmic(bool on) {
    logarithmic_ = on;
    update();
}

void HistogramView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(24, 24, 24));
    const int channels = histogram_.channels;
    if (channels <= 0) return;
    auto scaled = [this](double count) { return logarithmic_ ? std::log1p(count) : count; };
    double top = 1;
    for (int c = 0; c < channels; ++c)
        for (uint32_t count : histogram_.bins[c]) top = std::max(top, scaled(count));
    const double w = width(), h = height() - 1;
    const QColor grey[] = {QColor(220, 220, 220)};
    const QColor colours[] = {QColor(230, 60, 60), QColor(60, 200, 60), QColor(70, 110, 240)};
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setCompositionMode(QPainter::CompositionMode_Plus);
    for (int c = 0; c < channels; ++c) {
        QPainterPath path(QPointF(0, h));
        for (int b = 0; b < 256; ++b) {
            const double y = h - scaled(histogram_.bins[c][b]) / top * h;
            path.lineTo(b * w / 256.0, y);
            path.lineTo((b + 1) * w / 256.0, y);
        }
        path.lineTo(w, h);
        path.closeSubpath();
        QColor colour = channels == 1 ? grey[0] : colours[c];
        colour.setAlpha(150);
        painter.fillPath(path, colour);
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Stretch points, when a stretch is in use.
    if (points_.black > 0.0 || points_.white < 1.0) {
        painter.setPen(QPen(QColor(250, 200, 40), 1, Qt::DashLine));
        painter.drawLine(QPointF(points_.black * w, 0), QPointF(points_.black * w, h));
        painter.drawLine(QPointF(points_.white * w, 0), QPointF(points_.white * w, h));
    }
}

} // namespace hx::app
