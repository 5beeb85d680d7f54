// The driver under a real indiserver, driven by the INDI command-line tools and a small client,
// on simulated cameras paced like real ones. Frames are read back by fitsverify and astropy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <sys/stat.h>

#include <libindi/lilxml.h>

#include "IndiHarness.h"

using namespace hx::indi::test;

namespace {

const std::string kColour = "Halvex VAh200C1 1"; // 1600 x 1200 RGGB, no cooler
const std::string kCooled = "Halvex VDh694M1 1"; // 2736 x 2200 mono, cooler and thermometer

std::string q(const std::string& operand) {
    return "\"" + operand + "\"";
}

/// "YYYY-MM-DDTHH:MM:SS.mmm" as a point in time (UTC).
std::chrono::system_clock::time_point utc(const std::string& text) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return {};
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(timegm(&tm)) + std::chrono::milliseconds(ms);
}

double number(const std::string& text) {
    try {
        return text.empty() ? -1e300 : std::stod(text);
    } catch (...) {
        return -1e300;
    }
}

class IndiDriverTest : public ::testing::Test {
protected:
    void start(const std::string& simulate = "VAh200C1,VDh694M1:0xA001") {
        server_ = std::make_unique<IndiServer>(simulate);
        ASSERT_TRUE(server_->ready()) << "indiserver or the driver did not start:\n"
                                      << server_->log();
        client_ = std::make_unique<BlobClient>(server_->port());
        ASSERT_TRUE(client_->connected());
    }
    void TearDown() override {
        client_.reset();
        if (HasFailure() && server_) std::cerr << "server log:\n" << server_->log() << "\n";
        server_.reset();
    }
    void connect(const std::string& device) {
        // The simulator's device comes first; a camera arrives once the library has it.
        ASSERT_TRUE(server_->waitForDevice(device, true, 15)) << device;
        ASSERT_TRUE(server_->set(device + ".CONNECTION.CONNECT=On"));
        ASSERT_TRUE(server_->waitFor(q(device + ".CONNECTION.CONNECT") + "==1", 10));
        // Connected devices define their camera properties; wait for the last of them.
        ASSERT_TRUE(server_->waitFor(q(device + ".CCD_STREAM_FRAMES._STATE") + ">=0", 10));
    }
    /// One exposure through CCD_EXPOSURE; the FITS BLOB read back.
    FitsReport expose(const std::string& device, double seconds) {
        client_->clearBlobs();
        if (!server_->set(device + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=" + std::to_string(seconds)))
            return {};
        if (!client_->waitForBlobs(device, 1, seconds + 20)) return {};
        const auto blobs = client_->blobs(device);
        EXPECT_EQ(blobs.front().format, ".fits");
        return readFitsBlob(blobs.front(), server_->home(), &lastFits_);
    }
    std::string get(const std::string& spec) { return server_->get(spec); }
    /// The value once the driver has taken a new one in: indi_setprop returns when it has sent
    /// the request, not when the driver has answered. The last value read when time runs out.
    std::string settled(const std::string& spec, const std::string& expected, double limit = 10) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
        std::string value = get(spec);
        while (value != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            value = get(spec);
        }
        return value;
    }

    std::unique_ptr<IndiServer> server_;
    std::unique_ptr<BlobClient> client_;
    std::filesystem::path lastFits_;
};

TEST_F(IndiDriverTest, ListsOneDevicePerCameraAndDeliversVerifiedFits) {
    start();
    ASSERT_TRUE(server_->waitForDevice(kColour, true, 15));
    ASSERT_TRUE(server_->waitForDevice(kCooled, true, 15));
    std::set<std::string> devices;
    for (const std::string& line : server_->getAll("*.CONNECTION.CONNECT"))
        devices.insert(line.substr(0, line.find('.')));
    EXPECT_EQ(devices, (std::set<std::string>{kColour, kCooled, "Halvex Simulator"}));

    // The colour camera: raw Bayer frames of the whole sensor with the pattern announced.
    connect(kColour);
    EXPECT_EQ(get(kColour + ".CCD_INFO.CCD_MAX_X"), "1600");
    EXPECT_EQ(get(kColour + ".CCD_INFO.CCD_MAX_Y"), "1200");
    EXPECT_EQ(get(kColour + ".CCD_CFA.CFA_TYPE"), "RGGB");
    const std::string gain = get(kColour + ".CCD_GAIN.GAIN");
    const auto asked = std::chrono::system_clock::now();
    FitsReport f = expose(kColour, 0.1);
    const auto delivered = std::chrono::system_clock::now();
    ASSERT_TRUE(f.error.empty()) << f.error;
    EXPECT_TRUE(f.verified) << f.verifyOutput;
    EXPECT_EQ(f.shape, (std::vector<int>{1200, 1600}));
    EXPECT_EQ(f.header["BITPIX"], "8");
    EXPECT_EQ(f.header["INSTRUME"], "VAh200C1");
    EXPECT_NEAR(number(f.header["EXPTIME"]), 0.1, 0.001);
    EXPECT_EQ(f.header["GAIN"], gain);
    EXPECT_EQ(f.header["BAYERPAT"], "RGGB");
    EXPECT_EQ(f.header["XBAYROFF"], "0");
    EXPECT_EQ(f.header["YBAYROFF"], "0");
    EXPECT_EQ(f.header["ROWORDER"], "TOP-DOWN");
    EXPECT_EQ(f.header["IMAGETYP"], "Light Frame");
    // UTC with milliseconds, between the request and the delivery (a second's grace for the
    // estimate of the start).
    const auto start = utc(f.header["DATE-OBS"]);
    EXPECT_EQ(f.header["DATE-OBS"].size(), 23u) << f.header["DATE-OBS"];
    EXPECT_GE(start, asked - std::chrono::seconds(1)) << f.header["DATE-OBS"];
    EXPECT_LE(start, delivered) << f.header["DATE-OBS"];
    EXPECT_EQ(f.header.count("CCD-TEMP"), 0u); // no thermometer, no temperature
    EXPECT_EQ(f.header.count("PIXSIZE1"), 0u); // unknown, so not written
    // A second reader agrees.
    FitsReport a = readFitsWithAstropy(lastFits_);
    ASSERT_TRUE(a.error.empty()) << a.error;
    EXPECT_EQ(a.shape, f.shape);
    EXPECT_NEAR(a.mean, f.mean, 1e-6);
    for (const char* key : {"BITPIX", "INSTRUME", "BAYERPAT", "DATE-OBS", "GAIN", "ROWORDER"})
        EXPECT_EQ(a.header[key], f.header[key]) << key;

    // The cooled camera at 16 bits: unsigned samples, the sensor's temperature.
    connect(kCooled);
    ASSERT_TRUE(server_->set(kCooled + ".CCD_CAPTURE_FORMAT.INDI_MONO_16=On"));
    ASSERT_TRUE(server_->waitFor(q(kCooled + ".CCD_INFO.CCD_BITSPERPIXEL") + "==16", 5));
    f = expose(kCooled, 0.1);
    ASSERT_TRUE(f.error.empty()) << f.error;
    EXPECT_TRUE(f.verified) << f.verifyOutput;
    EXPECT_EQ(f.shape, (std::vector<int>{2200, 2736}));
    EXPECT_EQ(f.header["BITPIX"], "16");
    EXPECT_EQ(f.header["BZERO"], "32768");
    EXPECT_EQ(f.header["INSTRUME"], "VDh694M1");
    EXPECT_EQ(f.header.count("CCD-TEMP"), 1u);
    EXPECT_EQ(f.header.count("BAYERPAT"), 0u);
    // The frame type reaches the camera and comes back in the frame.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FRAME_TYPE.FRAME_DARK=On"));
    f = expose(kCooled, 0.1);
    EXPECT_EQ(f.header["IMAGETYP"], "Dark Frame");
}

TEST_F(IndiDriverTest, BinningAndRegionGiveTheFrameSize) {
    start("VDh694M1:0xA001");
    connect(kCooled);
    // 2x2 is the camera's own binned item (1368 x 1080 of the full 2736 x 2200).
    ASSERT_TRUE(server_->set(kCooled + ".CCD_BINNING.HOR_BIN;VER_BIN=2;2"));
    FitsReport f = expose(kCooled, 0.05);
    EXPECT_EQ(f.shape, (std::vector<int>{1080, 1368}));
    EXPECT_EQ(f.header["XBINNING"], "2");
    EXPECT_EQ(get(kCooled + ".CCD_RESOLUTION.RESOLUTION_1"), "On");

    // A region in unbinned pixels, aligned as the camera crops.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FRAME.X;Y;WIDTH;HEIGHT=100;50;1000;600"));
    EXPECT_EQ(settled(kCooled + ".CCD_FRAME.X", "96"), "96");
    EXPECT_EQ(settled(kCooled + ".CCD_FRAME.Y", "48"), "48");
    EXPECT_EQ(settled(kCooled + ".CCD_FRAME.WIDTH", "1000"), "1000");
    f = expose(kCooled, 0.05);
    EXPECT_TRUE(f.verified) << f.verifyOutput;
    EXPECT_EQ(f.shape, (std::vector<int>{300, 500}));
    EXPECT_EQ(f.header["XORGSUBF"], "96");
    EXPECT_EQ(f.header["YORGSUBF"], "48");

    // 3x3 is no item of this camera: refused, the binning stays.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_BINNING.HOR_BIN;VER_BIN=3;3"));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_BINNING._STATE") + "==3", 5));
    EXPECT_EQ(get(kCooled + ".CCD_BINNING.HOR_BIN"), "2");

    // 4x4 keeps the region on the sensor; a full frame gives the whole binned item.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_BINNING.HOR_BIN;VER_BIN=4;4"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FRAME.X;Y;WIDTH;HEIGHT=0;0;2736;2200"));
    f = expose(kCooled, 0.05);
    EXPECT_EQ(f.shape, (std::vector<int>{510, 684}));
    EXPECT_EQ(f.header["XBINNING"], "4");

    ASSERT_TRUE(server_->set(kCooled + ".CCD_BINNING.HOR_BIN;VER_BIN=1;1"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FRAME.X;Y;WIDTH;HEIGHT=1001;503;64;32"));
    f = expose(kCooled, 0.05);
    EXPECT_EQ(f.shape, (std::vector<int>{32, 64}));
    EXPECT_EQ(f.header["XORGSUBF"], "1000");
    EXPECT_EQ(f.header["YORGSUBF"], "502");
}

TEST_F(IndiDriverTest, GainAndOffsetReachTheCamera) {
    start("VDh694M1:0xA001");
    connect(kCooled);
    auto meanAt = [&](const std::string& property, int value) {
        EXPECT_TRUE(server_->set(kCooled + "." + property + "=" + std::to_string(value)));
        FitsReport f = expose(kCooled, 0.01);
        EXPECT_TRUE(f.verified) << f.verifyOutput;
        return std::make_pair(f.mean, f.header);
    };
    const auto low = meanAt("CCD_GAIN.GAIN", 10);
    const auto high = meanAt("CCD_GAIN.GAIN", 300);
    EXPECT_EQ(low.second.at("GAIN"), "10");
    EXPECT_EQ(high.second.at("GAIN"), "300");
    EXPECT_GT(high.first, 2 * low.first + 5) << "a higher gain must brighten the frame";

    const auto dark = meanAt("CCD_OFFSET.OFFSET", 0);
    const auto darker = meanAt("CCD_OFFSET.OFFSET", 150);
    EXPECT_EQ(darker.second.at("OFFSET"), "150");
    EXPECT_LT(darker.first, dark.first - 5) << "this camera's black level lowers the pedestal";

    // Values outside the camera's range are brought into it or refused, never passed on.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_OFFSET.OFFSET=100000"));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_OFFSET._STATE") + "==3", 5));
    EXPECT_EQ(get(kCooled + ".CCD_OFFSET.OFFSET"), "150");
}

TEST_F(IndiDriverTest, SetPointDrivesTheCooler) {
    start("VDh694M1:0xA001");
    connect(kCooled);
    const double start = number(get(kCooled + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE"));
    ASSERT_GT(start, -40);
    // Far below: the cooler runs and the sensor gets colder (far enough from the ambient that
    // it then warms up at a pace the test can see).
    ASSERT_TRUE(server_->set(kCooled + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=-30"));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_COOLER.COOLER_ON") + "==1", 5));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_TEMPERATURE._STATE") + "==2", 5));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE") + "<" +
                                     std::to_string(start - 3),
                                 30));
    // Above the sensor's temperature: the cooler rests and the sensor warms up again.
    const double cold = number(get(kCooled + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=35"));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE") + ">" +
                                     std::to_string(cold + 1),
                                 30));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_COOLER_POWER.CCD_COOLER_VALUE") + "<90", 10));
    // Cooler off ends the regulation.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_COOLER.COOLER_OFF=On"));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_TEMPERATURE._STATE") + "==0", 5));
}

TEST_F(IndiDriverTest, AbortEndsALongExposureAndTheNextOneWorks) {
    start("VDh694M1:0xA001");
    connect(kCooled);
    ASSERT_TRUE(server_->set(kCooled + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=30"));
    ASSERT_TRUE(server_->waitFor(q(kCooled + ".CCD_EXPOSURE._STATE") + "==2", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_ABORT_EXPOSURE.ABORT=On"));
    // Within a second as a rule; the bound only keeps a failure from hanging.
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_EXPOSURE._STATE") + "!=2", 5));
    FitsReport f = expose(kCooled, 0.2);
    EXPECT_TRUE(f.verified) << f.verifyOutput;
    EXPECT_NEAR(number(f.header["EXPTIME"]), 0.2, 0.002);
    // The aborted exposure sent nothing.
    EXPECT_EQ(client_->blobs(kCooled).size(), 1u);

    // A fast series: one request, three frames.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FAST_TOGGLE.INDI_ENABLED=On"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FAST_COUNT.FRAMES=3"));
    client_->clearBlobs();
    ASSERT_TRUE(server_->set(kCooled + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.1"));
    EXPECT_TRUE(client_->waitForBlobs(kCooled, 3, 20)) << client_->blobs(kCooled).size();
    ASSERT_TRUE(server_->set(kCooled + ".CCD_FAST_TOGGLE.INDI_DISABLED=On"));

    // Disconnecting during a long exposure ends it, and the camera works after reconnecting.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=30"));
    ASSERT_TRUE(server_->waitFor(q(kCooled + ".CCD_EXPOSURE._STATE") + "==2", 5));
    ASSERT_TRUE(server_->set(kCooled + ".CONNECTION.DISCONNECT=On"));
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CONNECTION.CONNECT") + "==0", 10));
    connect(kCooled);
    EXPECT_TRUE(expose(kCooled, 0.1).verified);
}

TEST_F(IndiDriverTest, StreamingDeliversEachFrameOnce) {
    start("VAh200C1");
    connect(kColour);
    ASSERT_TRUE(server_->set(kColour + ".CCD_BINNING.HOR_BIN;VER_BIN=4;4"));
    ASSERT_TRUE(server_->set(kColour + ".STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.02"));
    client_->clearBlobs();
    ASSERT_TRUE(server_->set(kColour + ".CCD_VIDEO_STREAM.STREAM_ON=On"));
    ASSERT_TRUE(client_->waitForBlobs(kColour, 12, 20)) << client_->blobs(kColour).size();
    ASSERT_TRUE(server_->set(kColour + ".CCD_VIDEO_STREAM.STREAM_OFF=On"));
    ASSERT_TRUE(server_->waitFor(q(kColour + ".CCD_VIDEO_STREAM.STREAM_OFF") + "==1", 5));

    const auto blobs = client_->blobs(kColour);
    std::set<size_t> hashes;
    for (const auto& b : blobs) {
        EXPECT_EQ(b.format, ".stream");
        EXPECT_EQ(b.data.size(), 400u * 300u); // the 4x4 item, raw 8-bit
        hashes.insert(std::hash<std::string>{}(std::string(b.data.begin(), b.data.end())));
    }
    EXPECT_EQ(hashes.size(), blobs.size()) << "a frame was sent twice";
    // A steady stream: frames keep coming over the whole time, not in one burst.
    const auto span = blobs.back().at - blobs.front().at;
    EXPECT_GT(span, std::chrono::milliseconds(300));
    EXPECT_GE(number(get(kColour + ".CCD_STREAM_FRAMES.STREAMED")), double(blobs.size()));
    EXPECT_EQ(get(kColour + ".CCD_STREAM_FRAMES.DROPPED"), "0");
    // Nothing after the stream ended (give a late frame time to show up).
    const size_t after = client_->blobs(kColour).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_LE(client_->blobs(kColour).size(), after + 1);
    // An exposure works again.
    EXPECT_TRUE(expose(kColour, 0.05).verified);
}

TEST_F(IndiDriverTest, CamerasComeAndGoWhileTheServerRuns) {
    start();
    connect(kCooled);
    const std::string sim = "Halvex Simulator";
    ASSERT_TRUE(server_->set(sim + ".SIM_PLUG.MODEL=VAh200C1"));
    ASSERT_TRUE(server_->waitForDevice("Halvex VAh200C1 2", true, 10));

    ASSERT_TRUE(server_->set(sim + ".SIM_UNPLUG.NAME=" + kColour));
    ASSERT_TRUE(server_->waitForDevice(kColour, false, 10));
    EXPECT_TRUE(server_->waitForDevice("Halvex VAh200C1 2", true, 1));
    // The other camera works on.
    EXPECT_TRUE(expose(kCooled, 0.05).verified);

    // Plugged again, the camera gets its name back and works.
    ASSERT_TRUE(server_->set(sim + ".SIM_PLUG.MODEL=0xA811"));
    ASSERT_TRUE(server_->waitForDevice(kColour, true, 10));
    connect(kColour);
    FitsReport f = expose(kColour, 0.05);
    EXPECT_TRUE(f.verified) << f.verifyOutput;
    EXPECT_EQ(f.shape, (std::vector<int>{1200, 1600}));

    // Unplugged during an exposure: the exposure ends in an alert, the device leaves.
    ASSERT_TRUE(server_->set(kCooled + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=20"));
    ASSERT_TRUE(server_->waitFor(q(kCooled + ".CCD_EXPOSURE._STATE") + "==2", 5));
    ASSERT_TRUE(server_->set(sim + ".SIM_UNPLUG.NAME=VDh694M1.1"));
    EXPECT_TRUE(client_->waitForRemoval(kCooled, 10));
    EXPECT_EQ(client_->lastState(kCooled, "CCD_EXPOSURE"), "Alert");
    EXPECT_TRUE(server_->waitForDevice(kCooled, false, 5));
    EXPECT_TRUE(expose(kColour, 0.05).verified);
}

TEST_F(IndiDriverTest, SavedConfigurationComesBackOnConnect) {
    start("VDh694M1:0xA001");
    connect(kCooled);
    ASSERT_TRUE(server_->set(kCooled + ".CCD_GAIN.GAIN=300"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_PIXEL_CLOCK.CLOCK_2=On"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_BINNING.HOR_BIN;VER_BIN=2;2"));
    ASSERT_TRUE(server_->set(kCooled + ".CCD_CAPTURE_FORMAT.INDI_MONO_16=On"));
    ASSERT_TRUE(server_->set(kCooled + ".CONFIG_PROCESS.CONFIG_SAVE=On"));
    ASSERT_TRUE(server_->waitFor(q(kCooled + ".CONFIG_PROCESS._STATE") + "==1", 5));
    EXPECT_TRUE(std::filesystem::exists(server_->home() / ".indi" / (kCooled + "_config.xml")));

    ASSERT_TRUE(server_->set(kCooled + ".CONNECTION.DISCONNECT=On"));
    ASSERT_TRUE(server_->waitFor(q(kCooled + ".CONNECTION.CONNECT") + "==0", 10));
    connect(kCooled);
    EXPECT_TRUE(server_->waitFor(q(kCooled + ".CCD_GAIN.GAIN") + "==300", 5));
    EXPECT_EQ(settled(kCooled + ".CCD_PIXEL_CLOCK.CLOCK_2", "On"), "On");
    EXPECT_EQ(settled(kCooled + ".CCD_BINNING.HOR_BIN", "2"), "2");
    EXPECT_EQ(settled(kCooled + ".CCD_CAPTURE_FORMAT.INDI_MONO_16", "On"), "On");
    // And the camera has them: the frame says so.
    FitsReport f = expose(kCooled, 0.05);
    EXPECT_EQ(f.header["BITPIX"], "16");
    EXPECT_EQ(f.header["GAIN"], "300");
    EXPECT_EQ(f.shape, (std::vector<int>{1080, 1368}));
}

TEST_F(IndiDriverTest, BadInputGetsAClearAnswerAndLosesNothing) {
    start("VAh200C1");
    connect(kColour);
    const std::string sim = "Halvex Simulator";
    // An exposure the model cannot reach (its longest is a quarter second).
    ASSERT_TRUE(server_->set(kColour + ".CCD_EXPOSURE.CCD_EXPOSURE_VALUE=5"));
    EXPECT_TRUE(server_->waitFor(q(kColour + ".CCD_EXPOSURE._STATE") + "==3", 5));
    // Unknown models, huge texts and unknown names.
    ASSERT_TRUE(server_->set(sim + ".SIM_PLUG.MODEL=NoSuchCamera"));
    EXPECT_TRUE(server_->waitFor(q(sim + ".SIM_PLUG._STATE") + "==3", 5));
    // A text longer than the command-line tools carry, from a client.
    ASSERT_TRUE(server_->sendText(sim, "SIM_PLUG", "MODEL", std::string(100000, 'V')));
    EXPECT_TRUE(client_->waitForMessage(sim, "too long", 10));
    ASSERT_TRUE(server_->sendText(kColour, "FITS_HEADER", "FITS_OBJECT", std::string(100000, 'M')));
    EXPECT_TRUE(client_->waitForMessage(kColour, "too long", 10));
    EXPECT_TRUE(server_->waitFor(q(sim + ".SIM_PLUG._STATE") + "==3", 5));
    ASSERT_TRUE(server_->set(sim + ".SIM_UNPLUG.NAME=Halvex Nothing 9"));
    EXPECT_TRUE(server_->waitFor(q(sim + ".SIM_UNPLUG._STATE") + "==3", 5));
    // A frame far outside the sensor is cut to it.
    ASSERT_TRUE(server_->set(kColour + ".CCD_FRAME.X;Y;WIDTH;HEIGHT=-50;-50;100000;100000"));
    EXPECT_EQ(settled(kColour + ".CCD_FRAME.WIDTH", "1600"), "1600");
    EXPECT_EQ(settled(kColour + ".CCD_FRAME.HEIGHT", "1200"), "1200");
    // The device still works.
    FitsReport f = expose(kColour, 0.05);
    EXPECT_TRUE(f.verified) << f.verifyOutput;
    EXPECT_EQ(f.shape, (std::vector<int>{1200, 1600}));
}

// The install component puts the driver where indiserver finds it and its description where
// clients list drivers; the description names the program and the group clients sort it into.
TEST(IndiInstall, DriverAndDescriptionLandWhereIndiLooksForThem) {
    char dir[] = "/tmp/halvex-indi-install-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::filesystem::path root = dir;
    const RunResult install = runProgram(
        {HALVEX_CMAKE, "--install", HALVEX_BUILD_DIR, "--component", "indi", "--prefix", "/usr"},
        60, {{"DESTDIR", root.string()}});
    EXPECT_EQ(install.status, 0) << install.output;
    const std::filesystem::path driver = root / "usr/bin/indi_halvex_ccd";
    struct stat st {};
    ASSERT_EQ(::stat(driver.c_str(), &st), 0) << driver;
    EXPECT_TRUE(st.st_mode & S_IXUSR);

    FILE* file = std::fopen((root / "usr/share/indi/indi_halvex.xml").c_str(), "r");
    ASSERT_NE(file, nullptr);
    LilXML* parser = newLilXML();
    char error[1024] = {0};
    XMLEle* list = readXMLFile(file, parser, error);
    std::fclose(file);
    delLilXML(parser);
    ASSERT_NE(list, nullptr) << error;
    EXPECT_STREQ(tagXMLEle(list), "driversList");
    XMLEle* group = findXMLEle(list, "devGroup");
    ASSERT_NE(group, nullptr);
    EXPECT_STREQ(findXMLAttValu(group, "group"), "CCDs");
    XMLEle* device = findXMLEle(group, "device");
    XMLEle* program = device ? findXMLEle(device, "driver") : nullptr;
    ASSERT_NE(program, nullptr);
    EXPECT_STREQ(pcdataXMLEle(program), "indi_halvex_ccd");
    delXMLEle(list);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

} // namespace
