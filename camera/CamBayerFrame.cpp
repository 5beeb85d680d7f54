// The base camera's frame read: one raw frame from the bulk pipe into the caller's buffer,
// checked by its head markers and described by an image record in its head; automatic exposure.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "algorithms/algorithms.h"
#include "camera/CamBayer.h"

namespace {

constexpr unsigned char kHeadByte = 0x88;
constexpr int kHeadBytes = 10;

bool startsWithHead(const unsigned char* p) {
    for (int i = 0; i < kHeadBytes; ++i)
        if (p[i] != kHeadByte) return false;
    return true;
}

/// What a frame may take beyond its exposure and read-out: the camera's own delays and a busy
/// bus. And the slowest bulk rate worth waiting for, in bytes per millisecond (20 MB/s, half
/// of what USB 2.0 delivers in practice).
constexpr double kFrameMarginMs = 2000.0;
constexpr double kSlowestBulkBytesPerMs = 20000.0;

} // namespace

// ---- reads in progress and what ends them ----------------------------------------------------

CamBayer::FrameRead::FrameRead(CamBayer& camera) : camera_(camera) {
    std::lock_guard gate(camera_.readGateMutex);
    if (camera_.cancelPending) {
        camera_.cancelPending = false;
        ended_ = true;
        return;
    }
    if (camera_.readsClosed || camera_.state.load() != kStateRunning) {
        ended_ = true;
        return;
    }
    ++camera_.readsInProgress;
    cancels_ = camera_.readCancels;
}

/// The last read to leave drops a device cancel that arrived after its transfer had ended, so
/// that it cannot end the next read.
CamBayer::FrameRead::~FrameRead() {
    if (ended_) return;
    std::lock_guard gate(camera_.readGateMutex);
    if (--camera_.readsInProgress == 0 && camera_.deviceCancelArmed) {
        camera_.deviceCancelArmed = false;
        if (camera_.usbDevice) camera_.usbDevice->clearReadCancel();
    }
}

int CamBayer::FrameRead::finish(int result) const {
    if (ended_) return -3;
    std::lock_guard gate(camera_.readGateMutex);
    return camera_.readCancels != cancels_ ? -3 : result;
}

void CamBayer::endReadsInProgress() {
    if (readsInProgress == 0) return;
    ++readCancels;
    if (usbDevice) {
        usbDevice->cancelRead();
        deviceCancelArmed = true;
    }
}

/// A cancel with no read in progress waits for the next read, so that a cancel racing the start
/// of a read is never lost; suspending and resuming forget it.
int CamBayer::_end_read(ReadEnd how) {
    std::lock_guard gate(readGateMutex);
    switch (how) {
    case ReadEnd::Cancel:
        if (readsInProgress > 0)
            endReadsInProgress();
        else
            cancelPending = true;
        break;
    case ReadEnd::Suspend:
        cancelPending = false;
        endReadsInProgress();
        break;
    case ReadEnd::Resume:
        cancelPending = false;
        break;
    case ReadEnd::Shutdown:
        readsClosed = true;
        cancelPending = false;
        endReadsInProgress();
        break;
    }
    return 0;
}

int CamBayer::frameTimeoutMs() {
    const double exposureMs = std::max(static_cast<double>(_exposure()), 0.0);
    double readoutMs = 0.0, bytes = 0.0;
    {
        Lock lock(settingsLock);
        if (resolution.table && lineClock > 0) {
            const ResolutionItem& item = resItem(resolution.value);
            readoutMs = static_cast<double>(item.sensorHeight) * lineLength / lineClock;
            bytes = static_cast<double>(item.sensorWidth) * item.sensorHeight * rawDepth.value / 8;
        }
    }
    const double ms = exposureMs + readoutMs + bytes / kSlowestBulkBytesPerMs + kFrameMarginMs;
    return static_cast<int>(std::min(ms, 2.0e9));
}

/// Reads one frame. The settings it needs are taken under the lock; the wait on the bulk pipe
/// runs without it, so setters never wait for a frame. Returns 0, -2 for a buffer smaller than
/// the frame, -3 for a failed, overdue or ended transfer (the camera gone, removed, stopped or
/// stalled) or a frame that fails its checks. The frame is acknowledged whatever the transfer
/// brought, so that a camera waiting for the acknowledge goes on to the next frame.
int CamBayer::_raw_data(unsigned char* buffer, int size) {
    return guardedRead([&] { return readHeadMarkerFrame(buffer, size); });
}

int CamBayer::readHeadMarkerFrame(unsigned char* buffer, int size) {
    int width = 0, height = 0, bits = 8, head = 512, block = 512, index = 0;
    PendingMode mode(*this);
    {
        Lock lock(settingsLock);
        mode.take();
        if (!resolution.table) return -3;
        if (hardwareWindow.load()) {
            width = roiSize.wValue;
            height = roiSize.wIndex;
        } else {
            width = resItem(resolution.value).sensorWidth;
            height = resItem(resolution.value).sensorHeight;
        }
        bits = rawDepth.value;
        head = headLength;
        block = blockSize > 0 ? blockSize : 1;
        index = resolution.value;
    }
    const long long extent = static_cast<long long>(width) * height * bits / 8 + head;
    const long long total = extent - extent % block;
    // The record describes every pixel, also those past the last whole block: the buffer must
    // hold them all, or the steps after the read would run past its end.
    if (!buffer || total > size || extent > size) return -2;
    if (readAborted()) return -3;

    mode.send();
    int received = 0;
    const bool transferred = readBulk(buffer, static_cast<int>(total), &received) == 0;
    EZURB ack = frameAck;
    _sumbit_ctl_urb(1000, 1, &ack);
    if (!transferred) return -3;

    received = std::clamp(received, 0, static_cast<int>(total));
    const int blocks = received / block;
    // A transfer too short to hold a head marker carries no frame.
    if (received < kHeadBytes) return -3;
    if (descriptor.bcdDevice != 0xA001 && !startsWithHead(buffer)) return -3;

    auto* image = reinterpret_cast<_ezImage*>(buffer);
    ezInitImageHeader(image, width, height, 1, bits, head, buffer + head,
                      static_cast<unsigned char>(index), 0);
    if (block >= kHeadBytes) {
        for (int b = 1; b < blocks; ++b)
            if (startsWithHead(buffer + static_cast<size_t>(b) * block)) return -3;
    }
    postProcessFrame(image, 3);
    return 0;
}

void CamBayer::postProcessFrame(_ezImage* image, int every) {
    if (!image) return;
    if (image->depth == 16) __rmac(image, 0);
    if (roiState.load()) cropToRegion(image);
    if (autoExposure.load()) _calc_auto_exposure(image, every);
}

/// Stores the asynchronous read registration; -2 (stored all the same) when the buffer is
/// smaller than one frame needs.
int CamBayer::_raw_data_asyn(void* (*callback)(unsigned char*), unsigned char* buffer, int size) {
    Lock lock(settingsLock);
    asyncCallback = callback;
    asyncBuffer = buffer;
    asyncSize = size;
    asyncEnabled = true;
    return size >= receiveSize ? 0 : -2;
}

/// Automatic exposure on a one-channel raw frame (high byte of 16-bit samples): when the mean
/// is more than 16 away from the target, scales the exposure time by target / mean, at most
/// 300 ms. With every > 0 it computes on every every-th call.
int CamBayer::_calc_auto_exposure(_ezImage* image, int every) {
    if (!image || !image->data) return -2;
    const long long pixels = static_cast<long long>(image->width) * image->height;
    if (pixels <= 0 || (image->depth != 8 && image->depth != 16)) return -2;
    {
        Lock lock(settingsLock);
        if (every != 0 && frameCounter % every != 0) {
            ++frameCounter;
            return 0;
        }
    }
    unsigned long long sum = 0;
    const unsigned char* p = image->data;
    if (image->depth == 16) {
        for (long long i = 0; i < pixels; ++i) sum += p[2 * i + 1];
    } else {
        for (long long i = 0; i < pixels; ++i) sum += p[i];
    }
    const int mean = std::max(static_cast<int>(sum / static_cast<unsigned long long>(pixels)), 10);

    Lock lock(settingsLock);
    const int target = software[kSwAeTarget].value;
    if (std::abs(mean - target) > 16 && lineClock > 0) {
        const float lines = static_cast<float>(longExposure.value) * exposure.max + exposure.value;
        const float time = lines * static_cast<float>(lineLength) / static_cast<float>(lineClock);
        const float next =
            std::min(static_cast<float>(target) * time / static_cast<float>(mean), 300.0f);
        _set_exposure(next);
    }
    if (every != 0) frameCounter = 1;
    return 0;
}
