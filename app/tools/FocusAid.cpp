#include "app/tools/FocusAid.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "app/AppDelegate.h"
#include "app/tools/SparkLine.h"

namespace hx::app {

namespace {

/// Values the graph holds: about half a minute at five reports a second.
constexpr size_t kGraphValues = 150;

} // namespace

FocusAid::FocusAid(QWidget* parent) : QWidget(parent) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 6, 0, 0);
    pouMode = new QComboBox(this);
    pouMode->setObjectName("pouFocus");
    pouMode->addItems(
        {infoText("Off"), infoText("Stars (half-flux radius)"), infoText("Contrast (gradient)")});
    txtFigure = new QLabel(this);
    txtFigure->setObjectName("txtFocus");
    btnPick = new QPushButton(infoText("Pick box"), this);
    btnPick->setObjectName("btnFocusBox");
    btnPick->setCheckable(true);
    btnPick->setToolTip(infoText("Drag a box on the image to measure"));
    btnCentre = new QPushButton(infoText("Centre box"), this);
    btnCentre->setObjectName("btnFocusCentre");
    graph = new SparkLine(kGraphValues, this);
    graph->setObjectName("graphFocus");
    grid->addWidget(new QLabel(infoText("Focus"), this), 0, 0);
    grid->addWidget(pouMode, 0, 1, 1, 2);
    grid->addWidget(btnPick, 1, 1);
    grid->addWidget(btnCentre, 1, 2);
    grid->addWidget(txtFigure, 2, 0, 1, 3);
    grid->addWidget(graph, 3, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);
    connect(pouMode, &QComboBox::currentIndexChanged, this, [this] {
        graph->clear();
        graph->setLowerIsBetter(mode() == FocusMode::Stars);
        txtFigure->clear();
        if (onChanged) onChanged();
    });
    connect(btnPick, &QPushButton::toggled, this, [this](bool on) {
        if (onPicking) onPicking(on);
    });
}

FocusMode FocusAid::mode() const {
    return static_cast<FocusMode>(std::clamp(pouMode->currentIndex(), 0, 2));
}

void FocusAid::setMode(FocusMode mode) {
    pouMode->setCurrentIndex(static_cast<int>(mode));
}

void FocusAid::showFigure(FocusMode mode, double figure) {
    if (mode != this->mode()) return;
    if (figure < 0) {
        txtFigure->setText(mode == FocusMode::Stars ? infoText("No star in the box") : QString());
        return;
    }
    if (mode == FocusMode::Stars)
        txtFigure->setText(infoText("HFR %1 px").arg(QString::number(figure, 'f', 2)));
    else
        txtFigure->setText(infoText("Sharpness %1").arg(QString::number(figure * 1e4, 'f', 2)));
    graph->append(figure);
}

} // namespace hx::app
