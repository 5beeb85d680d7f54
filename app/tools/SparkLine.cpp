#include "app/tools/SparkLine.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace hx::app {

SparkLine::SparkLine(size_t capacity, QWidget* parent)
    : QWidget(parent), capacity_(std::max<size_t>(capacity, 2)) {
    setMinimumHeight(48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(64);
}

void SparkLine::append(double value) {
    values_.push_back(value);
    while (values_.size() > capacity_) values_.pop_front();
    update();
}

void SparkLine::clear() {
    values_.clear();
    update();
}

void SparkLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(24, 24, 24));
    if (values_.empty()) return;
    const auto [lo, hi] = std::minmax_element(values_.begin(), values_.end());
    const double low = *lo, span = std::max(*hi - *lo, 1e-12);
    const double w = width() - 4, h = height() - 8;
    auto point = [&](size_t i) {
        const double x = 2 + (capacity_ > 1 ? i * w / (capacity_ - 1) : 0);
        return QPointF(x, 4 + h - (values_[i] - low) / span * h);
    };
    QPainterPath path(point(0));
    for (size_t i = 1; i < values_.size(); ++i) path.lineTo(point(i));
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(QColor(90, 200, 250), 1.5));
    painter.drawPath(path);
    // The best value so far: the peak to come back to.
    const size_t best = static_cast<size_t>((lowerIsBetter_ ? lo : hi) - values_.begin());
    painter.setBrush(QColor(250, 200, 40));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(point(best), 3, 3);
}

} // namespace hx::app
