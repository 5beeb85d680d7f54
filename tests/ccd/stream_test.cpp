// Every CCD product and hardware generation streams from the simulator at every resolution
// item and at each depth it offers, each frame of its item's size: through the flat API where
// the library supports the product id, through the camera object where it does not.
#include <functional>
#include <string>
#include <vector>

#include "camera/CamApi.h"
#include "camera/CamRegistry.h"
#include "ccd_test_util.h"
#include "tests/api/ApiFixture.h"

namespace {

struct Variant {
    uint16_t productId;
    uint16_t bcd;
};

const Variant kVariants[] = {
    {0xD004, 0},      {0xE004, 0},      {0xE004, 0xB003}, {0xE008, 0},      {0xD001, 0},
    {0xE001, 0},      {0xD006, 0},      {0xD006, 0xA001}, {0xE006, 0},      {0xE009, 0},
    {0xE80A, 0},      {0xE00A, 0},      {0xE00A, 0xA001}, {0xE00A, 0xA004}, {0xE00A, 0xB001},
    {0xE00B, 0},      {0xE00B, 0xA001}, {0xE00B, 0xB001}, {0xE00C, 0},      {0xE00C, 0xA001},
    {0xE00C, 0xA004}, {0xE80C, 0},      {0xE80C, 0xA001},
};

/// The operations the stream needs, by API or on the object.
struct Access {
    std::function<int(int)> setResolution, setClock, setDepth;
    std::function<int()> resolutions, clocks, bufferSize, depth;
    std::function<int(int*, int*)> rawSize; ///< sensor size of the current item
    std::function<int(unsigned char*, int)> read;
};

void streamEveryMode(const Access& a) {
    std::vector<unsigned char> buffer(size_t(a.bufferSize()));
    auto every = [&](int depth) {
        for (int i = 0; i < a.resolutions(); ++i) {
            SCOPED_TRACE(testing::Message() << "item " << i << " depth " << depth);
            a.setResolution(i);
            const int r = a.read(buffer.data(), int(buffer.size()));
            ASSERT_TRUE(r == 0 || r == 1) << r;
            const _ezImage* image = imageOf(buffer);
            EXPECT_EQ(image->depth, depth);
            int w = 0, h = 0;
            ASSERT_EQ(a.rawSize(&w, &h), 0);
            EXPECT_EQ(image->width, w);
            EXPECT_EQ(image->height, h);
            EXPECT_LE(image->data + size_t(image->stride) * image->height,
                      buffer.data() + buffer.size());
        }
    };
    // The depth a camera starts with may come from the parameters of the last one of its model.
    const int first = a.depth();
    every(first);
    a.setClock(a.clocks() - 1);
    ASSERT_EQ(a.setDepth(first == 8 ? 16 : 8), 0);
    every(first == 8 ? 16 : 8);
}

void recordArrival(void* application, const char* name, int code) {
    if (code == 0) static_cast<std::vector<std::string>*>(application)->push_back(name);
}

/// A started library with a fresh parameter directory that keeps the names of arrived cameras.
class CcdStream : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ASSERT_EQ(InitDevice(&recordArrival, &arrived_, docs_.c_str()), 0);
    }
    std::vector<std::string> arrived_;
};

TEST_F(CcdStream, EveryProductAndGenerationStreamsEveryMode) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "product 0x" << v.productId << " bcd 0x" << v.bcd);
        if (hx::cam::camSupported(kHalvexVendorId, v.productId)) {
            const size_t before = arrived_.size();
            const uint64_t key = PlugSimulatedCamera(v.productId, v.bcd);
            PumpDeviceEvents(0);
            ASSERT_EQ(arrived_.size(), before + 1);
            const std::string name = arrived_.back();
            const char* n = name.c_str();
            ASSERT_EQ(ResumeDevice(n), 0);
            Access a;
            a.setResolution = [n](int i) { return SetResolution(i, n); };
            a.setClock = [n](int i) { return SetPixelclock(i, n); };
            a.setDepth = [n](int bits) { return SetRawDepth(bits, n); };
            a.resolutions = [n] { return GetResolutionCount(n); };
            a.clocks = [n] { return GetPixelclockCount(n); };
            a.bufferSize = [n] { return RecvMemSize(n); };
            a.depth = [n] { return GetRawDepth(n); };
            a.rawSize = [n](int* w, int* h) { return GetRawSize(w, h, n); };
            a.read = [n](unsigned char* b, int s) { return GetRawData(b, s, n); };
            streamEveryMode(a);
            SuspendDevice(n);
            UnplugSimulatedCamera(key);
            PumpDeviceEvents(0);
        } else {
            Ccd c = openCcd(v.productId, v.bcd);
            CamBase& cam = *c.camera;
            ASSERT_EQ(cam._sensor_resume(), 0);
            Access a;
            a.setResolution = [&](int i) { return cam._set_resolution(i, false); };
            a.setClock = [&](int i) { return cam._set_pixsclock(i); };
            a.setDepth = [&](int bits) { return cam._set_raw_depth(bits); };
            a.resolutions = [&] { return cam._resolution_count(); };
            a.clocks = [&] { return cam._pixsclock_count(); };
            a.bufferSize = [&] { return cam._body(); };
            a.depth = [&] { return cam._raw_depth(); };
            a.rawSize = [&](int* w, int* h) { return cam._raw_size(w, h); };
            a.read = [&](unsigned char* b, int s) { return cam._raw_data(b, s); };
            streamEveryMode(a);
        }
    }
}

} // namespace
