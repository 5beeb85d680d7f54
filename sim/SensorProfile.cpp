#include "sim/SensorProfile.h"

#include <map>
#include <mutex>
#include <utility>

namespace hx::sim {

namespace {

/// The 2-megapixel register-sensor colour camera (head-marker and end-marker variants).
SensorProfile twoMegapixelColour(const char* name, uint16_t productId) {
    SensorProfile p;
    p.name = name;
    p.productId = productId;
    p.bcdDevice = 0x0100;
    p.resolutions = {
        {0xC0, 1948, 1920000, 1600, 1200, 0},
        {0xC1, 800, 479744, 800, 600, 0},
        {0xC2, 748, 119808, 400, 300, 0},
    };
    p.clocks = {{0xA0, 48000}, {0xA1, 24000}};
    p.gainRegister = 0x2F;
    p.exposureRegister = 0x09;
    p.longExposureRegister = 0;
    p.blackLevelRegister = 0x02;
    p.bayer = 3;
    p.gainLaw = GainLaw::Bits7x2x2;
    p.initialGainRegister = 61; // user gain 30
    p.exposureLaw = ExposureLaw::Lines;
    p.periodLines = 6000;
    p.initialExposureLines = 300;
    p.hasCooler = false;
    return p;
}

/// Any other product id of the vendor: a colour sensor that takes every request.
SensorProfile genericProfile(uint16_t productId, uint16_t bcdDevice) {
    SensorProfile p;
    p.name = "generic";
    p.productId = productId;
    p.bcdDevice = bcdDevice ? bcdDevice : 0x0100;
    p.resolutions = {
        {0xC0, 1948, 0, 1600, 1200, 0},
        {0xC1, 800, 0, 800, 600, 0},
        {0xC2, 748, 0, 400, 300, 0},
    };
    p.clocks = {{0xA0, 48000}, {0xA1, 24000}, {0xA2, 12000}};
    p.bayer = 3;
    p.gainLaw = GainLaw::Linear;
    p.gainUnity = 32;
    p.initialGainRegister = 32;
    p.hasCooler = true;
    return p;
}

struct Registry {
    std::mutex mutex;
    std::map<std::pair<uint16_t, int>, SensorProfile> profiles; // bcdDevice -1: any

    Registry() {
        profiles[{0xC811, -1}] = twoMegapixelColour("VAo200C1", 0xC811);
        profiles[{0xA811, -1}] = twoMegapixelColour("VAh200C1", 0xA811);
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

} // namespace

SensorProfile findSensorProfile(uint16_t productId, uint16_t bcdDevice) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.profiles.find({productId, int(bcdDevice)});
    if (it == r.profiles.end()) it = r.profiles.find({productId, -1});
    if (it != r.profiles.end()) {
        SensorProfile p = it->second;
        if (bcdDevice) p.bcdDevice = bcdDevice;
        return p;
    }
    return genericProfile(productId, bcdDevice);
}

void registerSensorProfile(const SensorProfile& profile, bool anyBcd) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.profiles[{profile.productId, anyBcd ? -1 : int(profile.bcdDevice)}] = profile;
}

} // namespace hx::sim
