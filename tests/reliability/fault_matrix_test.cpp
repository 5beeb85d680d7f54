// Every fault the simulated camera can show, on every read-out family, at 8 and 16 bits: the
// read gives its status, never writes past the caller's buffer, and the stream goes on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SensorProfile.h"
#include "tests/fuzz/FuzzCameras.h"
#include "usb/UsbDevice.h"

namespace {

using hxfuzz::CameraVariant;
using hxfuzz::kVariants;

enum class Fault {
    StallControl,
    StallBulk,
    ShortTransfer,
    LongTransfer,
    MissingMarker,
    StrayHead,
    UnplugMidTransfer,
    StopsSending,
};

const char* faultName(Fault f) {
    switch (f) {
    case Fault::StallControl:
        return "stalled pipe 0";
    case Fault::StallBulk:
        return "stalled pipe 1";
    case Fault::ShortTransfer:
        return "short transfer";
    case Fault::LongTransfer:
        return "long transfer";
    case Fault::MissingMarker:
        return "missing marker";
    case Fault::StrayHead:
        return "stray head";
    case Fault::UnplugMidTransfer:
        return "unplug mid-transfer";
    case Fault::StopsSending:
        return "stops sending";
    }
    return "?";
}

/// A simulated camera that can be pulled in the middle of a bulk transfer, or go silent: its
/// bulk reads then wait for the host's time limit and time out.
class FaultyCamera : public hx::sim::SimCamera {
public:
    FaultyCamera(uint16_t productId, uint16_t bcd)
        : SimCamera(hx::sim::findSensorProfile(productId, bcd),
                    hx::sim::makeWireFormat(productId, bcdOf(productId, bcd)),
                    bcdOf(productId, bcd), hxfuzz::quickRendering()) {}

    static uint16_t bcdOf(uint16_t productId, uint16_t bcd) {
        return bcd ? bcd : hx::sim::findSensorProfile(productId, bcd).bcdDevice;
    }

    void unplugDuringNextRead() { unplugNext_ = true; }
    void goSilent(bool silent) {
        std::lock_guard lock(m_);
        silent_ = silent;
        wake_.notify_all();
    }

    void setReadTimeout(int timeoutMs) override {
        timeoutMs_ = timeoutMs;
        SimCamera::setReadTimeout(timeoutMs);
    }
    void cancelRead() override {
        {
            std::lock_guard lock(m_);
            cancelled_ = true;
            wake_.notify_all();
        }
        SimCamera::cancelRead();
    }

    int readPipe(int pipe, unsigned char* buffer, int length, int* received) override {
        if (pipe == hx::usb::kBulkInPipe) {
            std::unique_lock lock(m_);
            if (silent_) {
                // Never more than the host's limit (and never unbounded in a test).
                const int set = timeoutMs_.load();
                const int limit = set > 0 ? set : 10000;
                wake_.wait_for(lock, std::chrono::milliseconds(std::min(limit, 10000)),
                               [&] { return !silent_ || cancelled_; });
                cancelled_ = false;
                if (received) *received = 0;
                return hx::usb::kUsbTimeout;
            }
        }
        if (pipe == hx::usb::kBulkInPipe && unplugNext_.exchange(false)) {
            // The first part of the frame arrives, then the cable is gone.
            int got = 0;
            SimCamera::readPipe(pipe, buffer, std::max(length / 2, 1), &got);
            unplug();
            if (received) *received = got;
            return hx::usb::kUsbNoDevice;
        }
        return SimCamera::readPipe(pipe, buffer, length, received);
    }

private:
    std::mutex m_;
    std::condition_variable wake_;
    bool silent_ = false;
    bool cancelled_ = false;
    std::atomic<bool> unplugNext_{false};
    std::atomic<int> timeoutMs_{0};
};

constexpr size_t kGuard = 4096;
constexpr unsigned char kGuardByte = 0xA5;

/// One variant at one depth, opened on its own faulty device.
struct Rig {
    std::shared_ptr<FaultyCamera> device;
    hxfuzz::OpenCamera open;
    bool ready = false;

    Rig(const CameraVariant& v, int bits) {
        device = std::make_shared<FaultyCamera>(v.productId, v.bcdDevice);
        open = hxfuzz::openCamera(v, device);
        if (!open.camera) return;
        CamBase& cam = *open.camera;
        cam._sensor_resume();
        // The smallest item keeps the frames small; 16 bits may need a slower clock.
        cam._set_resolution(cam._resolution_count() - 1, true);
        cam._set_exposure(1.0f);
        if (bits == 16) {
            for (int clock = 0; clock < cam._pixsclock_count(); ++clock) {
                if (cam._raw_depth_state(clock) != 0) continue;
                cam._set_pixsclock(clock);
                break;
            }
            if (cam._set_raw_depth(16) != 0 || cam._raw_depth() != 16) return;
        }
        ready = true;
    }

    /// One read into a buffer of exactly the camera's size followed by guard bytes.
    int read(bool* guardIntact) {
        CamBase& cam = *open.camera;
        const size_t size = static_cast<size_t>(cam._body());
        std::vector<unsigned char> buffer(size + kGuard, kGuardByte);
        const int r = cam._raw_data(buffer.data(), static_cast<int>(size));
        *guardIntact = std::all_of(buffer.begin() + static_cast<long>(size), buffer.end(),
                                   [](unsigned char b) { return b == kGuardByte; });
        return r;
    }
};

/// The outcome of one fault: the status of the faulty read, whether the guard held on every
/// read, and the status of the reads after it.
struct Outcome {
    int status = 99;
    bool guardIntact = true;
    std::vector<int> after;
};

Outcome inject(Rig& rig, Fault fault) {
    FaultyCamera& device = *rig.device;
    Outcome out;
    switch (fault) {
    case Fault::StallControl:
        device.stallPipe(0, 1);
        break;
    case Fault::StallBulk:
        device.stallPipe(1, 1);
        break;
    case Fault::ShortTransfer:
        device.shortenNextTransfer(1);
        break;
    case Fault::LongTransfer:
        device.lengthenNextTransfer(700);
        break;
    case Fault::MissingMarker:
        device.omitNextMarker();
        break;
    case Fault::StrayHead:
        device.strayHeadAtBlock(3);
        break;
    case Fault::UnplugMidTransfer:
        device.unplugDuringNextRead();
        break;
    case Fault::StopsSending:
        device.goSilent(true);
        break;
    }
    bool intact = true;
    out.status = rig.read(&intact);
    out.guardIntact = intact;
    device.goSilent(false);
    // The stream goes on: a whole frame within three reads (a long transfer leaves its
    // surplus in the pipe, which the next read may take for a frame of the wrong length).
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int r = rig.read(&intact);
        out.guardIntact = out.guardIntact && intact;
        out.after.push_back(r);
        if (r == 0 || r == 1 || fault == Fault::UnplugMidTransfer) break;
    }
    return out;
}

std::string describe(const CameraVariant& v, int bits, Fault f) {
    char text[96];
    std::snprintf(text, sizeof text, "product 0x%04X bcd 0x%04X, %d bits, %s", v.productId,
                  v.bcdDevice, bits, faultName(f));
    return text;
}

/// Checks one outcome; the status of the faulty read must be one a caller understands.
void expectSound(const Outcome& o, Fault fault, const std::string& what) {
    EXPECT_TRUE(o.guardIntact) << what << ": wrote past the buffer";
    EXPECT_TRUE(o.status == 0 || o.status == 1 || o.status == -3) << what << ": " << o.status;
    ASSERT_FALSE(o.after.empty()) << what;
    if (fault == Fault::UnplugMidTransfer) {
        EXPECT_EQ(o.status, -3) << what;
        EXPECT_EQ(o.after.back(), -3) << what << ": a gone camera delivered a frame";
        return;
    }
    if (fault == Fault::StallBulk || fault == Fault::StopsSending) {
        EXPECT_EQ(o.status, -3) << what;
    }
    EXPECT_TRUE(o.after.back() == 0 || o.after.back() == 1)
        << what << ": no whole frame after the fault (" << o.after.back() << ")";
}

constexpr Fault kQuickFaults[] = {Fault::StallControl, Fault::StallBulk,     Fault::ShortTransfer,
                                  Fault::LongTransfer, Fault::MissingMarker, Fault::StrayHead};

} // namespace

TEST(FaultMatrix, EveryFaultOnEveryReadOutGivesAStatusAndTheStreamGoesOn) {
    int cases = 0;
    for (const CameraVariant& v : kVariants) {
        for (int bits : {8, 16}) {
            Rig rig(v, bits);
            ASSERT_TRUE(rig.open.camera) << describe(v, bits, Fault::StallControl);
            if (!rig.ready) continue; // no 16-bit read-out on this camera
            bool intact = true;
            ASSERT_EQ(rig.read(&intact), 0) << describe(v, bits, Fault::StallControl);
            for (Fault fault : kQuickFaults) {
                const std::string what = describe(v, bits, fault);
                expectSound(inject(rig, fault), fault, what);
                ++cases;
            }
            const std::string what = describe(v, bits, Fault::UnplugMidTransfer);
            expectSound(inject(rig, Fault::UnplugMidTransfer), Fault::UnplugMidTransfer, what);
            ++cases;
        }
    }
    std::printf("fault matrix: %d cases\n", cases);
}

/// A silent camera is given up on only when its frame is overdue (seconds), so every variant
/// waits at the same time, each on a thread of its own.
TEST(FaultMatrix, ACameraThatStopsSendingIsGivenUpOnAndComesBack) {
    std::vector<std::thread> threads;
    std::mutex lock;
    std::vector<std::pair<std::string, Outcome>> outcomes;
    for (const CameraVariant& v : kVariants) {
        threads.emplace_back([&, v] {
            for (int bits : {8, 16}) {
                Rig rig(v, bits);
                if (!rig.open.camera || !rig.ready) continue;
                Outcome o = inject(rig, Fault::StopsSending);
                std::lock_guard guard(lock);
                outcomes.emplace_back(describe(v, bits, Fault::StopsSending), std::move(o));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_GE(outcomes.size(), std::size(kVariants));
    for (const auto& [what, o] : outcomes) expectSound(o, Fault::StopsSending, what);
    std::printf("fault matrix: %zu cases\n", outcomes.size());
}
