// The live histogram: counts of the display bytes per channel (one curve for grey, red, green
// and blue for colour) on a linear or logarithmic scale, with the stretch points marked.
#pragma once

#include <QWidget>

#include "app/tools/FrameStatistics.h"

namespace hx::app {

class HistogramView : public QWidget {
public:
    explicit HistogramView(QWidget* parent = nullptr);

    void setHistogram(const Histogram& histogram, StretchPoints points);
    const Histogram& histogram() const { return histogram_; }
    void setLogarithmic(bool on);
    bool logarithmic() const { return logarithmic_; }

    QSize sizeHint() const override { return {256, 96}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Histogram histogram_;
    StretchPoints points_;
    bool logarithmic_ = false;
};

} // namespace hx::app
