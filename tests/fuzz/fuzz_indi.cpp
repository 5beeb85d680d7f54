// Property values from an INDI client, through the driver's entry points as libindi's dispatcher
// calls them: a camera device on a simulated camera is connected, then gets numbers (out of
// range, NaN, infinities), texts (empty, huge), switch vectors (several or no switches on) and
// BLOBs, for its own and unknown property and element names, and finally is disconnected.
// After every message the device must still describe a frame that lies on the sensor, finite
// numbers, exactly one choice in each one-of-many switch, and the gain and pixel clock the
// camera really has.
#include <fcntl.h>
#include <unistd.h>

#include <libindi/indidevapi.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "camera/CamApi.h"
#include "indi/HalvexCcd.h"

namespace {

constexpr const char* kDevice = "Halvex Fuzz 1";

const char* const kProperties[] = {
    "CONNECTION",
    "CCD_EXPOSURE",
    "CCD_ABORT_EXPOSURE",
    "CCD_FRAME",
    "CCD_BINNING",
    "CCD_FRAME_TYPE",
    "CCD_FRAME_RESET",
    "CCD_TEMPERATURE",
    "CCD_CAPTURE_FORMAT",
    "CCD_TRANSFER_FORMAT",
    "UPLOAD_MODE",
    "UPLOAD_SETTINGS",
    "CCD_COMPRESSION",
    "FITS_HEADER",
    "CCD_CFA",
    "ACTIVE_DEVICES",
    "CCD_VIDEO_STREAM",
    "STREAMING_EXPOSURE",
    "STREAM_DELAY",
    "CCD_STREAM_FRAME",
    "RECORD_OPTIONS",
    "LIMITS",
    "DEBUG",
    "POLLING_PERIOD",
    "CCD_FAST_TOGGLE",
    "CCD_FAST_COUNT",
    "CCD_GAIN",
    "CCD_OFFSET",
    "CCD_PIXEL_CLOCK",
    "CCD_RESOLUTION",
    "CCD_COOLER",
    "CCD_COOLER_POWER",
    "CCD_STREAM_FRAMES",
    "CCD_INFO",
    "WCS_CONTROL",
    "CCD_ROTATION",
    "CONFIG_PROCESS",
    "CCD_STREAM_ENCODER",
    "CCD_STREAM_RECORDER",
    "TELESCOPE_TYPE",
};
const char* const kElements[] = {
    "CONNECT",
    "DISCONNECT",
    "CCD_EXPOSURE_VALUE",
    "ABORT",
    "X",
    "Y",
    "WIDTH",
    "HEIGHT",
    "HOR_BIN",
    "VER_BIN",
    "FRAME_LIGHT",
    "FRAME_BIAS",
    "FRAME_DARK",
    "FRAME_FLAT",
    "RESET",
    "CCD_TEMPERATURE_VALUE",
    "INDI_MONO_8",
    "INDI_MONO_16",
    "INDI_RAW_8",
    "INDI_RAW_16",
    "FORMAT_FITS",
    "FORMAT_NATIVE",
    "UPLOAD_CLIENT",
    "UPLOAD_LOCAL",
    "UPLOAD_BOTH",
    "UPLOAD_DIR",
    "UPLOAD_PREFIX",
    "INDI_ENABLED",
    "INDI_DISABLED",
    "FITS_OBSERVER",
    "FITS_OBJECT",
    "CFA_OFFSET_X",
    "CFA_TYPE",
    "ACTIVE_TELESCOPE",
    "STREAM_ON",
    "STREAM_OFF",
    "STREAMING_EXPOSURE_VALUE",
    "STREAMING_DIVISOR_VALUE",
    "ENABLE",
    "DISABLE",
    "PERIOD_MS",
    "FRAMES",
    "GAIN",
    "OFFSET",
    "CLOCK_0",
    "CLOCK_1",
    "CLOCK_2",
    "CLOCK_7",
    "RESOLUTION_0",
    "RESOLUTION_1",
    "RESOLUTION_2",
    "RESOLUTION_9",
    "COOLER_ON",
    "COOLER_OFF",
    "CCD_COOLER_VALUE",
    "CCD_MAX_X",
    "WCS_ENABLE",
    "WCS_DISABLE",
    "CONFIG_DEFAULT",
    "CONFIG_LOAD",
    "LIMITS_BUFFER_MAX",
    "LIMITS_PREVIEW_FPS",
};
const double kNumbers[] = {
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    4.0,
    7.0,
    100.0,
    1e-9,
    1e300,
    -1e300,
    std::numeric_limits<double>::denorm_min(),
    2147483647.0,
    2147483648.0,
    -2147483649.0,
    9.3e18,
    65535.0,
    65536.0,
    -50.0,
    40.0,
    3600.0,
};

/// Reads the fuzzer's bytes as a series of small choices; zeros past the end.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    double f64() {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(u8()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::string text(size_t length) {
        std::string s;
        while (s.size() < length && !done()) s.push_back(static_cast<char>(u8()));
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

/// A name: one the driver knows (most of the time) or any bytes up to a NUL.
std::string name(Bytes& in, const char* const* table, size_t count) {
    const uint8_t c = in.u8();
    if (c < 224) return table[c % count];
    std::string s = in.text(in.u8() % 24);
    s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
    return s;
}

double number(Bytes& in) {
    const uint8_t c = in.u8();
    if (c < 160) return kNumbers[c % std::size(kNumbers)];
    if (c < 224) return in.u16() - 1024.0;
    return in.f64();
}

std::string textValue(Bytes& in) {
    const uint8_t c = in.u8();
    switch (c % 6) {
    case 0:
        return {};
    case 1:
        // Longer than any text a client may set, or right at the limit.
        return std::string(c & 0x80 ? 4097 + in.u16() : 4096, static_cast<char>('a' + c % 26));
    case 2:
        return "/tmp/../tmp/./";
    case 3:
        return "IMAGE_XXX";
    default: {
        std::string s = in.text(in.u8());
        s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
        return s;
    }
    }
}

/// The arrays libindi's dispatcher hands to a driver.
struct Message {
    std::string device;
    std::string property;
    std::vector<std::string> names;
    std::vector<char*> namePointers() {
        std::vector<char*> p;
        for (std::string& s : names) p.push_back(s.data());
        return p;
    }
};

Message message(Bytes& in) {
    Message m;
    m.device = in.u8() < 240 ? kDevice : "Halvex Other 1";
    m.property = name(in, kProperties, std::size(kProperties));
    // The dispatcher never calls with no element.
    const int n = 1 + in.u8() % 5;
    for (int i = 0; i < n; ++i) m.names.push_back(name(in, kElements, std::size(kElements)));
    return m;
}

void send(Bytes& in) {
    const uint8_t kind = in.u8() % 8;
    Message m = message(in);
    std::vector<char*> names = m.namePointers();
    const int n = static_cast<int>(names.size());
    if (kind < 3) {
        std::vector<double> values;
        for (int i = 0; i < n; ++i) values.push_back(number(in));
        ISNewNumber(m.device.c_str(), m.property.c_str(), values.data(), names.data(), n);
    } else if (kind < 6) {
        std::vector<ISState> states;
        for (int i = 0; i < n; ++i) states.push_back(in.u8() & 1 ? ISS_ON : ISS_OFF);
        ISNewSwitch(m.device.c_str(), m.property.c_str(), states.data(), names.data(), n);
    } else if (kind < 7) {
        std::vector<std::string> texts;
        for (int i = 0; i < n; ++i) texts.push_back(textValue(in));
        std::vector<char*> pointers;
        for (std::string& t : texts) pointers.push_back(t.data());
        ISNewText(m.device.c_str(), m.property.c_str(), pointers.data(), names.data(), n);
    } else {
        std::vector<std::string> blobs, formats;
        std::vector<int> sizes, lengths;
        for (int i = 0; i < n; ++i) {
            blobs.push_back(in.text(in.u8()));
            formats.push_back(in.u8() & 1 ? ".fits" : "");
            lengths.push_back(static_cast<int>(blobs.back().size()));
            sizes.push_back(in.u8() & 1 ? lengths.back() : in.u16());
        }
        std::vector<char*> blobPointers, formatPointers;
        for (std::string& b : blobs) blobPointers.push_back(b.data());
        for (std::string& f : formats) formatPointers.push_back(f.data());
        ISNewBLOB(m.device.c_str(), m.property.c_str(), sizes.data(), lengths.data(),
                  blobPointers.data(), formatPointers.data(), names.data(), n);
    }
}

void setSwitch(const char* property, const char* on, const char* off) {
    char* names[] = {const_cast<char*>(on), const_cast<char*>(off)};
    ISState states[] = {ISS_ON, ISS_OFF};
    ISNewSwitch(kDevice, property, states, names, 2);
}

[[noreturn]] void fail(const char* what, const char* property, const char* element) {
    std::fprintf(stderr, "%s: %s %s\n", what, property, element);
    std::abort();
}

/// What must hold of the device after any message.
void checkDevice(hx::indi::HalvexCcd& ccd, const std::string& camera) {
    for (INDI::Property p : ccd.getProperties()) {
        if (p.getType() == INDI_NUMBER) {
            INDI::PropertyNumber v(p);
            for (size_t i = 0; i < v.size(); ++i)
                if (!std::isfinite(v[i].getValue()))
                    fail("a number property is not finite", v.getName(), v[i].getName());
        }
        if (p.getType() == INDI_SWITCH) {
            INDI::PropertySwitch v(p);
            // A one-of-many vector of one switch is a button.
            if (v.getRule() != ISR_1OFMANY || v.size() < 2) continue;
            int on = 0;
            for (size_t i = 0; i < v.size(); ++i) on += v[i].getState() == ISS_ON;
            if (on != 1) fail("a one-of-many switch has not exactly one choice", v.getName(), "");
        }
    }
    if (!ccd.isConnected()) return;
    const char* n = camera.c_str();
    INDI::PropertyNumber info = ccd.getNumber("CCD_INFO");
    INDI::PropertyNumber frame = ccd.getNumber("CCD_FRAME");
    INDI::PropertyNumber binning = ccd.getNumber("CCD_BINNING");
    hxfuzz::check(info.isValid() && frame.isValid() && binning.isValid(),
                  "a connected camera lacks its geometry");
    const double fullWidth = info.findWidgetByName("CCD_MAX_X")->getValue();
    const double fullHeight = info.findWidgetByName("CCD_MAX_Y")->getValue();
    const double x = frame.findWidgetByName("X")->getValue();
    const double y = frame.findWidgetByName("Y")->getValue();
    const double w = frame.findWidgetByName("WIDTH")->getValue();
    const double h = frame.findWidgetByName("HEIGHT")->getValue();
    hxfuzz::check(x >= 0 && y >= 0 && w >= 1 && h >= 1 && x + w <= fullWidth && y + h <= fullHeight,
                  "the frame does not lie on the sensor");
    const double bin = binning.findWidgetByName("HOR_BIN")->getValue();
    hxfuzz::check(bin >= 1 && bin == binning.findWidgetByName("VER_BIN")->getValue(),
                  "the binning is not one square step");
    INDI::PropertyNumber gain = ccd.getNumber("CCD_GAIN");
    if (gain.isValid())
        hxfuzz::check(gain[0].getValue() == GetAnaloggain(n), "the gain shown is not the camera's");
    INDI::PropertySwitch clock = ccd.getSwitch("CCD_PIXEL_CLOCK");
    if (clock.isValid())
        hxfuzz::check(clock.findOnSwitchIndex() == GetPixelclock(n),
                      "the pixel clock shown is not the camera's");
}

std::vector<std::string> startLibrary() {
    // libindi writes its messages to standard output; the fuzzer needs none of them.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    // Configuration and logs of the device go to a scratch home.
    setenv("HOME", hxfuzz::scratchDir().c_str(), 1);
    setenv("HALVEX_NO_USB", "1", 1);
    unsetenv("HALVEX_SIMULATE");
    InitDevice(nullptr, nullptr, nullptr);
    SetSimulatedPacing(0);
    PlugSimulatedCameras("VAh200C1,VDh694M1:0xA001");
    PumpDeviceEvents(0);
    std::vector<std::string> cameras;
    for (int i = 0; i < DeviceCount(); ++i) cameras.emplace_back(DeviceName(i));
    hxfuzz::check(!cameras.empty(), "no simulated camera");
    return cameras;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<std::string> cameras = startLibrary();
    Bytes in(data, size);
    const std::string& camera = cameras[in.u8() % cameras.size()];
    // Every input starts from the driver's defaults.
    std::error_code ec;
    std::filesystem::remove_all(hxfuzz::scratchDir() + ".indi", ec);
    auto ccd = std::make_unique<hx::indi::HalvexCcd>(camera, kDevice);
    ccd->ISGetProperties(nullptr);
    setSwitch("CONNECTION", "CONNECT", "DISCONNECT");
    checkDevice(*ccd, camera);
    for (int messages = 0; !in.done() && messages < 64; ++messages) {
        send(in);
        checkDevice(*ccd, camera);
    }
    setSwitch("CONNECTION", "DISCONNECT", "CONNECT");
    checkDevice(*ccd, camera);
    return 0;
}

namespace {

/// One message in the target's byte form: kind, device, property, elements and their values.
struct Seed {
    std::vector<uint8_t> bytes;
    template <size_t N> static uint8_t index(const char* const (&table)[N], const char* s) {
        for (size_t i = 0; i < N; ++i)
            if (std::strcmp(table[i], s) == 0) return static_cast<uint8_t>(i);
        std::abort();
    }
    Seed& camera(uint8_t i) {
        bytes.push_back(i);
        return *this;
    }
    Seed& head(uint8_t kind, const char* property, std::initializer_list<const char*> elements) {
        bytes.push_back(kind);
        bytes.push_back(0);
        bytes.push_back(index(kProperties, property));
        bytes.push_back(static_cast<uint8_t>(elements.size() - 1));
        for (const char* e : elements) bytes.push_back(index(kElements, e));
        return *this;
    }
    Seed& numbers(const char* property, std::initializer_list<const char*> elements,
                  std::initializer_list<uint8_t> values) {
        head(0, property, elements);
        bytes.insert(bytes.end(), values);
        return *this;
    }
    Seed& switches(const char* property, std::initializer_list<const char*> elements,
                   std::initializer_list<uint8_t> states) {
        head(3, property, elements);
        bytes.insert(bytes.end(), states);
        return *this;
    }
    Seed& texts(const char* property, std::initializer_list<const char*> elements,
                std::initializer_list<uint8_t> kinds) {
        head(6, property, elements);
        bytes.insert(bytes.end(), kinds);
        return *this;
    }
};

} // namespace

extern "C" int HalvexFuzzSeeds(const char* dir) {
    bool ok = true;
    // Number choices are indices into kNumbers: 0 NaN, 1 inf, 2 -inf, 5 one, 7 half, ...
    ok &= hxfuzz::seed(dir, "frame",
                       Seed()
                           .camera(0)
                           .numbers("CCD_FRAME", {"X", "Y", "WIDTH", "HEIGHT"}, {5, 7, 11, 11})
                           .numbers("CCD_FRAME", {"X", "WIDTH"}, {0, 1})
                           .numbers("CCD_BINNING", {"HOR_BIN", "VER_BIN"}, {8, 9})
                           .bytes);
    ok &= hxfuzz::seed(dir, "exposure",
                       Seed()
                           .camera(1)
                           .numbers("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE"}, {0})
                           .numbers("CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE"}, {7})
                           .switches("CCD_ABORT_EXPOSURE", {"ABORT"}, {1})
                           .numbers("CCD_TEMPERATURE", {"CCD_TEMPERATURE_VALUE"}, {1})
                           .bytes);
    ok &= hxfuzz::seed(dir, "switches",
                       Seed()
                           .camera(0)
                           .switches("CCD_PIXEL_CLOCK", {"CLOCK_0", "CLOCK_1"}, {1, 1})
                           .switches("CCD_PIXEL_CLOCK", {"CLOCK_0", "CLOCK_1"}, {0, 0})
                           .switches("CCD_RESOLUTION", {"RESOLUTION_1"}, {1})
                           .switches("CCD_COOLER", {"COOLER_ON", "COOLER_OFF"}, {1, 1})
                           .switches("CCD_CAPTURE_FORMAT", {"INDI_RAW_16"}, {1})
                           .bytes);
    ok &= hxfuzz::seed(dir, "gain",
                       Seed()
                           .camera(1)
                           .numbers("CCD_GAIN", {"GAIN"}, {1})
                           .numbers("CCD_OFFSET", {"OFFSET"}, {14})
                           .numbers("CCD_GAIN", {"GAIN"}, {0})
                           .bytes);
    ok &= hxfuzz::seed(dir, "texts",
                       Seed()
                           .camera(0)
                           .texts("UPLOAD_SETTINGS", {"UPLOAD_DIR", "UPLOAD_PREFIX"}, {2, 3})
                           .texts("FITS_HEADER", {"FITS_OBSERVER", "FITS_OBJECT"}, {1, 0})
                           .texts("ACTIVE_DEVICES", {"ACTIVE_TELESCOPE"}, {0x85})
                           .bytes);
    ok &= hxfuzz::seed(dir, "stream",
                       Seed()
                           .camera(0)
                           .numbers("STREAMING_EXPOSURE",
                                    {"STREAMING_EXPOSURE_VALUE", "STREAMING_DIVISOR_VALUE"}, {7, 0})
                           .switches("CCD_VIDEO_STREAM", {"STREAM_ON", "STREAM_OFF"}, {1, 0})
                           .numbers("CCD_FRAME", {"WIDTH"}, {13})
                           .switches("CCD_VIDEO_STREAM", {"STREAM_OFF"}, {1})
                           .bytes);
    return ok ? 0 : 1;
}
