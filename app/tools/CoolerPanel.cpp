#include "app/tools/CoolerPanel.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/AppDelegate.h"
#include "app/tools/SparkLine.h"
#include "camera/CamApi.h"

namespace hx::app {

namespace {

/// Minutes of readings the graph holds.
constexpr int kGraphMinutes = 10;

} // namespace

CoolerPanel::CoolerPanel(Post post, std::chrono::milliseconds period, QWidget* parent)
    : QWidget(parent), post_(std::move(post)), period_(period) {
    auto* layout = new QVBoxLayout(this);
    txtTemperature = new QLabel(this);
    txtTemperature->setObjectName("txtTemperature");
    QFont big = txtTemperature->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    txtTemperature->setFont(big);
    chkCooler = new QCheckBox(infoText("Cooler"), this);
    chkCooler->setObjectName("chkCooler");
    const auto perMinute = std::max<int64_t>(1, 60000 / std::max<int64_t>(period_.count(), 1));
    graph = new SparkLine(static_cast<size_t>(perMinute * kGraphMinutes), this);
    graph->setObjectName("graphTemperature");
    graph->setLowerIsBetter(true);
    layout->addWidget(txtTemperature);
    layout->addWidget(chkCooler);
    layout->addWidget(new QLabel(infoText("Sensor temperature, last minutes"), this));
    layout->addWidget(graph);
    layout->addStretch(1);
    connect(chkCooler, &QCheckBox::clicked, this, &CoolerPanel::coolerClicked);
    thread_ = std::thread(&CoolerPanel::poll, this);
}

CoolerPanel::~CoolerPanel() {
    stop();
}

bool CoolerPanel::cameraHasCooler(const char* camera) {
    bool on = false;
    float celsius = 0;
    return GetCooled(&on, camera) == 0 && GetTemperature(&celsius, camera) == 0;
}

bool CoolerPanel::setCamera(const std::string& camera) {
    const bool has = !camera.empty() && cameraHasCooler(camera.c_str());
    const std::string followed = has ? camera : std::string();
    if (followed != camera_) {
        graph->clear();
        txtTemperature->clear();
    }
    camera_ = followed;
    if (has) {
        bool on = false;
        GetCooled(&on, camera_.c_str());
        chkCooler->setChecked(on);
    }
    {
        std::lock_guard lock(mutex_);
        polled_ = camera_;
    }
    wake_.notify_all();
    return has;
}

void CoolerPanel::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        polled_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

/// The polling thread: reads the selected camera's temperature and cooler state, then sleeps
/// for the period or until the camera changes or the panel stops.
void CoolerPanel::poll() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const std::string camera = polled_;
        if (!camera.empty()) {
            lock.unlock();
            float celsius = 0;
            bool on = false;
            const bool haveTemperature = GetTemperature(&celsius, camera.c_str()) == 0;
            const bool haveCooler = GetCooled(&on, camera.c_str()) == 0;
            post_([this, camera, haveTemperature, celsius, haveCooler, on] {
                show(camera, haveTemperature, celsius, haveCooler, on);
            });
            lock.lock();
        }
        wake_.wait_for(lock, period_, [&] { return stop_ || polled_ != camera; });
    }
}

void CoolerPanel::show(const std::string& camera, bool haveTemperature, float celsius,
                       bool haveCooler, bool on) {
    if (camera != camera_) return; // a reading of a camera no longer selected
    if (haveTemperature) {
        ++readings_;
        lastTemperature_ = celsius;
        txtTemperature->setText(QString::asprintf("%.1f °C", celsius));
        graph->append(celsius);
    }
    if (haveCooler && !chkCooler->isDown()) chkCooler->setChecked(on);
}

void CoolerPanel::coolerClicked(bool on) {
    if (!camera_.empty()) SetCooled(on, camera_.c_str());
}

} // namespace hx::app
