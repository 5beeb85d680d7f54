#include "camera/CamDerive/VD.h"

std::atomic<int> cntVDo205M1{1}, cntVDh205M1{1}, cntVDh205C1{1}, cntVDo285M1{1}, cntVDh285M1{1},
    cntVDh285C1{1}, cntVDh674C1{1}, cntVDh674M1{1}, cntVDh687M1{1}, cntVDh694M1{1}, cntVDh694C1{1},
    cntVDo282C1{1}, cntVDh282C1{1};

namespace {

constexpr RegisterMap kRegsVD{0x01, 0x63, 0x62, 0x02};

constexpr ModelSpec kVDo205M1{1,
                              0,
                              kRegsVD,
                              resTable(VDo205M1Res),
                              clkTable(VDo205M1Clk, 0, 1),
                              kDepth8Or16On,
                              {297, 170, 1023, 297, true},
                              {300, 1, 1068, 30, true},
                              {0, 0, 4000, 0, true},
                              {0, 0, 1023, 0, true},
                              ReceiveRule::Double,
                              0};

constexpr ModelSpec kVDo282C1{3,
                              4,
                              kRegsVD,
                              resTable(VDo282C1Res),
                              clkTable(VDo282C1Clk, 0, 1),
                              kDepth8Or16On,
                              {297, 188, 1023, 200, true},
                              {300, 18, 1060, 30, true},
                              {0, 0, 300, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr ModelSpec kVDh282C1{3,
                              4,
                              kRegsVD,
                              resTable(VDo282C1Res),
                              clkTable(VDo282C1Clk, 0, 1),
                              kDepth8Or16On,
                              {297, 188, 1023, 200, true},
                              {300, 18, 1060, 300, true},
                              {0, 0, 4000, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr ModelSpec kVDo285M1{1,
                              0,
                              kRegsVD,
                              resTable(VDo285M1Res),
                              clkTable(VDo285M1Clk, 0, 0),
                              kDepth8Or16On,
                              {85, 1, 1023, 85, true},
                              {300, 1, 1068, 30, true},
                              {0, 0, 4000, 0, true},
                              {0, 0, 255, 0, true},
                              ReceiveRule::Double,
                              0};

constexpr int kColourSaturation = 100;

/// Hardware generations whose camera bins itself and reads its temperature.
constexpr bool binsInCamera(uint16_t bcd) {
    return bcd == 0xA001 || bcd == 0xA004;
}

constexpr uint16_t gainLawDirect(int g) {
    return static_cast<uint16_t>(g);
}

} // namespace

// ---- VDo205M1, VDh205M1, VDh205C1 ------------------------------------------------------------

VDo205M1::VDo205M1() {
    nameModel("VDo205M1.", cntVDo205M1);
    buildModel(kVDo205M1);
}

int VDo205M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

VDh205M1::VDh205M1() {
    nameModel("VDh205M1.", cntVDh205M1);
}

VDh205C1::VDh205C1() {
    nameModel("VDh205C1.", cntVDh205C1);
    Lock lock(settingsLock);
    channels = 3;
    bayerPattern = 4;
    applyResolutionTable(resTable(VDh205C1Res));
    applyClockTable(clkTable(VDh205C1Clk, 0, 1));
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    ensureColourSettings(kColourSaturation);
}

// ---- VDo282C1, VDh282C1 ----------------------------------------------------------------------

VDo282C1::VDo282C1() {
    nameModel("VDo282C1.", cntVDo282C1);
    buildModel(kVDo282C1);
}

int VDo282C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

VDh282C1::VDh282C1() {
    nameModel("VDh282C1.", cntVDh282C1);
    buildModel(kVDh282C1);
}

int VDh282C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

// ---- VDo285M1 and the cameras built on it ----------------------------------------------------

VDo285M1::VDo285M1() {
    nameModel("VDo285M1.", cntVDo285M1);
    buildModel(kVDo285M1);
}

int VDo285M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

VDh285M1::VDh285M1() {
    nameModel("VDh285M1.", cntVDh285M1);
}

VDh285C1::VDh285C1() {
    nameModel("VDh285C1.", cntVDh285C1);
    Lock lock(settingsLock);
    channels = 3;
    bayerPattern = 4;
    applyResolutionTable(resTable(VDh285C1Res, 1));
    applyClockTable(clkTable(VDh285C1Clk, 0, 0));
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    ensureColourSettings(kColourSaturation);
}

/// The colour 674 sensor; edge inhibition starts on.
VDh674C1::VDh674C1() {
    nameModel("VDh674C1.", cntVDh674C1);
    Lock lock(settingsLock);
    channels = 3;
    bayerPattern = 3;
    applyResolutionTable(resTable(VDh674C1Res));
    applyClockTable(clkTable(VDh674C1Clk, 0, 0));
    applyValue(analogGain, {80, 1, 1023, 80, true});
    applyValue(exposure, {300, 1, 1521, 30, true});
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    controlPortState = kEdgeInhibitionOn;
    _retime();
    ensureColourSettings(kColourSaturation);
}

/// Generations 0xA001 and 0xA004 bin in the camera and offer the faster clock table.
int VDh674M1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh674M1.", cntVDh674M1);
    if (binsInCamera(bcdDevice())) {
        applyResolutionTable(resTable(VDh674M1V1Res));
        applyClockTable(clkTable(VDh674M1Clk2, 1, 1));
    } else {
        applyResolutionTable(resTable(VDh674M1V0Res));
        applyClockTable(clkTable(VDh674M1Clk, 0, 0));
    }
    applyValue(analogGain, {80, 1, 1023, 80, true});
    applyValue(exposure, {300, 1, 1521, 30, true});
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOff;
    return 0;
}

/// Generation 0xA001 bins in the camera; edge inhibition stays on, the cooler untouched.
int VDh687M1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh687M1.", cntVDh687M1);
    if (bcdDevice() == 0xA001) {
        applyResolutionTable(resTable(VDh687M1V1Res));
        applyClockTable(clkTable(VDh687M1Clk2, 1, 1));
    } else {
        applyResolutionTable(resTable(VDh687M1Res));
        applyClockTable(clkTable(VDh687M1Clk, 0, 0));
    }
    applyValue(analogGain, {256, 1, 1023, 256, true});
    applyValue(exposure, {300, 1, 2261, 30, true});
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOn;
    return 0;
}

/// Other generations keep the VDo285M1 tables of construction.
int VDh694M1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh694M1.", cntVDh694M1);
    if (binsInCamera(bcdDevice())) {
        applyResolutionTable(resTable(VDh694M1V1Res));
        applyClockTable(clkTable(VDh694M1Clk, 1, 1));
    }
    applyValue(analogGain, {80, 1, 1023, 80, true});
    applyValue(exposure, {300, 1, 2261, 30, true});
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOff;
    return 0;
}

VDh694C1::VDh694C1() {
    Lock lock(settingsLock);
    ensureColourSettings(kColourSaturation);
}

/// Generation 0xA001 has the colour modes of its own; others keep the monochrome tables.
int VDh694C1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh694C1.", cntVDh694C1);
    channels = 3;
    bayerPattern = 4;
    if (bcdDevice() == 0xA001) {
        applyResolutionTable(resTable(VDh694C1V1Res));
        applyClockTable(clkTable(VDh94C1Clk, 0, 0));
    }
    applyValue(analogGain, {256, 1, 1023, 256, true});
    applyValue(exposure, {300, 1, 2261, 30, true});
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOff;
    return 0;
}
