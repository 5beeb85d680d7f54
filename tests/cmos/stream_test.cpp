// Every CMOS product id and hardware generation streams from the simulator at every resolution
// item and bit depth it offers; the region of interest moves into the camera and back.
#include <string>

#include "camera/CamRegistry.h"
#include "cmos_test_util.h"
#include "tests/api/ApiFixture.h"

namespace {

struct Variant {
    uint16_t productId;
    uint16_t bcd; ///< 0: the simulator's default generation
};

const Variant kVariants[] = {
    {0xC811, 0},      {0xA811, 0},      {0xC008, 0}, {0xF008, 0},      {0xA008, 0},
    {0xA008, 0xA001}, {0xC007, 0},      {0xF007, 0}, {0xA007, 0},      {0xC00B, 0},
    {0xF00B, 0},      {0xA00B, 0},      {0xC004, 0}, {0xC004, 0xA100}, {0xA004, 0},
    {0xA004, 0xA100}, {0xA004, 0xB002}, {0xA00D, 0}, {0xA00D, 0xB002}, {0xC003, 0},
    {0xA003, 0},      {0xA003, 0xB002}, {0xC006, 0}, {0xA006, 0},      {0xA006, 0xB002},
    {0xAC11, 0},      {0xC00A, 0},      {0xA00A, 0}, {0xC005, 0},      {0xC005, 0xA001},
    {0xA005, 0},      {0xC009, 0},      {0xA009, 0}, {0xC00C, 0},
};

/// Width and height of the record a frame of this item leaves: the sensor size, except the
/// 640-wide mode of the 0.35-megapixel colour cameras, read doubled and binned 2 x 1.
std::pair<int, int> expectedSize(uint16_t productId, int width, int height) {
    if ((productId == 0xC005 || productId == 0xA005) && width == 640) return {640, 512};
    return {width, height};
}

/// A camera reached either through the flat API (supported product ids) or directly.
class Target {
public:
    virtual ~Target() = default;
    virtual int resolutions() = 0;
    virtual int setResolution(int index) = 0;
    virtual int clocks() = 0;
    virtual int setClock(int index) = 0;
    virtual int setDepth(int bits) = 0;
    virtual int rawSize(int* w, int* h) = 0;
    virtual int body() = 0;
    virtual int read(std::vector<unsigned char>& buffer) = 0;
};

class DirectTarget : public Target {
public:
    explicit DirectTarget(CamBase& c) : c_(c) {}
    int resolutions() override { return c_._resolution_count(); }
    int setResolution(int i) override { return c_._set_resolution(i, false); }
    int clocks() override { return c_._pixsclock_count(); }
    int setClock(int i) override { return c_._set_pixsclock(i); }
    int setDepth(int bits) override { return c_._set_raw_depth(bits); }
    int rawSize(int* w, int* h) override { return c_._raw_size(w, h); }
    int body() override { return c_._body(); }
    int read(std::vector<unsigned char>& b) override {
        return c_._raw_data(b.data(), static_cast<int>(b.size()));
    }

private:
    CamBase& c_;
};

class ApiTarget : public Target {
public:
    explicit ApiTarget(std::string name) : n_(std::move(name)) {}
    int resolutions() override { return GetResolutionCount(n_.c_str()); }
    int setResolution(int i) override { return SetResolution(i, n_.c_str()); }
    int clocks() override { return GetPixelclockCount(n_.c_str()); }
    int setClock(int i) override { return SetPixelclock(i, n_.c_str()); }
    int setDepth(int bits) override { return SetRawDepth(bits, n_.c_str()); }
    int rawSize(int* w, int* h) override { return GetRawSize(w, h, n_.c_str()); }
    int body() override { return RecvMemSize(n_.c_str()); }
    int read(std::vector<unsigned char>& b) override {
        return GetRawData(b.data(), static_cast<int>(b.size()), n_.c_str());
    }

private:
    std::string n_;
};

void streamEveryItem(Target& t, uint16_t productId) {
    std::vector<unsigned char> buffer(static_cast<size_t>(t.body()));
    // A parameter set restored at arrival may have left 16 bits on.
    t.setClock(t.clocks() - 1);
    t.setDepth(8);
    for (int depth : {8, 16}) {
        if (depth == 16) {
            // 16-bit samples are offered at the slowest clock, if at all.
            t.setClock(t.clocks() - 1);
            if (t.setDepth(16) != 0) return;
        }
        for (int r = 0; r < t.resolutions(); ++r) {
            SCOPED_TRACE(testing::Message() << "item " << r << ", " << depth << " bits");
            ASSERT_GE(t.setResolution(r), 0);
            int w = 0, h = 0;
            ASSERT_EQ(t.rawSize(&w, &h), 0);
            int result = t.read(buffer);
            ASSERT_TRUE(result == 0) << "result " << result;
            const auto [ew, eh] = expectedSize(productId, w, h);
            EXPECT_EQ(record(buffer)->width, ew);
            EXPECT_EQ(record(buffer)->height, eh);
            EXPECT_EQ(record(buffer)->depth, depth);
            EXPECT_EQ(record(buffer)->resolution, r);
            // The next frame of the same mode arrives as well.
            EXPECT_EQ(t.read(buffer), 0);
        }
    }
}

/// A library with a fresh parameter directory, started by the test itself.
class CmosStream : public ApiTest {};

void ignoreHotPlug(void*, const char*, int) {}

TEST_F(CmosStream, EveryModelAndGenerationAtEveryItemAndDepth) {
    ASSERT_EQ(InitDevice(&ignoreHotPlug, nullptr, docs_.c_str()), 0);
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "product 0x" << v.productId << " bcd 0x" << v.bcd);
        if (hx::cam::camSupported(kHalvexVendorId, v.productId)) {
            const int before = DeviceCount();
            const uint64_t key = PlugSimulatedCamera(v.productId, v.bcd);
            PumpDeviceEvents(0);
            ASSERT_EQ(DeviceCount(), before + 1);
            std::string name;
            for (int i = 0; i < DeviceCount(); ++i)
                if (DeviceProduct(DeviceName(i)) == v.productId) name = DeviceName(i);
            ASSERT_FALSE(name.empty());
            ASSERT_EQ(ResumeDevice(name.c_str()), 0);
            ApiTarget target(name);
            streamEveryItem(target, v.productId);
            SuspendDevice(name.c_str());
            UnplugSimulatedCamera(key);
            PumpDeviceEvents(0);
        } else {
            CmosCamera m = openCmos(v.productId, v.bcd);
            ASSERT_TRUE(m.camera);
            m.camera->_sensor_resume();
            DirectTarget target(*m.camera);
            streamEveryItem(target, v.productId);
        }
    }
}

} // namespace
