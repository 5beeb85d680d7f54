// The registry: naming and order, arrival and removal, hot-plug messages, resume and suspend.
#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>

#include "ApiFixture.h"
#include "camera/CamBase.h"
#include "camera/CamRegistry.h"

namespace {

int requestsWithCode(uint64_t key, uint8_t code) {
    auto camera = hx::sim::SimBus::instance().camera(key);
    int n = 0;
    if (camera)
        for (const auto& r : camera->requestLog()) n += r.bRequest == code;
    return n;
}

} // namespace

TEST_F(ApiTest, TwoCamerasOfOneModelAreNamedInArrivalOrderAndListedByteWise) {
    start();
    std::string first = plug(0xA811);
    std::string second = plug(0xA811);
    ASSERT_EQ(first.substr(0, 9), "VAh200C1.");
    ASSERT_EQ(second.substr(0, 9), "VAh200C1.");
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(second.back(), first.back() + 1);
    ASSERT_EQ(DeviceCount(), 2);
    EXPECT_EQ(std::string(DeviceName(0)), std::min(first, second));
    EXPECT_EQ(std::string(DeviceName(1)), std::max(first, second));
    EXPECT_STREQ(DeviceName(-1), "");
    EXPECT_STREQ(DeviceName(DeviceCount()), "");
    ASSERT_EQ(log_.messages.size(), 2u);
    EXPECT_EQ(log_.messages[0], std::make_pair(first, 0));
    EXPECT_EQ(DeviceProduct(first.c_str()), 0xA811);
    EXPECT_EQ(DeviceVendor(first.c_str()), 0x0547);
}

TEST_F(ApiTest, CamerasPresentAtStartArriveBeforeInitReturnsAndOnlySupportedOnes) {
    PlugSimulatedCamera(0xA00A, 0); // supported monochrome model
    PlugSimulatedCamera(0xC811, 0); // a model, but not a supported product id
    PlugSimulatedCamera(0xD002, 0); // a supported product id that no model makes
    start();
    ASSERT_EQ(log_.messages.size(), 1u);
    EXPECT_EQ(log_.messages[0].first.substr(0, 9), "VSh035M1.");
    EXPECT_EQ(log_.messages[0].second, 0);
    EXPECT_EQ(log_.threads[0], std::this_thread::get_id());
    EXPECT_EQ(DeviceCount(), 1);
    EXPECT_EQ(PumpDeviceEvents(0), 0);
}

TEST_F(ApiTest, CameraThatCannotBeOpenedIsNeitherRegisteredNorAnnounced) {
    start();
    auto dead = hx::sim::makeSimCamera(0xA811);
    dead->unplug(); // every transfer, the open included, answers "no device"
    uint64_t key = hx::sim::SimBus::instance().plug(dead);
    EXPECT_EQ(PumpDeviceEvents(0), 1);
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_TRUE(log_.messages.empty());
    EXPECT_TRUE(dead->requestLog().empty());
    // Its removal is not announced either.
    EXPECT_EQ(UnplugSimulatedCamera(key), 0);
    EXPECT_EQ(PumpDeviceEvents(0), 1);
    EXPECT_TRUE(log_.messages.empty());
}

TEST_F(ApiTest, LaterEventsWaitForThePumpOnTheInitThread) {
    start();
    ASSERT_GE(DeviceEventFd(), 0);
    std::thread other([] { PlugSimulatedCamera(0xA811, 0); });
    other.join();
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_TRUE(log_.messages.empty());
    pollfd p{DeviceEventFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    int fromOther = 0;
    std::thread pumper([&] { fromOther = PumpDeviceEvents(0); });
    pumper.join();
    EXPECT_EQ(fromOther, -1);
    EXPECT_EQ(PumpDeviceEvents(100), 1);
    ASSERT_EQ(log_.threads.size(), 1u);
    EXPECT_EQ(log_.threads[0], std::this_thread::get_id());
    EXPECT_EQ(DeviceCount(), 1);
    EXPECT_EQ(::poll(&p, 1, 0), 0);
}

TEST_F(ApiTest, UnplugStoppedCameraSavesParametersAndDestroysIt) {
    start();
    uint64_t key = 0;
    std::string name = plug(0xA811, 0, &key);
    ASSERT_FALSE(name.empty());
    std::weak_ptr<CamBase> weak = hx::cam::CamRegistry::instance().find(name.c_str());
    ASSERT_FALSE(weak.expired());
    SetContrast(140, name.c_str());
    ASSERT_EQ(UnplugSimulatedCamera(key), 0);
    EXPECT_EQ(DeviceCount(), 1); // nothing happens before the pump
    EXPECT_EQ(PumpDeviceEvents(0), 1);
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(log_.messages.back(), std::make_pair(name, 3));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VAh200C1."));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VAh200C1.a.txt"));
    EXPECT_EQ(UnplugSimulatedCamera(key), -1);

    // The next camera of the model gets the saved settings back.
    std::string next = plug(0xA811);
    EXPECT_EQ(GetContrast(next.c_str()), 140);
}

TEST_F(ApiTest, UnplugRunningCameraMarksItAndKeepsItUntilTheLastUserLetsGo) {
    start();
    std::string name = plug(0xA811);
    ASSERT_EQ(ResumeDevice(name.c_str()), 0);
    ASSERT_EQ(DeviceState(name.c_str()), 1);
    std::shared_ptr<CamBase> held = hx::cam::CamRegistry::instance().find(name.c_str());
    std::weak_ptr<CamBase> weak = held;
    ASSERT_EQ(UnplugSimulatedCameraByName(name.c_str()), 0);
    ASSERT_EQ(PumpDeviceEvents(0), 1);
    EXPECT_EQ(log_.messages.back(), std::make_pair(name, 3));
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_EQ(DeviceState(name.c_str()), 0); // unknown name
    EXPECT_EQ(ResumeDevice(name.c_str()), -1);
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(held->_state(), 3);
    std::vector<unsigned char> frame(held->_body());
    EXPECT_NE(held->_raw_data(frame.data(), static_cast<int>(frame.size())), 0);
    held.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VAh200C1."));
}

TEST_F(ApiTest, ResumeAndSuspendAreIdempotent) {
    start();
    uint64_t key = 0;
    std::string name = plug(0xA811, 0, &key);
    const char* n = name.c_str();
    EXPECT_EQ(SuspendDevice(n), 0);
    EXPECT_EQ(requestsWithCode(key, 0xBB), 0);
    EXPECT_EQ(ResumeDevice(n), 0);
    EXPECT_EQ(ResumeDevice(n), 0);
    EXPECT_EQ(requestsWithCode(key, 0xBA), 1);
    EXPECT_EQ(DeviceState(n), 1);
    EXPECT_EQ(SuspendDevice(n), 0);
    EXPECT_EQ(SuspendDevice(n), 0);
    EXPECT_EQ(requestsWithCode(key, 0xBB), 1);
    EXPECT_EQ(DeviceState(n), 0);
    EXPECT_EQ(ResumeDevice("NoSuchCamera.1"), -1);
    EXPECT_EQ(SuspendDevice(nullptr), -1);
    EXPECT_EQ(log_.messages.size(), 1u);
}

TEST_F(ApiTest, ExitSavesEveryCameraAndInitStartsAfresh) {
    start();
    std::string name = plug(0xA00A);
    ExitDevice();
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VSh035M1."));
    EXPECT_EQ(PumpDeviceEvents(0), -1);
    EXPECT_EQ(DeviceEventFd(), -1);
    // The simulated camera is still plugged and arrives again, under a new name.
    start();
    ASSERT_EQ(DeviceCount(), 1);
    EXPECT_NE(std::string(DeviceName(0)), name);
}

TEST_F(ApiTest, SimulationListFromTheEnvironmentIsPluggedAndUnpluggedWithTheLibrary) {
    setenv("HALVEX_SIMULATE", "VAh200C1, 0xE00C:0xA001 ,nonsense", 1);
    start();
    unsetenv("HALVEX_SIMULATE");
    ASSERT_EQ(DeviceCount(), 2);
    bool cooled = false;
    for (int i = 0; i < 2; ++i)
        if (DeviceProduct(DeviceName(i)) == 0xE00C) {
            cooled = true;
            EXPECT_EQ(DeviceBcd(DeviceName(i)), 0xA001);
        }
    EXPECT_TRUE(cooled);
    ExitDevice();
    EXPECT_TRUE(hx::sim::SimBus::instance().keys().empty());
}

TEST(SimulateList, ParsesNamesIdsAndBcdAndReportsWhatItCannotRead) {
    std::vector<std::string> errors;
    auto items = hx::sim::parseSimulateList(
        " VAh200C1,0xE00C:0xA001,,57356 , VDh694M1.:40961, bogus, 0x1FFFF, VAh131C1:", &errors);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].productId, 0xA811);
    EXPECT_EQ(items[0].bcdDevice, 0);
    EXPECT_EQ(items[1].productId, 0xE00C);
    EXPECT_EQ(items[1].bcdDevice, 0xA001);
    EXPECT_EQ(items[2].productId, 57356);
    EXPECT_EQ(items[3].productId, 0xE00C);
    EXPECT_EQ(items[3].bcdDevice, 0xA001);
    EXPECT_EQ(errors, (std::vector<std::string>{"bogus", "0x1FFFF", "VAh131C1:"}));
    EXPECT_EQ(hx::sim::simProductIdForClass("VAh500C1"), 0xA004);
    EXPECT_EQ(hx::sim::simProductIdForClass("vah500c1"), -1);
    EXPECT_EQ(PlugSimulatedCameras(nullptr), -2);
}

// Models whose product id the support table lacks (VAh131M1, V3h5MC1) are never taken in, so
// a simulation of one would sit on the bus unseen: it is refused by name, with the models that
// can be simulated, and every model offered does arrive.
TEST_F(ApiTest, SimulationListsNameTheModelsThatNeverArriveAndThoseThatDo) {
    const std::vector<std::string> problems =
        hx::cam::simulateListProblems("VAh200C1, VAh131M1,0xAC11:0x0100,bogus,0xD002");
    ASSERT_EQ(problems.size(), 4u);
    EXPECT_EQ(problems[0], "'VAh131M1': this library does not take cameras of this model "
                           "(product id 0xA00B)");
    EXPECT_EQ(problems[1], "'0xAC11:0x0100': this library does not take cameras of this model "
                           "(product id 0xAC11)");
    EXPECT_EQ(problems[2], "'0xD002': no camera model has product id 0xD002");
    EXPECT_EQ(problems[3], "'bogus' is not a model name or product id");
    EXPECT_TRUE(hx::cam::simulateListProblems("VAh200C1,0xA00D, VDh694M1:0xA001").empty());

    const std::vector<std::string> models = hx::cam::simulatableModels();
    for (const char* never : {"VAh131M1", "V3h5MC1", "VAo200C1", "VDh694C1"})
        EXPECT_EQ(std::count(models.begin(), models.end(), never), 0) << never;
    EXPECT_NE(hx::cam::simulatableModelList().find("VAh200C1, V"), std::string::npos);

    // Refused items are not plugged; the others are, and arrive.
    auto& bus = hx::sim::SimBus::instance();
    EXPECT_EQ(PlugSimulatedCameras("VAh131M1"), -2);
    EXPECT_EQ(PlugSimulatedCameras("V3h5MC1,VAh200C1"), -2);
    EXPECT_EQ(bus.keys().size(), 1u);
    for (uint64_t key : bus.keys()) bus.unplug(key);
    start();
    int plugged = 0;
    for (const std::string& model : models) {
        SCOPED_TRACE(model);
        ASSERT_EQ(PlugSimulatedCameras(model.c_str()), 1);
        ++plugged;
        for (int i = 0; i < 50 && DeviceCount() < plugged; ++i) PumpDeviceEvents(100);
        EXPECT_EQ(DeviceCount(), plugged);
    }
    EXPECT_GE(plugged, 30);
}

TEST_F(ApiTest, HalvexSimulateReportsItemsThatNeverArriveWithTheModelsThatCan) {
    setenv("HALVEX_SIMULATE", "VAh131M1,VAh200C1,V3h5MC1", 1);
    testing::internal::CaptureStderr();
    start();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(DeviceCount(), 1);
    EXPECT_NE(said.find("'VAh131M1': this library does not take"), std::string::npos) << said;
    EXPECT_NE(said.find("'V3h5MC1': this library does not take"), std::string::npos) << said;
    EXPECT_NE(said.find("models that can be simulated: " + hx::cam::simulatableModelList()),
              std::string::npos)
        << said;
    EXPECT_EQ(hx::sim::SimBus::instance().keys().size(), 1u); // nothing left unseen on the bus
}

TEST(SupportTable, HasTheThirtyFiveRowsOfTheCameraVendor) {
    EXPECT_EQ(hx::cam::tabCamSupport[0].productId, 0xC003);
    EXPECT_EQ(hx::cam::tabCamSupport[34].productId, 0xA811);
    for (const auto& row : hx::cam::tabCamSupport) EXPECT_EQ(row.vendorId, 0x0547);
    EXPECT_TRUE(hx::cam::camSupported(0x0547, 0xD007));
    EXPECT_FALSE(hx::cam::camSupported(0x0547, 0xE80C));
    EXPECT_FALSE(hx::cam::camSupported(0x0548, 0xA811));
}

TEST(VersionInf, FixedTextsAndOtherTypesRepeatTheLast) {
    const char* two = VersionInf(2);
    EXPECT_STREQ(two, "4.0.0.0");
    EXPECT_STREQ(VersionInf(2), "4.0.0.0");
    EXPECT_STREQ(VersionInf(7), "4.0.0.0");
    EXPECT_STREQ(VersionInf(1), "2014/07/24");
    EXPECT_STREQ(VersionInf(3), "(CHINA_Zorvik)");
    EXPECT_STREQ(VersionInf(0), "(CHINA_Zorvik)");
    EXPECT_EQ(VersionInf(1), two);
}
