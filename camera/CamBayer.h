// The base camera: USB layer, sensor settings, frame read, parameter files and host-side
// settings shared by every camera model. Models derive from it and override what differs.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/CamBase.h"

/// The base camera class. Thread model: settings are serialised by `settingsLock` (recursive, so
/// that composite operations may call other setters), held only for short sections. No USB
/// transfer runs under it: control requests made while it is held are queued, and the thread
/// that made them sends them, in order, once it lets go of the lock. A frame read takes what it
/// needs under the lock and never holds it while it waits on the bulk pipe. Flags read by
/// several threads are atomic. The lookup tables of the host-side settings are guarded by the
/// lock: setters build the shadow under it, `_swap_software` publishes under it.
class CamBayer : public CamBase {
public:
    CamBayer();
    ~CamBayer() override;
    CamBayer(const CamBayer&) = delete;
    CamBayer& operator=(const CamBayer&) = delete;

    // ---- life and transport ------------------------------------------------------------------
    int __open_driver(std::shared_ptr<hx::usb::UsbDevice> device) override;
    int _claim_device() override;
    int _sumbit_ctl_urb(unsigned int timeout, unsigned int attempts, EZURB* request) override;
    int _read_bulk_data(unsigned char* buffer, int length, int* received) override;
    int _delay(int milliseconds) override;
    int _sensor_suspend() override;
    int _sensor_resume() override;

    // ---- identity ----------------------------------------------------------------------------
    const char* _name() override;
    int _body() override;
    int _head() override;
    int _state() override;
    int _set_state(int state) override;
    int _idproduct() override;
    int _idvendor() override;
    int _bcddevice() override;
    int _bcdusb() override;
    int _versions(int* version) override;
    int _channles() override;
    int _bayer() override;

    int _default() override;

    // ---- resolution and clock ----------------------------------------------------------------
    int _set_resolution(int index, bool apply) override;
    int _resolution() override;
    int _resolution_count() override;
    const char* _resolution_string_at_index(int index) override;
    int _resolution_width_at_index(int index) override;
    int _resolution_height_at_index(int index) override;
    int _set_pixsclock(int index) override;
    int _pixsclock() override;
    int _pixsclock_count() override;
    const char* _pixsclock_string_at_index(int index) override;

    // ---- gain and exposure (`_set_analog_gain` is each model's) ------------------------------
    int _analog_gain_range(int* min, int* max, int* step) override;
    int _analog_gain() override;
    int _retime() override;
    int _set_exposure(float milliseconds) override;
    int _exposure_range(float* min, float* max, float* step) override;
    float _exposure() override;
    int _restart_exposure() override;
    int _restart_state() override;

    // ---- raw frames --------------------------------------------------------------------------
    int _raw_size(int* width, int* height) override;
    int _raw_depth_state(int clockIndex) override;
    int _raw_depth() override;
    int _set_raw_depth(int bits) override;
    int _raw_data(unsigned char* buffer, int size) override;
    int _raw_data_asyn(void* (*callback)(unsigned char*), unsigned char* buffer, int size) override;
    int _raw2image(unsigned char* raw, unsigned char* image, bool crop) override;

    // ---- black level and window --------------------------------------------------------------
    int _set_blacklevel(int level) override;
    int _blacklevel() override;
    int _blacklevel_range(int* min, int* max, int* step) override;
    int _set_roi(int x, int y, int width, int height) override;
    int _roi(int* x, int* y, int* width, int* height) override;
    int _set_roi_state(bool on) override;
    int _roi_state(bool* on) override;

    // ---- user memory -------------------------------------------------------------------------
    int _wmem_inf(const char* data, int length) override;
    int _rmem_inf(char* buffer, int length) override;

    // ---- model extras (not offered by the base) ----------------------------------------------
    int _set_edge_inhibition(bool on) override;
    int _edge_inhibition(bool* on) override;
    int _set_gpio(int line, bool level) override;
    int _gpio(int line, bool* level) override;
    int _set_cooled(bool on) override;
    int _cooled(bool* on) override;
    int _temperature(float* celsius) override;
    int _set_sharpness(int value) override;
    int _sharpness() override;
    int _sharpness_range(int* min, int* max, int* step) override;
    int _set_denoise(int value) override;
    int _denoise() override;
    int _denoise_range(int* min, int* max, int* step) override;

    // ---- tone --------------------------------------------------------------------------------
    int _set_gamma(int value) override;
    int _gamma() override;
    int _gamma_range(int* min, int* max, int* step) override;
    int _set_gamma(int value, int channel) override;
    int _gamma(int channel) override;
    int _gamma_range(int* min, int* max, int* step, int channel) override;
    int _set_contrast(int value) override;
    int _contrast() override;
    int _contrast_range(int* min, int* max, int* step) override;
    int _set_saturation(int value) override;
    int _saturation() override;
    int _saturation_range(int* min, int* max, int* step) override;
    int _set_digital_gain(int red, int green, int blue) override;
    int _digital_gain(int* red, int* green, int* blue) override;
    int _digital_gain_range(int* min, int* max, int* step) override;

    // ---- geometry and switches ---------------------------------------------------------------
    int _set_flip(int code) override;
    int _flip() override;
    int _set_rotate(int code) override;
    int _rotate() override;
    int _set_monochrome(bool on) override;
    int _monochrome(bool* on) override;
    int _set_color_enhancement(bool on) override;
    int _color_enhancement(bool* on) override;
    int _set_autoexposure(bool on) override;
    int _autoexposure(bool* on) override;
    int _set_aetarget(int value) override;
    int _aetarget() override;
    int _aetarget_range(int* min, int* max, int* step) override;
    int _set_histogram(bool on) override;
    int _histogram(bool* on) override;

    // ---- stretch -----------------------------------------------------------------------------
    int _set_stretch(int low, int high, bool automatic) override;
    int _stretch(int* low, int* high, bool* automatic) override;
    int _stretch_range(int* min, int* max, int* step) override;
    int _set_stretch(int low, int high, bool automatic, int channel) override;
    int _stretch(int* low, int* high, bool* automatic, int channel) override;
    int _stretch_range(int* min, int* max, int* step, int channel) override;

    // ---- parameter sets ----------------------------------------------------------------------
    int _current_params(const std::string& directory) override;
    int _save_params(int slot, const std::string& directory) override;
    int _load_params(int slot, const std::string& directory) override;

    // ---- calibration -------------------------------------------------------------------------
    int _ff_state(bool* on) override;
    int _set_ff_state(bool on) override;
    int _calc_defect_correction() override;
    int _set_dc_state(bool on) override;
    int _dc_state(bool* on) override;
    int _blackfield() override;
    int _set_blackfield_state(bool on) override;
    int _blackfield_state(bool* on) override;
    int _calc_flat_field(unsigned char* rawFrame, bool flag) override;
    int _calc_white_balance(unsigned char* rawFrame, __IMG_RECT* area) override;
    int _calc_auto_exposure(_ezImage* image, int every) override;
    int _calc_auto_gain(_ezImage* image, int every) override;

    // ---- snapshots ---------------------------------------------------------------------------
    int _set_snap_format(int code) override;
    int _snap_format(int* code) override;
    int _saveimage(const std::string& path, int resolution) override;
    int _savefile(unsigned char* image, const std::string& path, int formats) override;
    int _callback_save_iamge(const std::string& path, int resolution,
                             void* (*callback)(unsigned char*)) override;

    // ---- analysis ----------------------------------------------------------------------------
    int _pt_gray(int x, int y, unsigned char* image) override;
    int _fluorescence_guide(int step, int value) override;

    // ---- shift operator ----------------------------------------------------------------------
    int _set_shift_operator(int value) override;
    int _shift_operator() override;
    int _shift_operator_range(int* min, int* max, int* step) override;

    // ---- misc --------------------------------------------------------------------------------
    int _set_filter(bool on) override;
    int _get_filter(bool* on) override;
    int _update_firmware(const std::string& path) override;
    int _extern_snap() override;

    // ---- processing steps --------------------------------------------------------------------
    int _fluorescence(_ezImage* image, int every) override;
    int _gray_image_process(_ezImage* image) override;
    int _mono_image_process(_ezImage* image) override;
    int _colr_image_process(_ezImage* image) override;
    int _image_stretch(_ezImage* image) override;
    int _image_fladfield(_ezImage* image) override;
    int _swap_software(SoftWareValue* record, int length) override;
    int _init_save_image(_ezImage* raw) override;
    /// Threads that convert one frame, for every camera of the process: 1 or 2, or 0 (the
    /// default) for two on large frames when the computer has two cores and one otherwise.
    static void setConversionThreads(int threads);
    /// Cropped colour frames pass the chain in one go over bands of rows (on, the default) or
    /// step by step over the whole frame (for comparisons: both give the same image).
    static void setBandedChain(bool on);

    void _mark_removed() override;
    int _end_read(ReadEnd how) override;

    // ---- frame information -------------------------------------------------------------------
    int _read_frame(unsigned char* buffer, int size) override;
    int _set_frame_type(int type) override;
    int _frame_type() override;

protected:
    /// The settings lock: a recursive mutex that knows its owner. Control requests queued
    /// during a hold go out when the outermost hold ends, after the mutex is released.
    class SettingsMutex {
    public:
        explicit SettingsMutex(CamBayer& camera) : camera_(camera) {}
        SettingsMutex(const SettingsMutex&) = delete;
        SettingsMutex& operator=(const SettingsMutex&) = delete;
        void lock();
        bool try_lock();
        void unlock();
        /// True when the calling thread holds the lock.
        bool heldHere() const {
            return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
        }
        /// The holder queued a control request: its outermost unlock sends the queue.
        void noteQueued() { queued_ = true; }

    private:
        void acquired();
        CamBayer& camera_;
        std::recursive_mutex mutex_;
        int depth_ = 0;       ///< holds of the owner (touched by the owner only)
        bool queued_ = false; ///< the owner queued requests during this hold
        std::atomic<std::thread::id> owner_{};
    };
    using Lock = std::lock_guard<SettingsMutex>;

    // ---- helpers for the models --------------------------------------------------------------
    /// The resolution item at index of the current table (index is not checked: callers do).
    const ResolutionItem& resItem(int index) const {
        return static_cast<const ResolutionItem*>(resolution.table)[index];
    }
    /// The clock item at index of the current table (index is not checked: callers do).
    const ClockItem& clkItem(int index) const {
        return static_cast<const ClockItem*>(pixelClock.table)[index];
    }
    /// Sends one vendor out request (0x40) without data, time-out 1000, one attempt.
    int sendVendorRequest(uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
    /// Writes one sensor register with request 0xB7.
    int writeRegister(uint16_t reg, uint16_t value) { return sendVendorRequest(0xB7, value, reg); }
    /// Prepares an out request with no data stage in place.
    static void prepareRequest(EZURB& request, uint8_t bRequest, uint16_t wValue, uint16_t wIndex);
    /// One bulk read on pipe 1 with stall clearing; returns the transport result (0 or a
    /// hx::usb code), unlike `_read_bulk_data`, which always returns 0.
    int readBulk(unsigned char* buffer, int length, int* received);
    /// The resolution request one frame read sends before its transfer. take() notes, in the
    /// locked section that works out the frame's size, which request is pending; send() sends
    /// the request for that size: the one pending now (carrying the latest exposure) when no
    /// other resolution was prepared since, else the one noted, leaving the newer pending for
    /// the next read. So a frame is always labelled with the size of the mode it was read in.
    class PendingMode {
    public:
        explicit PendingMode(CamBayer& camera) : camera_(camera) {}
        PendingMode(const PendingMode&) = delete;
        PendingMode& operator=(const PendingMode&) = delete;
        /// Notes the pending request (settings lock held by the caller).
        void take();
        /// Sends the request for the frame's size; true when there was one.
        bool send();

    private:
        CamBayer& camera_;
        EZURB request_{};
        uint64_t serial_ = 0;
        bool taken_ = false;
        bool sent_ = false;
    };
    /// One control request with its reply (device-to-host, or one whose result is needed):
    /// sent at once, after every request queued before it, one attempt, a stall cleared.
    /// Returns the transport result.
    int controlTransfer(EZURB& request);
    /// Sends every queued control request, in order (callers must not hold transferMutex).
    void flushControlRequests();
    /// True when frame reads must give up: the camera was removed or its device is gone.
    bool readAborted() const;

    /// One frame read, from its start to its result. While it lives the read is in progress, so
    /// that _end_read can end it; it ends at once when a cancel is pending, the sensor does not
    /// run, the camera was removed or the library is shutting down.
    class FrameRead {
    public:
        explicit FrameRead(CamBayer& camera);
        ~FrameRead();
        FrameRead(const FrameRead&) = delete;
        FrameRead& operator=(const FrameRead&) = delete;
        /// The read must return -3 at once, before anything is sent.
        bool ended() const { return ended_; }
        /// The read's result: -3 when it was ended while it ran, else `result`.
        int finish(int result) const;

    private:
        CamBayer& camera_;
        bool ended_ = false;
        uint64_t cancels_ = 0; ///< readCancels when the read began
    };
    /// How long a frame read waits for its bytes: the exposure, the sensor read-out at the
    /// current clock, the transfer at the slowest bulk rate worth supporting and a margin, so a
    /// long exposure is never cut short and a camera that stops sending never holds a read.
    virtual int frameTimeoutMs();
    /// Runs one frame read-out as a FrameRead: not at all when the read ended before it began,
    /// and with -3 as its result when it was ended while it ran.
    template <typename ReadOut> int guardedRead(ReadOut&& readOut) {
        FrameRead read(*this);
        if (read.ended()) return -3;
        return read.finish(readOut());
    }
    /// The base read-out behind `_raw_data`: head marker, whole blocks, acknowledge.
    int readHeadMarkerFrame(unsigned char* buffer, int size);
    /// Sets displayName, and name = displayName + the character 48 + counter; advances counter.
    void setModelName(const char* display, std::atomic<int>& counter);
    /// Reorders 16-bit samples, crops the region of interest when it is on and runs automatic
    /// exposure (every `every` frames) when it is on.
    void postProcessFrame(_ezImage* image, int every);
    /// Crops to the stored region (origin, size incl. the 8-pixel border), read under the lock,
    /// and notes the origin for the frame information of this read.
    void cropToRegion(_ezImage* image);
    /// Copies the frame information of a raw record into the finished image made from it,
    /// noting the flip the conversion applied; clears a stale block when the raw has none.
    void carryFrameInfo(const _ezImage* raw, _ezImage* image, int flipApplied);
    /// Rebuilds a record's shadow table from value with the builder for that record and marks
    /// it pending (lock held by the caller).
    void buildShadow(int index, int value);
    /// Creates the saturation (value given, range 0..255) and the three digital-gain settings
    /// (64, range 16..240) of a colour model with their tables; the base frees them.
    void createColourSettings(int saturationValue);
    /// Allocates the defect list for defectCapacity points; the base frees it.
    void allocateDefectList();

    // ---- state (Parts of the camera core) ----------------------------------------------------
    mutable SettingsMutex settingsLock{*this};
    /// One conversion at a time per camera (live view, a save of a raw record, a model's own
    /// chain): the live tables, the automatic stretch tables and the flat-field working copy
    /// belong to the conversion that holds it. Taken before settingsLock, never after it.
    std::recursive_mutex conversionLock;

    int receiveSize = 0;
    std::shared_ptr<hx::usb::UsbDevice> usbDevice; ///< the opened device; null when not open
    bool usbInterface = false;                     ///< the interface is claimed
    UsbDeviceDescriptor descriptor{};
    std::string name = "qrdt";
    std::string displayName;
    int headLength = 512;
    int blockSize = 512;
    std::atomic<int> state{0};
    int lineLength = 0;
    int lineClock = 0;
    int channels = 3;
    int bayerPattern = 0;
    uint16_t resolutionRequest = 0xB4;
    uint16_t clockRequest = 0xB5;
    uint16_t depthRequest = 0xB9;
    uint16_t gainRegister = 0x35;
    uint16_t exposureRegister = 9;
    uint16_t longExposureRegister = 0;
    uint16_t blackLevelRegister = 2;
    HardWareValue resolution{};
    HardWareValue pixelClock{};
    HardWareValue rawDepth{8, 8, 16, 8, 8, 0, {}, nullptr};
    HardWareValue analogGain{};
    HardWareValue exposure{};
    HardWareValue longExposure{};
    HardWareValue blackLevel{0, 0, 255, 1, 0, 0, {}, nullptr};
    EZURB frameAck{0x40, 0xB3, 0, 0, 0, nullptr, 0};
    EZURB roiOrigin{0x40, 0xBD, 0, 0, 0, nullptr, 0};
    EZURB roiSize{0x40, 0xBE, 0, 0, 0, nullptr, 0};
    std::atomic<bool> roiState{false};
    std::atomic<bool> hardwareWindow{false};
    std::atomic<bool> resolutionPending{false};
    uint64_t resolutionSerial = 0; ///< resolution changes so far (settingsLock)
    int defectCount = 0;
    int defectCapacity = 8192;
    _ezPoint* defectList =
        nullptr; ///< allocated with new[] (allocateDefectList); freed by the base

    // ---- host-side settings ------------------------------------------------------------------
    SoftWareValue software[kSwCount]{};
    std::atomic<int8_t> flip{0};
    std::atomic<int8_t> rotate{0};
    std::atomic<int16_t> snapFormat{8};
    std::atomic<bool> monochrome{false};
    std::atomic<bool> autoExposure{false};
    std::atomic<bool> flatField{false};
    std::atomic<bool> flatFieldReady{false};
    std::atomic<bool> histogram{false};
    std::atomic<bool> colorEnhancement{false};
    std::atomic<bool> defectRequest{false};
    std::atomic<bool> defectCorrection{false};
    std::atomic<bool> blackFieldRequest{false};
    std::atomic<bool> blackFieldState{false};

    // ---- asynchronous read registration ------------------------------------------------------
    bool asyncEnabled = false;
    void* (*asyncCallback)(unsigned char*) = nullptr;
    unsigned char* asyncBuffer = nullptr;
    int asyncSize = 0;

    // ---- calibration images and automatic functions ------------------------------------------
    _ezImage* flatFieldImage = nullptr; ///< flat-field reference (owned)
    _ezImage* flatFieldWork = nullptr;  ///< working image of the flat-field step (owned)
    int frameCounter = 0;               ///< every-n-th-frame counter of auto exposure and gain
    bool gainSearch = false;            ///< fluorescence: gain search phase
    bool measureFlag = false;           ///< fluorescence: measurement pending
    double historyMean[2] = {0.0, 0.0}; ///< fluorescence: first two auto-gain measurements
    int historyGain[2] = {0, 0};        ///< fluorescence: gains of those measurements
    int guideValue = 0;                 ///< value stored by `_fluorescence_guide(0, v)`
    bool guideSet = false;

private:
    /// Ends the reads in progress (readGateMutex held): each returns -3, and the device's
    /// read in flight ends.
    void endReadsInProgress();

    /// One control request waiting to be sent, with a copy of its data stage.
    struct QueuedRequest {
        EZURB request;
        unsigned int attempts;
        std::vector<unsigned char> data;
    };
    /// Queues a request made under the settings lock (held by the caller).
    void queueControlRequest(const EZURB& request, unsigned int attempts);
    /// Sends the queue (transferMutex held).
    void sendQueuedLocked();
    /// One request with its retries on the device (transferMutex held).
    int submitNow(EZURB& request, unsigned int attempts);

    /// Control requests made under the settings lock, oldest first (outboxMutex).
    std::mutex outboxMutex;
    std::deque<QueuedRequest> outbox;
    /// One control transfer at a time, so that the camera sees requests in the order they were
    /// made. May be taken while holding the settings lock, never the other way round.
    std::mutex transferMutex;

    /// Frame reads in progress and what ends them; guarded by readGateMutex.
    std::mutex readGateMutex;
    int readsInProgress = 0;
    bool cancelPending = false;     ///< a cancel waits for the next read
    bool readsClosed = false;       ///< the library shuts down: no read starts any more
    bool deviceCancelArmed = false; ///< the device holds a cancel no read may have taken
    uint64_t readCancels = 0;       ///< reads in progress ended so far

    /// The allocations behind the contrast, stretch and gamma records (two halves each).
    std::unique_ptr<unsigned char[]> contrastTables;
    std::unique_ptr<unsigned char[]> stretchTables[3];
    std::unique_ptr<unsigned char[]> gammaTables[3];
    std::unique_ptr<unsigned char[]> saturationTables;
    std::unique_ptr<unsigned char[]> gainTables[3];

    // ---- processing chain, automatic functions and snapshots ---------------------------------
public:
    /// Average half length of the runs of non-zero mask values (rows, or columns for 1).
    static int _longest_light(const unsigned char* mask, int width, int height, int direction);
    /// Marks with 255 the pixels whose whole (2rx+1) x (2ry+1) window is non-zero in src.
    static void _dilation(const unsigned char* src, int width, int height, unsigned char* dst,
                          int rx, int ry);

protected:
    /// The deferred-save step of the chain: writes the pending snapshot when this frame fits.
    void serveDeferredSave(_ezImage* raw, _ezImage* image);
    /// Writes the files of a snapshot in the fixed order .raw, .jpg, .bmp, .png, .tif, .fits; false
    /// when any of them could not be written.
    bool writeSnapshotFiles(const std::string& path, int formats, _ezImage* raw,
                            const _ezImage* image);

    std::string savePath;                            ///< deferred save: path, no extension
    std::atomic<bool> savePending{false};            ///< deferred save waits for its frame
    int16_t savedResolution = 0;                     ///< resolution restored after it
    int16_t expectedWidth = 0;                       ///< frame size it waits for
    int16_t expectedHeight = 0;                      ///< (orientation of the finished image)
    void* (*saveCallback)(unsigned char*) = nullptr; ///< kept, never called

private:
    /// The flat-field working copy for frames of width x height, made or resized as needed.
    _ezImage* flatFieldFor(int width, int height, int channels);
    /// The chain from demosaic to histogram of a cropped colour frame in one pass over bands
    /// of rows; false, out untouched, when the frame needs the step-by-step chain.
    bool fusedColourChain(_ezImage* raw, _ezImage* image, int bayer, int flipCode, bool enhance);
    /// _image_stretch, passing over the image from its start (forward) or from its end: the
    /// rows written last are still in the cache, so the pass should meet them first.
    int stretchImage(_ezImage* image, bool forward);

    // ---- frame information -------------------------------------------------------------------
private:
    /// The temperature to stamp into this frame: read from the camera at most once a second
    /// (temperatures drift slowly, and fast cameras must not pay a control transfer a frame),
    /// never for a camera without a sensor. False when no reading is at hand.
    bool frameTemperature(float& celsius);

    std::atomic<int> frameType{HALVEX_FRAME_LIGHT};
    /// Origin of the region crop of the read in progress, x | y << 16; kNoCrop when no crop.
    std::atomic<uint32_t> cropOrigin{0};
    uint64_t frameSequence = 0;      ///< frames stamped so far (settingsLock)
    int64_t lastExposureStartUs = 0; ///< exposure start of the last stamped frame (settingsLock)
    int temperatureSensor = -1;      ///< -1 not known yet, 0 none, 1 present (settingsLock)
    float lastTemperature = 0.0f;    ///< last reading (settingsLock)
    int64_t lastTemperatureAtUs = 0; ///< when it was taken, steady clock (settingsLock)
};
