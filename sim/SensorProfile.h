// What distinguishes one simulated camera model from another, as data: resolution and clock
// tables, sensor registers, gain law, colour filter and the sensor's physical constants.
// Built-in profiles are listed in the registry constructor in SensorProfile.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hx::sim {

/// One resolution item: the mode code the camera accepts in wValue of request 0xB4.
struct SimResolution {
    uint8_t code = 0;        ///< wValue (low byte) of the resolution request
    uint16_t lineLength = 0; ///< sensor line length in pixel clocks
    uint32_t frameBytes =
        0; ///< pixel bytes the camera sends for one 8-bit frame (0: width x height)
    uint16_t sensorWidth = 0;  ///< columns delivered
    uint16_t sensorHeight = 0; ///< rows delivered
    uint32_t periodLines = 0;  ///< lines of one exposure period in this mode (0: profile default)
};

/// One pixel-clock item: the code the camera accepts in wValue of request 0xB5.
struct SimClock {
    uint8_t code = 0;
    uint32_t rateKHz = 0;
};

/// How the camera turns its register values into a linear analog gain.
enum class GainLaw {
    Linear,       ///< gain = register / gainUnity
    Bits7x2x2,    ///< gain = (reg & 0x7F) / 32, doubled by bit 7 and again by bit 8
    Coarse3FFine, ///< reg < 64: reg / 8; else low byte 0x3F (8x) times (1 + high byte / 8)
};

/// How the exposure registers written with 0xB7 combine into a total line count.
enum class ExposureLaw {
    Lines,   ///< the exposure register holds the line count
    Periods, ///< total = long register x period lines + exposure register
    HighLow, ///< exposure register holds bits 16-31, long register bits 0-15
};

/// A simulated camera model. Built-in profiles exist for some product ids; every other
/// product id of the vendor gets the generic profile.
struct SensorProfile {
    std::string name; ///< model name, for diagnostics
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;                 ///< reported when makeSimCamera is given bcdDevice 0
    std::vector<SimResolution> resolutions; ///< index 0 is the full sensor
    std::vector<SimClock> clocks;
    int initialResolution = 0; ///< item in force at power-on
    int initialClock = 0;      ///< item in force at power-on
    uint16_t gainRegister = 0x35;
    uint16_t exposureRegister = 0x09;
    uint16_t longExposureRegister = 0; ///< 0: none
    uint16_t blackLevelRegister = 0x02;
    int bayer = 0; ///< 0 monochrome, 1 BGGR, 2 GBRG, 3 RGGB, 4 GRBG
    GainLaw gainLaw = GainLaw::Linear;
    double gainUnity = 32.0; ///< register value of gain 1 for GainLaw::Linear
    uint16_t initialGainRegister = 32;
    ExposureLaw exposureLaw = ExposureLaw::Lines;
    uint32_t periodLines = 65535; ///< default lines per exposure period
    uint32_t initialExposureLines = 300;
    int blackLevelZero = 0;           ///< register value at which nothing is subtracted
    double blackLevelStep = 64;       ///< 16-bit counts removed per black-level register step
    int16_t firmwareVersion = 0x0102; ///< first two bytes of the version reply
    bool hasCooler = false;           ///< temperature follows the cooler (control port index 1)
    // Physics, in electrons and 16-bit counts.
    double fluxPerMs = 700.0;  ///< electrons per millisecond at full scene radiance, gain 1
    double fullWell = 20000.0; ///< electrons that fill the 16-bit range at gain 1
    double readNoise = 8.0;    ///< electrons rms
    double darkCurrent = 20.0; ///< electrons per second per pixel at 25 degrees
    double pedestal = 1024.0;  ///< 16-bit counts added before the black level is taken off
    double hotPixelFraction = 1.0 / 4000.0; ///< fraction of pixels with strong dark current
};

/// The exact profile for a product id (and bcdDevice when it matters), or the generic profile.
SensorProfile findSensorProfile(uint16_t productId, uint16_t bcdDevice);

/// Adds or replaces a profile; later makeSimCamera calls with this product id (and bcdDevice,
/// when anyBcd is false) use it.
void registerSensorProfile(const SensorProfile& profile, bool anyBcd = true);

} // namespace hx::sim
