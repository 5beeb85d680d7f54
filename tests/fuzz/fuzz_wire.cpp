// Hostile bulk data through every read-out family: the frames a simulated camera sends, cut,
// lengthened, patched or replaced by arbitrary bytes. A read gives a status, never writes past
// the caller's buffer, a frame it accepts converts, and clean frames arrive again afterwards.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "FuzzCameras.h"
#include "FuzzSupport.h"
#include "sim/SensorProfile.h"
#include "usb/UsbDevice.h"

namespace {

/// A simulated camera whose next bulk transfers are rewritten by the input.
class HostileCamera : public hx::sim::SimCamera {
public:
    HostileCamera(uint16_t productId, uint16_t bcd)
        : SimCamera(
              hx::sim::findSensorProfile(productId, bcd),
              hx::sim::makeWireFormat(
                  productId, bcd ? bcd : hx::sim::findSensorProfile(productId, bcd).bcdDevice),
              bcd ? bcd : hx::sim::findSensorProfile(productId, bcd).bcdDevice,
              hxfuzz::quickRendering()) {}

    void rewrite(bool replace, std::vector<uint8_t> bytes) {
        std::lock_guard lock(m_);
        replace_ = replace;
        bytes_ = std::move(bytes);
        armed_ = true;
    }
    void clean() {
        std::lock_guard lock(m_);
        armed_ = false;
    }

    int readPipe(int pipe, unsigned char* buffer, int length, int* received) override {
        const int result = SimCamera::readPipe(pipe, buffer, length, received);
        std::lock_guard lock(m_);
        if (pipe != hx::usb::kBulkInPipe || !armed_ || !received || *received <= 0 || !buffer)
            return result;
        const size_t n = static_cast<size_t>(*received);
        if (replace_) {
            if (!bytes_.empty())
                for (size_t i = 0; i < n; ++i) buffer[i] = bytes_[i % bytes_.size()];
        } else {
            // Patches of four bytes: a 23-bit offset (from the end when bit 23 is set), a value.
            for (size_t p = 0; p + 4 <= bytes_.size(); p += 4) {
                const uint32_t raw = bytes_[p] | (bytes_[p + 1] << 8) | (bytes_[p + 2] << 16);
                const size_t offset = (raw & 0x7FFFFF) % n;
                buffer[(raw & 0x800000) ? n - 1 - offset : offset] = bytes_[p + 3];
            }
        }
        return result;
    }

private:
    std::mutex m_;
    bool armed_ = false;
    bool replace_ = false;
    std::vector<uint8_t> bytes_;
};

struct Rig {
    std::shared_ptr<HostileCamera> device;
    hxfuzz::OpenCamera open;
};

Rig* rigFor(int which) {
    static std::map<int, Rig> rigs;
    auto it = rigs.find(which);
    if (it == rigs.end()) {
        const hxfuzz::CameraVariant& v = hxfuzz::kVariants[which];
        Rig rig;
        rig.device = std::make_shared<HostileCamera>(v.productId, v.bcdDevice);
        rig.open = hxfuzz::openCamera(v, rig.device);
        if (rig.open.camera) rig.open.camera->_sensor_resume();
        it = rigs.emplace(which, std::move(rig)).first;
    }
    return it->second.open.camera ? &it->second : nullptr;
}

/// A read's status: a frame (0), a marked frame (1), or a refusal; nothing else.
bool knownStatus(int r) {
    return r == 0 || r == 1 || r == -2 || r == -3 || r == 5 || r == -5;
}

int readAndConvert(CamBase& cam) {
    // Exactly the size the camera asks for: anything written past it is caught.
    std::vector<unsigned char> raw(static_cast<size_t>(cam._body()));
    const int r = cam._raw_data(raw.data(), static_cast<int>(raw.size()));
    hxfuzz::check(knownStatus(r), "a frame read gave an unknown status");
    if (r == 0 || r == 1) {
        std::vector<unsigned char> image(raw.size() * 3 + 8192);
        const int c = cam._raw2image(raw.data(), image.data(), true);
        hxfuzz::check(c == 0, "an accepted frame does not convert");
    }
    return r;
}

} // namespace

/// Input: variant, mode (bit 0: 16 bits, bits 1-2: resolution from the smallest, bit 3: the
/// snapshot button, bit 4: replace the transfer by the payload, bit 5: a region), a signed
/// 16-bit length change, then the payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    Rig* rig = rigFor(data[0] % hxfuzz::kVariantCount);
    if (!rig) return 0;
    CamBase& cam = *rig->open.camera;
    HostileCamera& device = *rig->device;
    const uint8_t mode = data[1];
    const int change = static_cast<int16_t>(data[2] | (data[3] << 8));

    const int count = cam._resolution_count();
    cam._set_resolution(std::max(count - 1 - ((mode >> 1) & 3), 0), true);
    if (mode & 1) {
        for (int clock = 0; clock < cam._pixsclock_count(); ++clock)
            if (cam._raw_depth_state(clock) == 0) {
                cam._set_pixsclock(clock);
                break;
            }
    }
    cam._set_raw_depth((mode & 1) ? 16 : 8);
    if (mode & 0x20) cam._set_roi(8, 4, 64, 32);
    if (mode & 8) device.pressSnapshotButton();
    if (change > 0) device.lengthenNextTransfer(change);
    if (change < 0) device.shortenNextTransfer(-change);
    device.rewrite((mode & 0x10) != 0, std::vector<uint8_t>(data + 4, data + size));
    readAndConvert(cam);
    device.clean();

    // The stream recovers: a whole frame within the next three reads. The surplus of a long
    // transfer waits in the pipe also when the frame before it was accepted, and the next
    // read may take it for a frame of the wrong length (as in the fault matrix).
    bool whole = false;
    for (int attempt = 0; attempt < 3 && !whole; ++attempt) {
        const int r = readAndConvert(cam);
        whole = r == 0 || r == 1;
    }
    hxfuzz::check(whole, "no whole frame after a hostile one");
    cam._set_roi_state(false);
    return 0;
}

extern "C" int HalvexFuzzSeeds(const char* dir) {
    // One clean frame per variant (frames are large; the fuzzer finds the faults itself), and
    // a few faults on the first CCD and CMOS variants.
    bool ok = true;
    for (int v = 0; v < hxfuzz::kVariantCount; ++v)
        ok &= hxfuzz::seed(dir, "variant-" + std::to_string(v), {static_cast<uint8_t>(v), 0, 0, 0});
    ok &= hxfuzz::seed(dir, "ccd-16bit-patched", {0, 1, 0, 0, 0, 0, 0, 0x88, 3, 0, 0x80, 0xCC});
    ok &= hxfuzz::seed(dir, "cmos-short-marked", {6, 8, 0xFF, 0xFF});
    ok &= hxfuzz::seed(dir, "cmos-heads", {11, 0x10, 0, 0, 0x88});
    return ok ? 0 : 1;
}
