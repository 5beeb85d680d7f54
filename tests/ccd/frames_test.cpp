// Frame read-outs of the CCD cameras: markers and snapshot marks, wrong lengths, buffers of
// exactly the size a read needs, host binning of full frames, defects and dark frames.
#include <algorithm>
#include <numeric>

#include "ccd_test_util.h"

namespace {

/// 16-bit samples of a one-channel record.
std::vector<uint16_t> samples16(const _ezImage* image) {
    std::vector<uint16_t> out(size_t(image->width) * image->height);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = uint16_t(image->data[2 * i] | (image->data[2 * i + 1] << 8));
    return out;
}

double mean(const std::vector<uint16_t>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
}

double median(std::vector<uint16_t> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

TEST(CcdFrames, EndMarkerSnapshotMarkAndWrongLengths) {
    auto c = openCcd(0xE00C, 0xA001);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    ASSERT_EQ(cam._set_resolution(2, true), 0); // 684 x 510, 350208 bytes and the trailer
    const int head = cam._head();
    const int need = head + 350208 + head; // the read asks for the pixels and one head more
    std::vector<unsigned char> buffer(size_t(need), 0);
    EXPECT_EQ(cam._raw_data(buffer.data(), need - 1), -2);
    EXPECT_EQ(cam._raw_data(nullptr, need), -2);

    EXPECT_EQ(cam._raw_data(buffer.data(), need), 0);
    EXPECT_EQ(imageOf(buffer)->width, 684);
    EXPECT_EQ(imageOf(buffer)->height, 510);
    EXPECT_EQ(buffer[size_t(head) + 350208], 0); // the marker is cleared
    c.device->pressSnapshotButton();
    EXPECT_EQ(cam._raw_data(buffer.data(), need), 1);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), 0);

    c.device->omitNextMarker();
    EXPECT_EQ(cam._raw_data(buffer.data(), need), -3);
    c.device->shortenNextTransfer(1);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), -3);
    c.device->lengthenNextTransfer(5);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), -3);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), 0);
    // A camera sending far more than a frame fills the read, never more; its rest is dropped
    // as a frame of the wrong length and the stream goes on.
    c.device->lengthenNextTransfer(100000);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), -3);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), -3);
    EXPECT_EQ(cam._raw_data(buffer.data(), need), 0);
}

TEST(CcdFrames, PaddedAndPlainGenerations) {
    // 0xB001 ends its frames with a whole block whose last bytes carry marker and mark.
    auto padded = openCcd(0xE00A, 0xB001);
    padded.camera->_sensor_resume();
    padded.camera->_set_resolution(1, true);
    std::vector<unsigned char> buffer(size_t(padded.camera->_body()));
    padded.device->pressSnapshotButton();
    EXPECT_EQ(padded.camera->_raw_data(buffer.data(), int(buffer.size())), 1);
    EXPECT_EQ(imageOf(buffer)->width, 960);
    EXPECT_EQ(imageOf(buffer)->height, 728);
    padded.device->omitNextMarker();
    EXPECT_EQ(padded.camera->_raw_data(buffer.data(), int(buffer.size())), -3);

    // 0xB003 sends bare pixels: only the count tells a whole frame; a wrong one is acknowledged.
    auto plain = openCcd(0xE004, 0xB003);
    plain.camera->_sensor_resume();
    buffer.assign(size_t(plain.camera->_body()), 0);
    EXPECT_EQ(plain.camera->_raw_data(buffer.data(), int(buffer.size())), 0);
    plain.device->clearRequestLog();
    plain.device->shortenNextTransfer(10);
    EXPECT_EQ(plain.camera->_raw_data(buffer.data(), int(buffer.size())), -3);
    EXPECT_EQ(requestsOf(*plain.device, 0xB3).size(), 1u);
}

TEST(CcdFrames, Generation687ReadsEndMarkerFramesOnEveryRelease) {
    // Only the 674 pads its frames on 0xB001; the 687 ends them with the marker on every
    // generation, and bins its smaller items on the host from the whole sensor.
    for (uint16_t bcd : {uint16_t{0xB001}, uint16_t{0xA000}}) {
        SCOPED_TRACE(testing::Message() << std::hex << bcd);
        auto c = openCcd(0xE00B, bcd);
        CamBase& cam = *c.camera;
        cam._sensor_resume();
        std::vector<unsigned char> buffer(size_t(cam._body()));
        c.device->pressSnapshotButton();
        EXPECT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), 1);
        EXPECT_EQ(imageOf(buffer)->width, 1920);
        ASSERT_EQ(cam._set_resolution(1, true), 0);
        EXPECT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), 0);
        EXPECT_EQ(imageOf(buffer)->width, 960);
        EXPECT_EQ(imageOf(buffer)->height, 728);
        c.device->omitNextMarker();
        EXPECT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), -3);
    }
}

TEST(CcdFrames, AutomaticExposureRunsOnlyOnModelsThatOfferIt) {
    // A capped lens asks automatic exposure for more light: the monochrome 205 lengthens its
    // exposure, the colour 205 has no automatic exposure and keeps what the user set.
    for (const auto& [productId, adjusts] :
         {std::pair{uint16_t{0xE004}, true}, std::pair{uint16_t{0xE008}, false}}) {
        SCOPED_TRACE(testing::Message() << std::hex << productId);
        auto c = openCcd(productId, 0, cappedLens());
        CamBase& cam = *c.camera;
        cam._sensor_resume();
        cam._set_exposure(10.0f);
        const float before = cam._exposure();
        cam._set_autoexposure(true);
        std::vector<unsigned char> buffer(size_t(cam._body()));
        for (int i = 0; i < 4; ++i) ASSERT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), 0);
        if (adjusts)
            EXPECT_GT(cam._exposure(), before);
        else
            EXPECT_EQ(cam._exposure(), before);
    }
}

TEST(CcdFrames, HeadMarkerReadChecksHeadsAndWholeTransfers) {
    auto c = openCcd(0xD006, 0);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    std::vector<unsigned char> buffer(size_t(cam._body()));
    const int size = int(buffer.size());
    EXPECT_EQ(cam._raw_data(buffer.data(), size), 0);
    c.device->omitNextMarker();
    EXPECT_EQ(cam._raw_data(buffer.data(), size), -3);
    c.device->strayHeadAtBlock(7);
    EXPECT_EQ(cam._raw_data(buffer.data(), size), -3);
    c.device->shortenNextTransfer(512);
    EXPECT_EQ(cam._raw_data(buffer.data(), size), -3);
    EXPECT_EQ(cam._raw_data(buffer.data(), size), 0);
    // A transfer that fails is acknowledged all the same.
    c.device->clearRequestLog();
    c.device->stallPipe(1, 1);
    EXPECT_EQ(cam._raw_data(buffer.data(), size), -3);
    EXPECT_EQ(requestsOf(*c.device, 0xB3).size(), 1u);
    EXPECT_EQ(cam._raw_data(buffer.data(), size), 0);
}

TEST(CcdFrames, BinnedItemsShowOnlyTheCurrentFrame) {
    // A dark scene read into a buffer full of white: nothing of the white may survive.
    hx::sim::SimOptions dark = cappedLens();
    dark.hotPixels = false;
    for (uint16_t productId : {uint16_t{0xD006}, uint16_t{0xE006}, uint16_t{0xD004}}) {
        SCOPED_TRACE(testing::Message() << std::hex << productId);
        auto c = openCcd(productId, 0, dark);
        CamBase& cam = *c.camera;
        cam._sensor_resume();
        for (int item : {1, 2}) {
            cam._set_resolution(item, true);
            std::vector<unsigned char> buffer(size_t(cam._body()), 0xFF);
            ASSERT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), 0);
            const _ezImage* image = imageOf(buffer);
            EXPECT_EQ(image->width, cam._resolution_width_at_index(item) + 8);
            EXPECT_EQ(image->height, cam._resolution_height_at_index(item) + 8);
            const unsigned char* begin = image->data;
            const unsigned char* end = begin + size_t(image->width) * image->height;
            EXPECT_LT(*std::max_element(begin, end), 128);
        }
    }
}

TEST(CcdFrames, DefectCollectionReportsOnItsFrame) {
    auto c = openCcd(0xE001, 0);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    std::vector<unsigned char> buffer(size_t(cam._body()));
    const int size = int(buffer.size());
    cam._set_resolution(3, true);
    cam._calc_defect_correction();
    const int r = cam._raw_data(buffer.data(), size);
    EXPECT_TRUE(r == 5 || r == -5) << r;
    EXPECT_EQ(cam._raw_data(buffer.data(), size), 0);
}

TEST(CcdFrames, DarkFrameCaptureAndSubtraction) {
    auto c = openCcd(0xE00C, 0xA001, cappedLens());
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    cam._set_resolution(2, true);
    cam._set_pixsclock(4);
    ASSERT_EQ(cam._set_raw_depth(16), 0);
    cam._set_exposure(2000.0f);
    const uint32_t lines = c.device->exposureLines();
    ASSERT_GT(lines, 1129u); // longer than one period
    std::vector<unsigned char> buffer(size_t(cam._body()));
    const int size = int(buffer.size());

    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    const auto before = samples16(imageOf(buffer));

    // The capture stops the sensor and restarts it for ten seconds; the exposure comes back.
    c.device->clearRequestLog();
    cam._blackfield();
    const auto modes = requestsOf(*c.device, 0xB4);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(uint32_t(modes[0].wIndex) | (uint32_t(modes[0].wValue >> 8) << 16),
              3000u * 10000 / 3528);
    EXPECT_EQ(requestsOf(*c.device, 0xBB).size(), 1u);
    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    EXPECT_EQ(c.device->exposureLines(), lines);

    ASSERT_EQ(cam._set_blackfield_state(true), 0);
    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    const auto after = samples16(imageOf(buffer));
    ASSERT_EQ(after.size(), before.size());
    EXPECT_LT(mean(after), mean(before));
    // The dark frame is median-smoothed: it takes off the even dark signal, not single pixels.
    EXPECT_LT(median(after), median(before) - 50) << median(after) << " " << median(before);

    // A dark frame of another size is not applied.
    cam._set_resolution(1, true);
    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    EXPECT_EQ(imageOf(buffer)->width, 1368);
}

} // namespace

namespace {

TEST(CcdFrames, FluorescenceMeasurementScalesTheShortRegister) {
    auto c = openCcd(0xE00C, 0xA001);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    cam._set_resolution(2, true);
    cam._set_exposure(300.0f * 3528 / 24000 + 0.001f);
    cam._set_analog_gain(554); // one doubling: (554 - 244) / 155 - 1 = 1
    cam._set_stretch(0, 170, false, 0);
    ASSERT_EQ(cam._fluorescence_guide(2, 0), 0);
    std::vector<unsigned char> buffer(size_t(cam._body()));
    c.device->clearRequestLog();
    EXPECT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), 3);
    EXPECT_EQ(cam._analog_gain(), 244);
    const auto modes = requestsOf(*c.device, 0xB4);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].wIndex, 300 * 255 / 170 * 2); // 900 lines: no period of 1129 yet
    EXPECT_EQ(requestsOf(*c.device, 0xBB).size(), 1u);
    EXPECT_EQ(c.device->exposureLines(), 900u);
    // The next frame is an ordinary one.
    EXPECT_EQ(cam._raw_data(buffer.data(), int(buffer.size())), 0);
}

} // namespace

namespace {

TEST(CcdFrames, Colour694CutsWindowModesAndBinsForTheGuide) {
    auto c = openCcd(0xE80C, 0xA001);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    std::vector<unsigned char> buffer(size_t(cam._body()));
    const int size = int(buffer.size());
    cam._set_resolution(2, true); // 0x0C: 1088 x 728 out of full-width lines
    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    EXPECT_EQ(imageOf(buffer)->width, 1088);
    EXPECT_EQ(imageOf(buffer)->height, 728);
    EXPECT_EQ(imageOf(buffer)->resolution, 2);
    // The guide's factor bins the frame once more, keeping its colour cells.
    ASSERT_EQ(cam._fluorescence_guide(0, 2), 0);
    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    EXPECT_EQ(imageOf(buffer)->width, 544);
    EXPECT_EQ(imageOf(buffer)->height, 364);
}

} // namespace
