#include "camera/CamDerive/VA.h"

#include "sim/CmosSimulation.h"

std::atomic<int> cntVAo200C1{1}, cntVAh200C1{1}, cntVAo131C1{1}, cntVE131_{1}, cntVE131{1},
    cntVAo300C1{1}, cntVE300{1}, cntVAo131M1{1}, cntVAo500C1{1}, cntVE500{1}, cntVAo1KC1{1},
    cntVE1K{1}, cntVAo500M1{1}, cntVAh500M1{1}, cntV3h5MC1{1};

namespace {

constexpr RegisterMap kRegs2F{0x2F, 0x09, 0x00, 0x02};
constexpr RegisterMap kRegs35{0x35, 0x09, 0x00, 0x02};
constexpr RegisterMap kRegs1K{0x305E, 0x3012, 0x00, 0x02};

constexpr ModelSpec kVAo200C1{3,
                              3,
                              kRegs2F,
                              resTable(VAh200C1Res),
                              clkTable(VAh200C1Clk, 0, 1),
                              kDepth8Or16Off,
                              {30, 1, 80, 30, true},
                              {300, 1, 6000, 30, true},
                              kOff,
                              kBlack100Off,
                              ReceiveRule::Single,
                              100};

constexpr ModelSpec kVAo131C1{3,
                              3,
                              kRegs2F,
                              resTable(VAo131C1Res),
                              clkTable(VAo131C1Clk, 0, 1),
                              kDepth8Or16Off,
                              {30, 1, 80, 30, true},
                              {300, 1, 6000, 30, true},
                              kOff,
                              kBlack100Off,
                              ReceiveRule::Single,
                              100};

constexpr ModelSpec kVAo300C1{3,
                              3,
                              kRegs35,
                              resTable(VAo300C1Res),
                              clkTable(VAo300C1Clk, 0, 1),
                              kDepth8Only,
                              {7, 1, 159, 7, true},
                              {300, 1, 6000, 30, true},
                              kOff,
                              kBlack100Off,
                              ReceiveRule::Single,
                              100};

constexpr ModelSpec kVAo131M1{1,
                              0,
                              kRegs35,
                              resTable(VAo131M1Res),
                              clkTable(VAo131M1Clk, 0, 1),
                              kDepth8Or16Off,
                              {30, 10, 71, 30, true},
                              {300, 1, 10000, 30, true},
                              kOff,
                              kBlack100Off,
                              ReceiveRule::Single,
                              0};

/// VAo500C1 as claimed; the clock table is replaced by the bcdDevice choice.
constexpr ModelSpec kVAo500C1{3,
                              3,
                              kRegs35,
                              resTable(VAo500C1Res),
                              clkTable(VAo500C1V0Clk, 0, 1),
                              kDepth8Or16Off,
                              {7, 1, 174, 7, true},
                              {300, 1, 15464, 30, true},
                              kOff,
                              {48, 25, 128, 48, false},
                              ReceiveRule::FullColour5M,
                              100};

constexpr ModelSpec kVAo1KC1{3,
                             4,
                             kRegs1K,
                             resTable(VAo1KC1Res),
                             clkTable(VAo1KC1Clk, 0, 1),
                             kDepth8Only,
                             {110, 1, 310, 110, true},
                             {300, 1, 4000, 300, true},
                             kOff,
                             kBlack100Off,
                             ReceiveRule::Single,
                             85};

constexpr ModelSpec kVAo500M1{1,
                              0,
                              kRegs35,
                              resTable(VAo500M1Res),
                              clkTable(VAo500M1Clk, 0, 1),
                              kDepth8Or16On,
                              {30, 1, 174, 30, true},
                              {300, 1, 65500, 30, true},
                              kOff,
                              kBlack100Off,
                              ReceiveRule::DoubleWithHead,
                              0};

constexpr ModelSpec kV3h5MC1{3,
                             4,
                             kRegs35,
                             resTable(V3h5MC1Res),
                             clkTable(V3h5MC1Clk, 1, 1),
                             kDepth8Or16On,
                             {1, 1, 174, 1, true},
                             {300, 1, 65500, 30, true},
                             kOff,
                             kBlack100Off,
                             ReceiveRule::DoubleWithHead,
                             100};

constexpr uint16_t kBcdVAh131C1Sensor5M = 0xA001;
constexpr uint16_t kBcdVAo500C1Fast = 0xA100;
constexpr uint16_t kBcdWindowedGeneration = 0xB002;

/// The end-marker read-out of VAh200C1: T + headLength asked, T + 3 delivered, 0x88 right after
/// the pixels (cleared), the snapshot mark 0xCC after it, defects collected and corrected.
constexpr FrameLayout kEndMarker{};

/// The same read-out with the region of interest moved into the camera for one item.
constexpr FrameLayout windowedEndMarker(int width, bool reapply) {
    FrameLayout l = kEndMarker;
    l.window = WindowSwitch::Keep;
    l.windowWidth = width;
    l.reapplyExposure = reapply;
    return l;
}

/// The g read-outs: one byte after the pixels, no marker; the region of interest is moved into
/// the camera for one item, dropping that frame.
constexpr FrameLayout gLayout(int width, bool defects, int snapshot) {
    FrameLayout l;
    l.askExtra = 1 + 512;
    l.trailer = 1;
    l.marker = FrameLayout::kNone;
    l.clear = FrameLayout::kNone;
    l.snapshot = snapshot;
    l.defects = defects;
    l.window = width ? WindowSwitch::Drop : WindowSwitch::None;
    l.windowWidth = width;
    return l;
}

/// The 5- and 10-megapixel read-outs: n = T x bits / 8 (+ headLength at item 0 with 16 bits).
/// Hardware generation 0xB002 appends a whole block whose last three bytes carry the marker and
/// the snapshot mark, and drops the frame that moves the region into the camera; the others end
/// with the three-byte trailer, collect defects and keep that frame.
constexpr FrameLayout megapixelLayout(bool windowedGeneration, int fullWidth, bool delay) {
    FrameLayout l;
    l.depthScaled = true;
    l.extraHead16 = true;
    l.rmac = true;
    l.windowWidth = fullWidth;
    l.delayOnWindow = delay;
    if (windowedGeneration) {
        l.askExtra = 512 + 512;
        l.trailer = 512;
        l.marker = 512 - 3;
        l.clear = 512 - 3;
        l.snapshot = 512 - 2;
        l.defects = false;
        l.window = WindowSwitch::Drop;
    } else {
        l.window = WindowSwitch::Keep;
    }
    return l;
}

/// V3h5MC1: T + 2 headLength asked, T + 4 delivered, 0x88 after the pixels, the byte after it
/// cleared, the snapshot mark third; 16-bit samples arrive little-endian (n = T x bits / 8).
constexpr FrameLayout v3Layout() {
    FrameLayout l;
    l.askExtra = 2 * 512;
    l.trailer = 4;
    l.marker = 0;
    l.clear = 1;
    l.snapshot = 2;
    l.depthScaled = true;
    l.aeEvery = 4;
    l.window = WindowSwitch::Keep;
    l.windowWidth = 2592;
    return l;
}

/// The simulated cameras of these models come with the model code.
[[maybe_unused]] const bool kSimulationRegistered = (hx::sim::registerCmosSimulation(), true);

} // namespace

// ---- VAo200C1, VAh200C1 ----------------------------------------------------------------------

VAo200C1::VAo200C1() {
    nameModel("VAo200C1.", cntVAo200C1);
    buildModel(kVAo200C1);
}

int VAo200C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA200);
}

VAh200C1::VAh200C1() {
    nameModel("VAh200C1.", cntVAh200C1);
}

/// After a pending mode change the exposure time is re-applied in the new mode.
int VAh200C1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size, windowedEndMarker(0, true));
}

// ---- VAo131C1, VAg131C1, VAh131C1 ------------------------------------------------------------

VAo131C1::VAo131C1() {
    nameModel("VAo131C1.", cntVAo131C1);
    buildModel(kVAo131C1);
}

int VAo131C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA131);
}

/// The name depends on the hardware generation; generation 0xA001 carries another sensor with
/// the two smaller 5-megapixel modes, the coarse/fine gain register and a lower gain.
int VAh131C1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    const bool sensor5M = bcdDevice() == kBcdVAh131C1Sensor5M;
    nameModel("VAh131C1.", sensor5M ? cntVE131_ : cntVE131);
    if (sensor5M) {
        applyResolutionTable(resTable(VAc500C1Res));
        applyClockTable(clkTable(VAc500C1Clk, 1, 1));
        gainRegister = 0x35;
        applyValue(analogGain, {7, 1, 80, 7, true});
    } else {
        applyValue(analogGain, {35, 1, 80, 35, true});
    }
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    return 0;
}

int VAg131C1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size, gLayout(1280, true, FrameLayout::kNone));
}

int VAh131C1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size, windowedEndMarker(1280, true));
}

int VAh131C1::_set_analog_gain(int gain) {
    if (bcdDevice() == kBcdVAh131C1Sensor5M) return writeAnalogGain(gain, gainLawVA500);
    return writeAnalogGain(gain, gainLawVA131);
}

// ---- VAo300C1, VAg300C1, VAh300C1 ------------------------------------------------------------

VAo300C1::VAo300C1() {
    nameModel("VAo300C1.", cntVAo300C1);
    buildModel(kVAo300C1);
}

int VAo300C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA300);
}

VAh300C1::VAh300C1() {
    nameModel("VAh300C1.", cntVE300);
}

int VAh300C1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size, windowedEndMarker(2048, false));
}

/// The snapshot mark is the second-last byte that arrived.
int VAg300C1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size, gLayout(2048, false, 1 - 2));
}

// ---- VAo131M1, VAg131M1, VAh131M1 ------------------------------------------------------------

VAo131M1::VAo131M1() {
    nameModel("VAo131M1.", cntVAo131M1);
    buildModel(kVAo131M1);
}

int VAo131M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA131M);
}

VAh131M1::VAh131M1() {
    nameModel("VAh131M1.", cntVAo131M1);
}

int VAg131M1::_raw_data(unsigned char* buffer, int size) {
    FrameLayout l = gLayout(0, false, FrameLayout::kNone);
    l.aeEvery = 4;
    return readEndMarkerFrame(buffer, size, l);
}

int VAh131M1::_raw_data(unsigned char* buffer, int size) {
    FrameLayout l = kEndMarker;
    l.defects = false;
    return readEndMarkerFrame(buffer, size, l);
}

// ---- VAo500C1, VAh500C1 ----------------------------------------------------------------------

/// Named at construction; the sensor settings come at claim. They are also installed here
/// (without retiming) so that an object that is never claimed holds valid tables.
VAo500C1::VAo500C1() {
    nameModel("VAo500C1.", cntVAo500C1);
    buildModel(kVAo500C1, false);
}

/// The faster clock table belongs to hardware generation 0xA100.
int VAo500C1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    bayerPattern = kVAo500C1.bayer;
    applyReceiveSize(kVAo500C1.receive);
    applyRegisters(kVAo500C1.registers);
    applyResolutionTable(kVAo500C1.resolution);
    applyValue(blackLevel, kVAo500C1.blackLevel);
    applyValue(rawDepth, kVAo500C1.rawDepth);
    applyValue(analogGain, kVAo500C1.analogGain);
    applyValue(exposure, kVAo500C1.exposure);
    applyValue(longExposure, kVAo500C1.longExposure);
    lineLength = resItem(0).lineLength;
    applyClockTable(bcdDevice() == kBcdVAo500C1Fast ? clkTable(VAo500C1V1Clk, 0, 1)
                                                    : clkTable(VAo500C1V0Clk, 0, 1));
    lineClock = static_cast<int>(clkItem(pixelClock.value).rate);
    _retime();
    return 0;
}

int VAo500C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA500);
}

VAh500C1::VAh500C1() {
    nameModel("VAh500C1.", cntVE500);
}

int VAh500C1::_retime() {
    retimeLines();
    return 0;
}

int VAh500C1::_raw_data(unsigned char* buffer, int size) {
    FrameLayout l = megapixelLayout(bcdDevice() == kBcdWindowedGeneration, 2592, false);
    l.rmac = bcdDevice() != kBcdWindowedGeneration;
    return readEndMarkerFrame(buffer, size, l);
}

/// GPIO lines 1 to 3: request 0xB8 with the line + 95 in the low byte of wValue and the state
/// in its high byte.
int VAh500C1::_set_gpio(int line, bool on) {
    if (line < 1 || line > 3) return -2;
    Lock lock(settingsLock);
    gpioState[line - 1] = on ? 1 : 0;
    sendVendorRequest(0xB8, static_cast<uint16_t>((line + 95) | ((on ? 1 : 0) << 8)), 0);
    return 0;
}

int VAh500C1::_gpio(int line, bool* on) {
    if (line < 1 || line > 3 || !on) return -2;
    Lock lock(settingsLock);
    *on = gpioState[line - 1] != 0;
    return 0;
}

// ---- VAo1KC1, VAh1KC1 ------------------------------------------------------------------------

VAo1KC1::VAo1KC1() {
    nameModel("VAo1KC1.", cntVAo1KC1);
    buildModel(kVAo1KC1);
}

int VAo1KC1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA1K);
}

/// The same sensor read out in three modes of its own. The line time follows the new table's
/// first item at once, so that the exposure reads back as the sensor takes it before the first
/// resolution change (and a restored parameter set at item 0 keeps its exposure time).
VAh1KC1::VAh1KC1() {
    {
        Lock lock(settingsLock);
        applyResolutionTable(resTable(VAh1KC1Res));
        applyLineTiming();
    }
    nameModel("VAh1KC1.", cntVE1K);
}

int VAh1KC1::_retime() {
    retimeLines();
    return 0;
}

/// The sensor needs two seconds to settle after its region changes.
int VAh1KC1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size,
                              megapixelLayout(bcdDevice() == kBcdWindowedGeneration, 3664, true));
}

// ---- VAo500M1, VAh500M1 ----------------------------------------------------------------------

VAo500M1::VAo500M1() {
    nameModel("VAo500M1.", cntVAo500M1);
    buildModel(kVAo500M1);
}

int VAo500M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA500);
}

VAh500M1::VAh500M1() {
    nameModel("VAh500M1.", cntVAh500M1);
}

int VAh500M1::_retime() {
    retimeLines();
    return 0;
}

int VAh500M1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size,
                              megapixelLayout(bcdDevice() == kBcdWindowedGeneration, 2592, false));
}

// ---- V3h5MC1 ---------------------------------------------------------------------------------

/// Named and configured at claim. Its tables are installed here as well (without retiming) so
/// that an object that is never claimed holds valid tables; the name stays the base's.
V3h5MC1::V3h5MC1() {
    buildModel(kV3h5MC1, false);
}

/// At claim the name is given and the construction steps run again, this time with retiming;
/// the colour settings and the defect list made at construction are kept.
int V3h5MC1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("V3h5MC1.", cntV3h5MC1);
    buildModel(kV3h5MC1);
    return 0;
}

int V3h5MC1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawVA500);
}

int V3h5MC1::_retime() {
    retimeLines();
    return 0;
}

int V3h5MC1::_raw_data(unsigned char* buffer, int size) {
    return readEndMarkerFrame(buffer, size, v3Layout());
}
