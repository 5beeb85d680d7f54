// The cooled cameras' panel: the sensor temperature, polled every second and a half on a
// thread of its own, the cooler switch and a graph of the last minutes. Shown only for models
// that have a cooler and a temperature reading.
#pragma once

#include <QWidget>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class QCheckBox;
class QLabel;

namespace hx::app {

class SparkLine;

class CoolerPanel : public QWidget {
public:
    using Post = std::function<void(std::function<void()>)>;

    /// post runs a function on the GUI thread in order with the controller's other updates.
    CoolerPanel(Post post, std::chrono::milliseconds period, QWidget* parent = nullptr);
    ~CoolerPanel() override;

    /// Whether a camera has both a cooler and a temperature reading.
    static bool cameraHasCooler(const char* camera);
    /// Follows a camera (empty: none); false when it has no cooler (the panel then idles).
    bool setCamera(const std::string& camera);
    bool available() const { return !camera_.empty(); }
    void stop();

    QLabel* txtTemperature = nullptr;
    QCheckBox* chkCooler = nullptr;
    SparkLine* graph = nullptr;
    /// Readings applied to the widgets so far.
    int readings() const { return readings_; }
    double lastTemperature() const { return lastTemperature_; }

private:
    void poll();
    void show(const std::string& camera, bool haveTemperature, float celsius, bool haveCooler,
              bool on);
    void coolerClicked(bool on);

    Post post_;
    std::chrono::milliseconds period_;
    std::string camera_; ///< GUI thread's copy
    int readings_ = 0;
    double lastTemperature_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string polled_; ///< the camera the thread polls, under mutex_
    bool stop_ = false;
    std::thread thread_;
};

} // namespace hx::app
