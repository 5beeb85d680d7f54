#include "camera/CamDerive/VS.h"

std::atomic<int> cntVSo035M1{1}, cntVSh035M1{1}, cntVSo035C1{1}, cntVSh035C1{1}, cntVS200C1{1},
    cntVSo036C1{1}, cntVSh036C1{1};

namespace {

constexpr RegisterMap kRegsVS{0x01, 0x03, 0x04, 0x02};
constexpr RegisterMap kRegsVS200{0xA0, 0xA2, 0xA3, 0xA1};

constexpr ModelSpec kVSo035M1{1,
                              0,
                              kRegsVS,
                              resTable(VSo035M1Res),
                              clkTable(VSo035M1Clk, 0, 1),
                              kDepth8Or16On,
                              {30, 1, 119, 30, true},
                              {300, 1, 1080, 30, true},
                              {0, 0, 100, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              0};

constexpr ModelSpec kVSo035C1{3,
                              2,
                              kRegsVS,
                              resTable(VSo035C1Res),
                              clkTable(VSo035C1Clk, 0, 1),
                              kDepth8Or16On,
                              {1, 1, 119, 1, true},
                              {30, 1, 1080, 30, true},
                              {0, 0, 100, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr ModelSpec kVS200C1{3,
                             2,
                             kRegsVS200,
                             resTable(VS200C1Res),
                             clkTable(VS200C1Clk, 2, 0),
                             kDepth8Or16On,
                             {40, 1, 80, 30, true},
                             {100, 1, 1250, 30, true},
                             {0, 0, 30, 0, true},
                             kBlack100On,
                             ReceiveRule::Double,
                             100};

constexpr ModelSpec kVSo036C1{3,
                              2,
                              kRegsVS,
                              resTable(VSo036C1Res),
                              clkTable(VSo036C1Clk, 0, 1),
                              kDepth8Or16On,
                              {30, 8, 140, 30, true},
                              {300, 1, 5000, 30, true},
                              kOff,
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr uint16_t gainLawDirect(int g) {
    return static_cast<uint16_t>(g);
}

} // namespace

VSo035M1::VSo035M1() {
    nameModel("VSo035M1.", cntVSo035M1);
    buildModel(kVSo035M1);
}

int VSo035M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

VSh035M1::VSh035M1() {
    nameModel("VSh035M1.", cntVSh035M1);
}

VSo035C1::VSo035C1() {
    nameModel("VSo035C1.", cntVSo035C1);
    buildModel(kVSo035C1);
}

int VSo035C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

VSh035C1::VSh035C1() {
    nameModel("VSh035C1.", cntVSh035C1);
}

VS200C1::VS200C1() {
    nameModel("VS200C1.", cntVS200C1);
    {
        Lock lock(settingsLock);
        blockSize = 61440;
    }
    buildModel(kVS200C1);
}

int VS200C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

/// The line length of this sensor also follows from the mode; it is taken from the first item
/// here as well so that the retiming at construction keeps the default exposure instead of
/// scaling it from a zero line length down to the minimum.
VSo036C1::VSo036C1() {
    nameModel("VSo036C1.", cntVSo036C1);
    buildModel(kVSo036C1);
}

int VSo036C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

VSh036C1::VSh036C1() {
    nameModel("VSh036C1.", cntVSh036C1);
}
