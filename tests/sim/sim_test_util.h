// Helpers for driving a simulated camera the way the camera layer does.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/SimCamera.h"

namespace simtest {

using hx::sim::SimCamera;

/// Sends one out request without data stage; returns the transport result.
inline int send(SimCamera& cam, uint8_t request, uint16_t value = 0, uint16_t index = 0) {
    EZURB urb{0x40, request, value, index, 0, nullptr, 0};
    return cam.controlRequest(urb);
}

/// Sends one in request with a 64-byte data stage into reply.
inline int query(SimCamera& cam, uint8_t request, uint16_t value, uint16_t index,
                 std::vector<uint8_t>& reply) {
    reply.assign(64, 0);
    EZURB urb{0xC0, request, value, index, 64, reply.data(), 0};
    return cam.controlRequest(urb);
}

/// Opens the camera and starts the sensor.
inline void start(SimCamera& cam) {
    cam.open();
    cam.claimInterface();
    send(cam, 0xBA);
}

struct Read {
    int result = 0;
    int received = 0;
    std::vector<uint8_t> bytes;
};

/// One bulk read of up to `length` bytes, followed by the frame acknowledge when asked.
inline Read readFrame(SimCamera& cam, size_t length = 8u << 20, bool ack = true) {
    Read r;
    r.bytes.assign(length, 0);
    r.result = cam.readPipe(1, r.bytes.data(), int(length), &r.received);
    r.bytes.resize(size_t(r.received));
    if (ack) send(cam, 0xB3);
    return r;
}

/// Noise-free, still scene for measurements.
inline hx::sim::SimOptions quiet(hx::sim::SimScene scene = hx::sim::SimScene::Flat) {
    hx::sim::SimOptions o;
    o.scene = scene;
    o.noise = false;
    o.motion = false;
    o.hotPixels = false;
    o.vignetting = false;
    return o;
}

/// Mean of the 8-bit samples after a 512-byte head.
inline double mean8(const Read& r) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 512; i < r.bytes.size(); ++i, ++n) sum += r.bytes[i];
    return n ? sum / double(n) : 0;
}

/// Mean of the big-endian 16-bit samples after a 512-byte head.
inline double mean16(const Read& r) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 512; i + 1 < r.bytes.size(); i += 2, ++n)
        sum += double((r.bytes[i] << 8) | r.bytes[i + 1]);
    return n ? sum / double(n) : 0;
}

} // namespace simtest
