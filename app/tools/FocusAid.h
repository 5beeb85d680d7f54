// The focus aid: a box on the image, a live sharpness figure for it (half-flux radius of the
// brightest star, or the gradient energy of any scene) and a graph of its last values, so that
// focusing is a matter of finding the best point of the graph.
#pragma once

#include <QRect>
#include <QWidget>

#include <functional>

#include "app/tools/DisplayPipeline.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace hx::app {

class SparkLine;

class FocusAid : public QWidget {
public:
    explicit FocusAid(QWidget* parent = nullptr);

    FocusMode mode() const;
    void setMode(FocusMode mode);
    void showFigure(FocusMode mode, double figure);

    /// The mode or the box changed (the box through the view); the tools pass it on.
    std::function<void()> onChanged;
    /// Picking a box on the image started or ended.
    std::function<void(bool)> onPicking;

    QComboBox* pouMode = nullptr;
    QLabel* txtFigure = nullptr;
    QPushButton* btnPick = nullptr;
    QPushButton* btnCentre = nullptr;
    SparkLine* graph = nullptr;
};

} // namespace hx::app
