// One INDI camera device: a camera of the library under its INDI name, with the standard CCD
// properties (exposure, frame, binning, frame type, capture format, streaming, temperature and
// cooler where the model has them) and the camera's own gain, black level, pixel clock and
// resolution items. INDI properties are touched on the driver's main thread only; frames are
// read by a FrameGrabber.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <libindi/indiccd.h>

#include "indi/FrameGrabber.h"
#include "indi/ReadoutModes.h"

namespace hx::indi {

class HalvexCcd : public INDI::CCD {
public:
    /// A device for the camera registered under `camera`, named `deviceName` in INDI. The device
    /// announces itself when ISGetProperties is first called.
    HalvexCcd(std::string camera, const std::string& deviceName);
    ~HalvexCcd() override;

    const std::string& cameraName() const { return camera_; }
    /// The camera was unplugged: ends an exposure or a stream with an alert, stops reading and
    /// takes the device away from the clients. The object stays until releasable().
    void retire();
    /// True once no upload started by this device can still be running, so it may be deleted.
    bool releasable();
    /// Ends reading for good at process exit (no messages are sent).
    void shutdown();

    // INDI::DefaultDevice
    const char* getDefaultName() override;
    bool initProperties() override;
    bool updateProperties() override;
    // A retired device answers nothing: its name may already belong to a new device.
    void ISGetProperties(const char* dev) override;
    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;
    bool ISNewBLOB(const char* dev, const char* name, int sizes[], int blobsizes[], char* blobs[],
                   char* formats[], char* names[], int n) override;
    bool ISSnoopDevice(XMLEle* root) override;
    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                     int n) override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                     int n) override;

protected:
    bool Connect() override;
    bool Disconnect() override;
    void TimerHit() override;

    // INDI::CCD
    bool StartExposure(float duration) override;
    bool AbortExposure() override;
    bool UpdateCCDFrame(int x, int y, int w, int h) override;
    bool UpdateCCDBin(int hor, int ver) override;
    bool UpdateCCDFrameType(INDI::CCDChip::CCD_FRAME fType) override;
    int SetTemperature(double temperature) override;
    bool StartStreaming() override;
    bool StopStreaming() override;
    bool SetCaptureFormat(uint8_t index) override;
    void addFITSKeywords(INDI::CCDChip* targetChip) override;
    bool saveConfigItems(FILE* fp) override;
    void UploadComplete(INDI::CCDChip* targetChip) override;
    bool processFastExposure(INDI::CCDChip* targetChip) override;
    void checkTemperatureTarget() override;

private:
    /// What the FITS keywords of one delivered frame say; written on the main thread and read
    /// by libindi's upload thread, both under ccdBufferLock.
    struct FrameMeta {
        double exposureSeconds = 0;
        int gain = -1;
        int offset = -1;
        bool hasTemperature = false;
        double temperature = 0;
        bool hasSetPoint = false;
        double setPoint = 0;
        int bin = 1;
        int originX = 0; ///< region origin in unbinned sensor pixels
        int originY = 0;
        std::string bayer; ///< empty for monochrome frames
        std::string frameType;
        std::chrono::system_clock::time_point start;
    };

    void queryCamera();
    bool probeSixteenBits();
    /// Chooses the item and the frame; sends the resolution and region to the camera and
    /// updates CCD_FRAME, CCD_BINNING and the frame buffer. False when the camera refuses.
    bool applyPlan(int item, const PixelRect& requested);
    bool slowClockForSixteenBits();
    void updateExposureRange();
    void updateCfa();
    void publishClock();
    void publishResolution();
    int bitsPerPixel() const;
    bool busy(const char* what);

    void onGrabberEvent();
    static void grabberCallback(int fd, void* self);
    void deliverFrame(GrabbedFrame&& frame);
    void failExposure(const std::string& message);
    void stopGrabber();

    bool readTemperature(double& celsius);
    void regulate(double celsius);
    void setCoolerSwitch(bool on);

    const std::string camera_;
    std::string model_;

    // What the camera offers, read once.
    ReadoutModes modes_;
    int channels_ = 1;
    int bayerCode_ = 0;
    int gainMin_ = 0, gainMax_ = 0, gainStep_ = 1;
    bool hasOffset_ = false;
    int offsetMin_ = 0, offsetMax_ = 0, offsetStep_ = 1;
    std::vector<std::string> clocks_;
    bool sixteenBits_ = false;
    bool hasCooler_ = false;
    bool hasTemperature_ = false;

    // The driver's view of the camera's state.
    ReadoutPlan plan_;
    bool freshGeometry_ = true; ///< the region or item changed since the last frame
    int wantedDepth_ = 8;       ///< the depth of the chosen capture format
    uint64_t job_ = 0;          ///< the exposure in progress
    double exposureMs_ = 0;     ///< its time as the camera has it
    std::chrono::steady_clock::time_point exposureStarted_;
    std::unique_ptr<FrameGrabber> grabber_;
    int grabberCallback_ = -1;
    int timer_ = -1;
    bool retired_ = false;
    double streamExposure_ = -1;
    std::atomic<uint64_t> streamMismatch_{0};

    // Cooling.
    bool regulating_ = false;
    double target_ = 0;
    bool targetSet_ = false;
    bool cooled_ = false;
    double coolerDuty_ = 0; ///< share of recent polls with the cooler on, 0..1
    double lastTemperature_ = 0;
    bool temperatureValid_ = false;

    // Uploads libindi runs on its own thread; the object must outlive them.
    std::atomic<int> uploads_{0};
    std::chrono::steady_clock::time_point lastUpload_;

    FrameMeta pendingMeta_; ///< prepared at exposure start, completed at delivery
    FrameMeta meta_;        ///< the frame being uploaded; guarded by ccdBufferLock

    INDI::PropertyNumber GainNP{1};
    INDI::PropertyNumber OffsetNP{1};
    INDI::PropertySwitch ClockSP{0};
    INDI::PropertySwitch ResolutionSP{0};
    INDI::PropertySwitch CoolerSP{2};
    INDI::PropertyNumber CoolerPowerNP{1};
    INDI::PropertyNumber StreamStatsNP{2};
};

} // namespace hx::indi
