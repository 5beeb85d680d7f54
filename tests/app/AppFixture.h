// The capture application's controller on simulated cameras, with its own Documents and
// Desktop directories under a fresh temporary directory, and real USB left alone.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/AppDelegate.h"
#include "camera/CamApi.h"
#include "sim/SimBus.h"

/// The test program's QApplication, made by its main().
inline QApplication& testApplication() {
    return *static_cast<QApplication*>(QCoreApplication::instance());
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        testApplication();
        setenv("HALVEX_NO_USB", "1", 1);
        unsetenv("HALVEX_SIMULATE");
        static std::atomic<int> serial{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("halvex-app-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::create_directories(dir_ / "Documents");
        std::filesystem::create_directories(dir_ / "Desktop");
        std::filesystem::create_directories(dir_ / "shots");
        setenv("HOME", dir_.c_str(), 1);
    }

    void TearDown() override {
        app_.reset();
        auto& bus = hx::sim::SimBus::instance();
        for (uint64_t key : bus.keys()) bus.unplug(key);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    QString docs() const { return QString::fromStdString((dir_ / "Documents").string()); }
    QString desktop() const { return QString::fromStdString((dir_ / "Desktop").string()); }
    QString shots() const { return QString::fromStdString((dir_ / "shots").string()) + '/'; }

    /// Starts the controller with the given simulated cameras plugged in first.
    void start(QStringList simulate = {}) {
        hx::app::AppOptions options;
        options.documentsDir = docs();
        options.desktopDir = desktop();
        options.simulate = simulate;
        // The window's own settings stay inside the test's directory too.
        options.settingsFile =
            QString::fromStdString((dir_ / "config" / "halvex-capture.conf").string());
        app_ = std::make_unique<hx::app::AppDelegate>(options);
        app_->showAlert = [this](const QString& text) { alerts_ << text; };
        app_->applicationDidFinishLaunching();
    }

    /// How many times slower than on a quiet machine work goes now: the runnable tasks per
    /// core over the last minute, as /proc/loadavg counts them, at least 1 and at most 12.
    static double loadFactor() {
        double load = 0;
        std::ifstream("/proc/loadavg") >> load;
        const double cores = std::max(1u, std::thread::hardware_concurrency());
        return std::clamp(load / cores, 1.0, 12.0);
    }

    /// Runs the event loop until the condition holds, or until `progress` (when given) has
    /// not changed for `ms`, or, without it, `ms` have passed in all; with progress the wait
    /// still ends after ten times `ms`. The times grow with the machine's load, read again as
    /// the wait goes on; they only bound a failing test.
    static bool waitFor(const std::function<bool()>& condition, int ms = 20000,
                        const std::function<int64_t()>& progress = {}) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto since = start, nextLoad = start;
        double factor = 1;
        int64_t last = progress ? progress() : 0;
        while (!condition()) {
            const auto now = Clock::now();
            if (now >= nextLoad) {
                factor = std::max(factor, loadFactor());
                nextLoad = now + std::chrono::seconds(1);
            }
            if (progress) {
                if (const int64_t seen = progress(); seen != last) {
                    last = seen;
                    since = now;
                }
            }
            const std::chrono::duration<double, std::milli> allowed(ms * factor);
            if (now - since > allowed || now - start > 10 * allowed) return condition();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(2);
        }
        QCoreApplication::processEvents();
        return true;
    }

    /// Plugs a simulated camera while the application runs and waits until it is listed.
    uint64_t plug(const char* model) {
        const int before = app_->pouDev->count();
        const int productId = hx::sim::simProductIdForClass(model);
        uint64_t key = PlugSimulatedCamera(static_cast<unsigned short>(productId), 0);
        EXPECT_TRUE(waitFor([&] { return app_->pouDev->count() == before + 1; }));
        return key;
    }

    void startLive() {
        ASSERT_EQ(app_->btnLive->text(), "Live");
        app_->btnLiveAction();
        ASSERT_TRUE(waitFor([&] { return app_->framesShown > 0; }));
    }

    void stopLive() {
        app_->btnLiveAction();
        ASSERT_TRUE(waitFor([&] { return !app_->liveRunning(); }));
        ASSERT_TRUE(waitFor([&] { return app_->btnLive->text() == "Live"; }));
    }

    std::string selected() const { return app_->camName.value_or(std::string()); }

    std::filesystem::path dir_;
    std::unique_ptr<hx::app::AppDelegate> app_;
    QStringList alerts_;
};
