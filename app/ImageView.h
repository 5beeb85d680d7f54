// The live image view: paints the newest frame scaled to its own size, with the optional
// reticle and focus box drawn over it; dragging pans the scroll area it sits in, or picks the
// focus box; the image pixel under the cursor is reported.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include <functional>

namespace hx::app {

class ImageView : public QWidget {
public:
    explicit ImageView(QWidget* parent = nullptr);

    /// Replaces the image shown; the previous one is released.
    void setImage(QImage image);
    const QImage& image() const { return image_; }

    /// The image pixel under a point of the view; false outside the image.
    bool imagePixelAt(QPoint viewPoint, QPoint& pixel) const;

    void setReticle(bool on);
    bool reticle() const { return reticle_; }
    /// The focus box in image pixels; a null rectangle hides it.
    void setFocusBox(QRect box);
    QRect focusBox() const { return focusBox_; }
    /// While on, a drag draws a box and hands it to onBoxPicked instead of panning.
    void setPickingBox(bool on) { picking_ = on; }
    bool pickingBox() const { return picking_; }

    std::function<void(QPoint pixel, bool inside)> onCursor;
    std::function<void(QRect box)> onBoxPicked;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QRect viewRectOf(QRect imageBox) const;

    QImage image_;
    bool reticle_ = false;
    QRect focusBox_;
    bool picking_ = false;
    bool dragging_ = false;
    QPoint dragStart_, dragLast_;
    QRect pickRect_;
};

} // namespace hx::app
