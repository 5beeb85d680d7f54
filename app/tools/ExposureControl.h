// Exposure as users of long-exposure cameras need it: a value with its unit (µs, ms, s), a
// slider on a logarithmic scale over the camera's whole range, and during exposures longer
// than a second a progress bar with the time left and a Stop that ends the exposure at once.
#pragma once

#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;

namespace hx::app {

class ExposureControl : public QWidget {
public:
    enum Unit { Microseconds = 0, Milliseconds = 1, Seconds = 2 };
    static constexpr int kSliderSteps = 1000;

    explicit ExposureControl(QWidget* parent = nullptr);

    /// Milliseconds of a value in a unit, and back.
    static double toMilliseconds(double value, Unit unit);
    static double fromMilliseconds(double ms, Unit unit);
    /// Slider position for an exposure and back: position 0 is the minimum, kSliderSteps the
    /// maximum, logarithmic in between (a minimum of 0 counts as 1 µs for the scale).
    static double sliderToMilliseconds(int position, double minimum, double maximum);
    static int millisecondsToSlider(double ms, double minimum, double maximum);

    void setRange(double minimumMs, double maximumMs);
    /// Shows the camera's exposure without calling back.
    void showExposure(double ms);
    void setUnit(Unit unit);
    Unit unit() const;
    /// Progress of the exposure under way: elapsed milliseconds of one of exposureMs; hidden
    /// when not running or for exposures of a second or less.
    void showProgress(bool running, double elapsedMs, double exposureMs);

    /// The user asked for an exposure (milliseconds, within the range).
    std::function<void(double)> onExposure;
    /// The user pressed Stop during a long exposure.
    std::function<void()> onStop;

    QLineEdit* txtValue = nullptr;
    QComboBox* pouUnit = nullptr;
    QSlider* sldLog = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* txtLeft = nullptr;
    QPushButton* btnStop = nullptr;

private:
    void valueTyped();
    void sliderMoved(int position);
    void unitChanged();

    double minimum_ = 0, maximum_ = 1, shown_ = 0;
};

} // namespace hx::app
