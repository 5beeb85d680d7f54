// The live image view: paints the newest frame scaled to its own size.
#pragma once

#include <QImage>
#include <QWidget>

namespace hx::app {

class ImageView : public QWidget {
public:
    explicit ImageView(QWidget* parent = nullptr);

    /// Replaces the image shown; the previous one is released.
    void setImage(QImage image);
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

} // namespace hx::app
