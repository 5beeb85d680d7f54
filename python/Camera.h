// One camera as the Python module offers it: identity, start and stop, sensor and processing
// settings checked against the camera's ranges, and frames copied out of the library's buffers.
// Settings are plain C++ and run without the interpreter lock; the frame functions build numpy
// arrays and manage the lock themselves.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace hx::python {

class Camera {
public:
    using Rect = std::tuple<int, int, int, int>;
    using Resolution = std::tuple<int, int, std::string>;

    /// Opens the named camera, or the first one for no name. Call without the interpreter lock.
    explicit Camera(const std::optional<std::string>& name);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // ---- identity (the calls below run without the interpreter lock) -----------------------
    const std::string& name() const { return name_; }
    /// The model's display name: the device name without its instance number.
    std::string model() const;
    int productId() const;
    /// A single-precision value of the library to the digits it holds (12.175, not
    /// 12.1750001907).
    static double fromSingle(float v);
    bool isColour() const;
    /// Bayer pattern code of the sensor, 0 for a monochrome sensor.
    int bayerCode() const;

    // ---- start and stop --------------------------------------------------------------------
    void start();
    /// Stops the sensor; nothing happens for a camera that is gone.
    void stop();
    bool running() const;
    /// Stops the sensor (a frame read in progress gives up).
    void close();

    // ---- sensor settings -------------------------------------------------------------------
    double exposureMs() const;
    void setExposureMs(double milliseconds);
    std::pair<double, double> exposureRange() const;
    int gain() const;
    void setGain(int gain);
    std::pair<int, int> gainRange() const;
    int blackLevel() const;
    void setBlackLevel(int level);
    std::pair<int, int> blackLevelRange() const;
    int bitDepth() const;
    void setBitDepth(int bits);
    std::vector<int> bitDepths() const;
    int resolution() const;
    void setResolution(int index);
    std::vector<Resolution> resolutions() const;
    int pixelClock() const;
    /// Returns a note when the camera took another clock than the one asked for.
    std::optional<std::string> setPixelClock(int index);
    std::vector<std::string> pixelClocks() const;
    std::optional<Rect> roi() const;
    void setRoi(const std::optional<Rect>& roi);
    bool autoExposure() const;
    void setAutoExposure(bool on);
    bool cooler() const;
    void setCooler(bool on);
    double temperature() const;
    /// HalvexFrameType of the frames to come (light, dark, flat, bias).
    int frameType() const;
    void setFrameType(int type);

    // ---- host-side processing --------------------------------------------------------------
    int flip() const;
    void setFlip(int code);
    int gamma() const;
    void setGamma(int value);
    std::pair<int, int> gammaRange() const;
    int contrast() const;
    void setContrast(int value);
    std::pair<int, int> contrastRange() const;
    int saturation() const;
    void setSaturation(int value);
    std::pair<int, int> saturationRange() const;
    std::tuple<int, int, int> channelGains() const;
    void setChannelGains(const std::tuple<int, int, int>& gains);
    std::pair<int, int> channelGainRange() const;

    // ---- frames (these take the interpreter lock; see CameraFrames.cpp) --------------------
    pybind11::object grabRaw(std::optional<double> timeout);
    pybind11::object grab(std::optional<double> timeout);
    pybind11::object process(const pybind11::object& frame);
    pybind11::list save(const pybind11::object& path, const pybind11::object& image,
                        const pybind11::object& formats);
    std::tuple<int, int, int> whiteBalance(const std::optional<Rect>& area,
                                           std::optional<double> timeout);

private:
    /// Where a frame's pixels lie in a buffer, and what is known about its capture.
    struct Capture {
        int status = 0;    ///< GetRawData's 0, or 1 for a frame with the snapshot mark
        size_t offset = 0; ///< first pixel byte in the buffer
        int width = 0, height = 0, depth = 8, stride = 0, headerSize = 0, channels = 1;
        // The frame's own information (or, for a record without it, the camera's settings).
        int64_t timestampUs = 0;
        uint64_t sequence = 0;
        double exposureMs = 0;
        std::optional<int> gain, blackLevel;
        std::optional<double> temperature;
        int bayer = 0;
        bool snapshot = false;
        int binX = 1, binY = 1, originX = 0, originY = 0, flip = 0, frameType = 0;
    };

    using RangeGetter = int (*)(int*, int*, int*, const char*);
    /// (min, max) of a flat-API range getter; throws for a negative status.
    std::pair<int, int> rangeOf(RangeGetter getter, const std::string& what) const;
    /// The next frame: sensor samples, or processed when asked.
    pybind11::object grabFrame(std::optional<double> timeout, bool processed);
    /// Throws the failure of a status that is negative.
    int check(int status, const std::string& what) const;
    /// Throws CameraNotFoundError when the camera is no longer registered.
    void requirePresent() const;
    void requireRunning() const;
    void requireColour(const std::string& what) const;

    /// Takes frames_ without the interpreter lock; Ctrl-C ends the wait for it.
    std::unique_lock<std::timed_mutex> lockFrames();
    /// Reads one good frame into raw_; frames_ held, interpreter lock released.
    Capture capture(std::optional<double> timeout);
    size_t receiveSize() const;
    /// Processes the raw record in raw_ into decoded_ and describes the image there.
    /// frames_ held, interpreter lock released.
    Capture decode(const Capture& raw);
    /// Reads the layout of the record at the start of buffer and what is known about its
    /// frame; throws for a record that does not describe pixels inside the buffer.
    Capture describe(const unsigned char* buffer, size_t size, int status) const;
    pybind11::object makeFrame(const Capture& c, const unsigned char* base, bool raw) const;
    /// A one-buffer image record of an array, for the library's decoder and writers. *raw
    /// says on entry how to take a one-channel array that is not a Frame, on return how it
    /// was taken.
    std::vector<unsigned char> recordOf(const pybind11::object& image, bool* raw) const;

    std::string name_;
    bool startedHere_ = false;
    std::timed_mutex frames_;            ///< one frame function at a time: taken without the
                                         ///< interpreter lock, held while arrays are filled
    std::vector<unsigned char> raw_;     ///< receive buffer of the frame reads
    std::vector<unsigned char> decoded_; ///< processed image of grab() and process()
};

} // namespace hx::python
