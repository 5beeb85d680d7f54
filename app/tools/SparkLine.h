// A small graph of the latest values of one figure (focus, temperature), oldest at the left.
#pragma once

#include <QString>
#include <QWidget>

#include <deque>

namespace hx::app {

class SparkLine : public QWidget {
public:
    explicit SparkLine(size_t capacity, QWidget* parent = nullptr);

    void append(double value);
    void clear();
    const std::deque<double>& values() const { return values_; }
    /// Marks the best value seen (highest, or lowest when lowerIsBetter).
    void setLowerIsBetter(bool on) { lowerIsBetter_ = on; }

    QSize sizeHint() const override { return {240, 64}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    size_t capacity_;
    std::deque<double> values_;
    bool lowerIsBetter_ = false;
};

} // namespace hx::app
