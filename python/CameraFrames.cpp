// A camera's frames: reading them (without the interpreter lock), copying them into numpy
// arrays that own their memory, processing raw frames, white balance and saving through the
// library's writers.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "camera/CamApi.h"
#include "python/Camera.h"
#include "python/CameraFailure.h"
#include "python/InterruptibleWait.h"
#include "python/ReadWatch.h"

namespace py = pybind11;

namespace hx::python {

namespace {

/// Head length of a frame record when the camera does not say.
constexpr int kDefaultHeadLength = 512;
/// Tries for a good frame without a time limit: enough for a few frames that fail their
/// checks, never a loop without end.
constexpr int kFrameTries = 10;
/// What the library allows a frame beyond its exposure before it gives up waiting.
constexpr double kReadMarginSeconds = 2.0;
/// Pause before reading again after a failed read.
constexpr std::chrono::milliseconds kRetryPause{20};

/// Snapshot format bits of the library's writers and their file extensions, in the order the
/// library writes them. The raw-sensor FITS bit has no file of its own: it changes what the
/// FITS file holds.
struct FileFormat {
    int bit;
    const char* extension;
};
constexpr FileFormat kFileFormats[] = {
    {HALVEX_FORMAT_RAW, ".raw"}, {HALVEX_FORMAT_JPEG, ".jpg"}, {HALVEX_FORMAT_BMP, ".bmp"},
    {HALVEX_FORMAT_PNG, ".png"},  {HALVEX_FORMAT_TIFF, ".tif"}, {HALVEX_FORMAT_FITS, ".fits"},
};

/// The formats a script can name, for messages.
constexpr const char* kFormatNames = "raw, tif, png, jpg, bmp, fits";

int formatBit(std::string word) {
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!word.empty() && word.front() == '.') word.erase(0, 1);
    if (word == "raw") return HALVEX_FORMAT_RAW;
    if (word == "tif" || word == "tiff") return HALVEX_FORMAT_TIFF;
    if (word == "png") return HALVEX_FORMAT_PNG;
    if (word == "jpg" || word == "jpeg") return HALVEX_FORMAT_JPEG;
    if (word == "bmp") return HALVEX_FORMAT_BMP;
    if (word == "fits" || word == "fit" || word == "fts") return HALVEX_FORMAT_FITS;
    return 0;
}

/// Format bits of "png", "png,tif" or ["png", "tif"].
int parseFormats(const py::object& formats) {
    std::vector<std::string> words;
    if (py::isinstance<py::str>(formats)) {
        std::string text = formats.cast<std::string>();
        std::replace(text.begin(), text.end(), ',', ' ');
        size_t at = 0;
        while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
            const size_t end = text.find(' ', at);
            words.push_back(text.substr(at, end - at));
            at = end;
        }
    } else {
        for (py::handle item : formats) words.push_back(py::str(item).cast<std::string>());
    }
    int bits = 0;
    for (const std::string& word : words) {
        const int bit = formatBit(word);
        if (bit == 0)
            raiseValue("unknown file format '" + word + "' (formats: " + kFormatNames + ")");
        bits |= bit;
    }
    if (bits == 0) raiseValue(std::string("no file format given (formats: ") + kFormatNames + ")");
    return bits;
}

/// Reads the record at the start of a buffer and checks that the pixels it describes lie in
/// the buffer; returns false for anything else.
bool readRecord(const unsigned char* buffer, size_t size, _ezImage& record, size_t& offset) {
    if (size < sizeof(_ezImage)) return false;
    std::memcpy(&record, buffer, sizeof record);
    if (std::memcmp(record.magic, "QREZ", 4) != 0) return false;
    if (record.depth != 8 && record.depth != 16) return false;
    if (record.channels != 1 && record.channels != 3) return false;
    if (record.width == 0 || record.height == 0) return false;
    const size_t row = size_t{record.width} * record.channels * record.depth / 8;
    const size_t stride = record.stride ? record.stride : row;
    const auto first = reinterpret_cast<uintptr_t>(record.data);
    const auto start = reinterpret_cast<uintptr_t>(buffer);
    if (first < start || first - start >= size) return false;
    offset = first - start;
    if (stride < row) return false;
    const size_t extent = offset + stride * (size_t{record.height} - 1) + row;
    if (extent > size) return false;
    record.stride = static_cast<uint16_t>(stride);
    return true;
}

struct FileState {
    bool exists = false;
    struct stat st {};
};

FileState fileState(const std::string& path) {
    FileState s;
    s.exists = ::stat(path.c_str(), &s.st) == 0;
    return s;
}

/// True when a file was written since `before` was taken.
bool rewritten(const FileState& before, const FileState& after) {
    if (!after.exists || !S_ISREG(after.st.st_mode)) return false;
    if (!before.exists) return true;
    return before.st.st_ino != after.st.st_ino || before.st.st_size != after.st.st_size ||
           before.st.st_mtim.tv_sec != after.st.st_mtim.tv_sec ||
           before.st.st_mtim.tv_nsec != after.st.st_mtim.tv_nsec;
}

[[noreturn]] void raiseFile(int error, const std::string& message) {
    throw CameraFailure(FailureKind::File, message, error);
}

} // namespace

// ---- reading --------------------------------------------------------------------------------

size_t Camera::receiveSize() const {
    int width = 0, height = 0;
    GetRawSize(&width, &height, name_.c_str());
    const size_t head =
        static_cast<size_t>(std::max(DataHeadLen(name_.c_str()), kDefaultHeadLength));
    const size_t frame =
        head + static_cast<size_t>(std::max(width, 0)) * std::max(height, 0) * 2 + 1024;
    return std::max(frame, static_cast<size_t>(std::max(RecvMemSize(name_.c_str()), 0)));
}

std::unique_lock<std::timed_mutex> Camera::lockFrames() {
    std::unique_lock lock(frames_, std::defer_lock);
    while (!lock.try_lock_for(kSignalCheckPeriod)) {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    return lock;
}

Camera::Capture Camera::capture(std::optional<double> timeout) {
    requireRunning();
    const double exposure = exposureMs();
    const auto start = SteadyClock::now();
    std::optional<SteadyClock::time_point> deadline;
    if (timeout)
        deadline = start + std::chrono::duration_cast<SteadyClock::duration>(
                               std::chrono::duration<double>(*timeout));
    // Without a time limit, frames that fail their checks are read again for as long as one
    // frame may take; a read that took longer has already waited that long.
    const auto budget =
        start + std::chrono::duration_cast<SteadyClock::duration>(
                    std::chrono::duration<double>(exposure / 1000.0 + kReadMarginSeconds));
    size_t size = receiveSize();
    bool grown = false;
    int status = 0;
    for (int attempt = 1;; ++attempt) {
        if (raw_.size() < size) raw_.resize(size);
        ReadWatch::Ending ending = ReadWatch::Ending::None;
        status = ReadWatch::instance().read(
            name_, raw_.data(), static_cast<int>(std::min<size_t>(raw_.size(), INT_MAX)), deadline,
            &ending);
        if (ending == ReadWatch::Ending::Interrupt) {
            // Python's handler has run: a KeyboardInterrupt (or what the script's handler
            // raises) ends the grab; a handler that raised nothing lets it go on.
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (ending == ReadWatch::Ending::TimeLimit ||
            (deadline && status != 0 && status != 1 && SteadyClock::now() >= *deadline)) {
            char text[48];
            std::snprintf(text, sizeof text, "%.3g", *timeout);
            throw CameraFailure(FailureKind::Timeout,
                                "no frame from camera '" + name_ + "' within " + text + " s", -3,
                                name_);
        }
        if (status == 0 || status == 1) break;
        if (status == -1) raiseStatus(-1, name_, "");
        if (status == -2 && !grown) {
            size = std::max(size, raw_.size()) * 2;
            grown = true;
            continue;
        }
        if (status == -2) check(-2, "read a frame");
        // A camera that has just gone fails its reads before the registry lets it go: a short
        // pause lets the registry follow, and keeps a run of bad frames from spinning.
        std::this_thread::sleep_for(kRetryPause);
        requirePresent();
        if (DeviceState(name_.c_str()) != 1)
            throw CameraFailure(FailureKind::Camera,
                                "camera '" + name_ + "' was stopped while a frame was read", -3,
                                name_);
        const auto now = SteadyClock::now();
        if (deadline ? now < *deadline : (now < budget && attempt < kFrameTries)) continue;
        throw CameraFailure(FailureKind::Timeout,
                            "camera '" + name_ +
                                "' delivered no good frame (the transfer failed or the frame "
                                "was overdue)",
                            -3, name_);
    }
    Capture c = describe(raw_.data(), raw_.size(), status);
    if (c.channels != 1)
        throw CameraFailure(FailureKind::Camera,
                            "camera '" + name_ + "' delivered a frame without a usable description",
                            -3, name_);
    return c;
}

Camera::Capture Camera::describe(const unsigned char* buffer, size_t size, int status) const {
    Capture c;
    c.status = status;
    _ezImage record{};
    if (!readRecord(buffer, size, record, c.offset))
        throw CameraFailure(FailureKind::Camera,
                            "camera '" + name_ + "' gave an image without a usable description", -3,
                            name_);
    c.width = record.width;
    c.height = record.height;
    c.depth = record.depth;
    c.stride = record.stride;
    c.channels = record.channels;
    c.headerSize = std::min<int>(record.headerSize, static_cast<int>(c.offset));

    HalvexFrameInfo info{};
    if (GetFrameInfo(buffer, &info) == 0) {
        c.timestampUs = info.exposureStartUs;
        c.sequence = info.sequence;
        c.exposureMs = fromSingle(info.exposureMs);
        if (info.flags & HALVEX_INFO_GAIN) c.gain = info.gain;
        if (info.flags & HALVEX_INFO_BLACK_LEVEL) c.blackLevel = info.blackLevel;
        if (info.flags & HALVEX_INFO_TEMPERATURE) c.temperature = fromSingle(info.temperature);
        c.bayer = info.bayer;
        c.snapshot = (info.flags & HALVEX_INFO_SNAPSHOT) != 0 || status == 1;
        c.binX = std::max<int>(info.binX, 1);
        c.binY = std::max<int>(info.binY, 1);
        c.originX = info.originX;
        c.originY = info.originY;
        c.flip = info.flip;
        c.frameType = info.frameType;
        return c;
    }
    // A record without frame information (an array made by the script): what the camera is
    // set to now.
    c.timestampUs = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    c.exposureMs = fromSingle(GetExposure(name_.c_str()));
    c.gain = GetAnaloggain(name_.c_str());
    int min = 0, max = 0, step = 0;
    if (GetBlacklevelRange(&min, &max, &step, name_.c_str()) == 0)
        c.blackLevel = GetBlacklevel(name_.c_str());
    c.bayer = record.bayer;
    c.snapshot = status == 1;
    c.flip = std::max(GetFlip(name_.c_str()), 0);
    return c;
}

Camera::Capture Camera::decode(const Capture& raw) {
    // The decoder writes the full frame in three channels before it crops the border, and the
    // histogram's statistics after the pixels.
    const size_t need = static_cast<size_t>(std::max(raw.headerSize, kDefaultHeadLength)) +
                        size_t{3} * raw.width * raw.height * (raw.depth / 8) + kEzStatisticsBytes +
                        1024;
    if (decoded_.size() < need) decoded_.resize(need);
    check(DecodeRaw2Image(raw_.data(), decoded_.data(), name_.c_str()), "process a frame");
    return describe(decoded_.data(), decoded_.size(), raw.status);
}

py::object Camera::makeFrame(const Capture& c, const unsigned char* base, bool raw) const {
    const py::dtype type = c.depth == 16 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>();
    std::vector<py::ssize_t> shape{c.height, c.width};
    if (c.channels != 1) shape.push_back(c.channels);
    py::array pixels(type, shape);
    auto* out = static_cast<unsigned char*>(pixels.mutable_data());
    const size_t row = static_cast<size_t>(c.width) * c.channels * (c.depth / 8);
    {
        py::gil_scoped_release release;
        const unsigned char* in = base + c.offset;
        if (static_cast<size_t>(c.stride) == row)
            std::memcpy(out, in, row * c.height);
        else
            for (int y = 0; y < c.height; ++y)
                std::memcpy(out + row * y, in + static_cast<size_t>(c.stride) * y, row);
    }
    auto optional = [](const auto& v) { return v ? py::cast(*v) : py::none(); };
    py::dict facts;
    facts["camera"] = name_;
    facts["sequence"] = c.sequence;
    facts["timestamp_us"] = c.timestampUs;
    facts["exposure_ms"] = c.exposureMs;
    facts["gain"] = optional(c.gain);
    facts["black_level"] = optional(c.blackLevel);
    facts["temperature"] = optional(c.temperature);
    facts["bayer"] = c.bayer;
    facts["snapshot"] = c.snapshot;
    facts["raw"] = raw;
    facts["binning"] = py::make_tuple(c.binX, c.binY);
    facts["origin"] = py::make_tuple(c.originX, c.originY);
    facts["flip"] = c.flip;
    facts["frame_type"] = c.frameType;
    py::bytes record(reinterpret_cast<const char*>(base), static_cast<size_t>(c.headerSize));
    return py::module_::import("halvexcam").attr("_frame")(pixels, record, facts);
}

namespace {
void requireTimeout(std::optional<double> timeout) {
    if (timeout && (!std::isfinite(*timeout) || *timeout < 0))
        raiseValue("timeout must be a number of seconds, at least 0, or None");
}
} // namespace

py::object Camera::grabFrame(std::optional<double> timeout, bool processed) {
    requireTimeout(timeout);
    std::unique_lock<std::timed_mutex> lock;
    Capture c;
    {
        py::gil_scoped_release release;
        lock = lockFrames();
        c = capture(timeout);
        if (processed) c = decode(c);
    }
    return makeFrame(c, processed ? decoded_.data() : raw_.data(), !processed);
}

py::object Camera::grabRaw(std::optional<double> timeout) {
    return grabFrame(timeout, false);
}

py::object Camera::grab(std::optional<double> timeout) {
    return grabFrame(timeout, true);
}

// ---- records of arrays ----------------------------------------------------------------------

std::vector<unsigned char> Camera::recordOf(const py::object& image, bool* raw) const {
    py::array array = py::array::ensure(image);
    if (!array) raiseValue("an image is a numpy array of uint8 or uint16 samples");
    const py::dtype type = array.dtype();
    const int bytes = static_cast<int>(type.itemsize());
    if (type.kind() != 'u' || (bytes != 1 && bytes != 2))
        raiseValue("an image is a numpy array of uint8 or uint16 samples (got " +
                   py::str(static_cast<py::handle>(type)).cast<std::string>() + ")");
    int channels = 1;
    if (array.ndim() == 3 && (array.shape(2) == 1 || array.shape(2) == 3))
        channels = static_cast<int>(array.shape(2));
    else if (array.ndim() != 2)
        raiseValue("an image has the shape (height, width) or (height, width, 3)");
    const py::ssize_t height = array.shape(0), width = array.shape(1);
    if (height < 1 || width < 1 || height > 65535 || width > 65535)
        raiseValue("an image is 1 to 65535 pixels wide and high");
    // A Frame says what it holds; any other one-channel array is taken as sensor samples when
    // the caller asks for raw samples (process), else as a finished grey image (save).
    py::object says = py::getattr(image, "raw", py::none());
    *raw = channels == 1 && (says.is_none() ? *raw : says.cast<bool>());

    // Contiguous, native byte order.
    py::array pixels =
        bytes == 1
            ? py::array(
                  py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(array))
            : py::array(
                  py::array_t<uint16_t, py::array::c_style | py::array::forcecast>::ensure(array));

    const int headerSize = std::max(DataHeadLen(name_.c_str()), kDefaultHeadLength);
    const size_t stride = static_cast<size_t>(width) * channels * bytes;
    if (stride > 65535) raiseValue("an image row holds at most 65535 bytes");
    std::vector<unsigned char> buffer(headerSize + stride * height + kEzStatisticsBytes, 0);
    // The frame's own head first (the library's capture data), then this image's geometry.
    py::object kept = py::getattr(image, "_record", py::none());
    if (py::isinstance<py::bytes>(kept)) {
        const std::string head = kept.cast<std::string>();
        if (head.size() >= sizeof(_ezImage) && head.compare(0, 4, "QREZ") == 0)
            std::memcpy(buffer.data(), head.data(), std::min<size_t>(head.size(), headerSize));
    }
    _ezImage record{};
    std::memcpy(&record, buffer.data(), sizeof record);
    const bool ownHead = std::memcmp(record.magic, "QREZ", 4) == 0;
    std::memcpy(record.magic, "QREZ", 4);
    record.width = static_cast<uint16_t>(width);
    record.height = static_cast<uint16_t>(height);
    record.depth = static_cast<uint8_t>(bytes * 8);
    record.channels = static_cast<uint8_t>(channels);
    if (!ownHead) {
        record.bayer = static_cast<uint8_t>(std::max(GetRawBayernPattern(name_.c_str()), 0));
        record.resolution = static_cast<uint8_t>(std::max(GetResolution(name_.c_str()), 0));
    }
    record.headerSize = static_cast<uint16_t>(headerSize);
    record.stride = static_cast<uint16_t>(std::min<size_t>(stride, 65535));
    record.data = buffer.data() + headerSize;
    record.tail = record.data + stride * height;
    record.decoded = *raw ? 0 : 1;
    std::memcpy(buffer.data(), &record, sizeof record);
    std::memcpy(buffer.data() + headerSize, pixels.data(), stride * height);
    return buffer;
}

py::object Camera::process(const py::object& frame) {
    bool raw = py::isinstance(frame, py::module_::import("halvexcam").attr("Frame")) ? false : true;
    std::vector<unsigned char> record = recordOf(frame, &raw);
    if (!raw)
        raiseValue("process() takes raw sensor samples: a frame of grab_raw() or a 2-D array");
    std::unique_lock<std::timed_mutex> lock;
    Capture c;
    {
        py::gil_scoped_release release;
        lock = lockFrames();
        requirePresent();
        const size_t need = record.size() * 3 * 2 + kEzStatisticsBytes + 1024;
        if (decoded_.size() < need) decoded_.resize(need);
        check(DecodeRaw2Image(record.data(), decoded_.data(), name_.c_str()), "process a frame");
        c = describe(decoded_.data(), decoded_.size(), 0);
    }
    return makeFrame(c, decoded_.data(), false);
}

// ---- white balance --------------------------------------------------------------------------

std::tuple<int, int, int> Camera::whiteBalance(const std::optional<Rect>& area,
                                               std::optional<double> timeout) {
    requireColour("white balance");
    requireTimeout(timeout);
    {
        const auto lock = lockFrames();
        const Capture c = capture(timeout);
        __IMG_RECT rect{};
        if (area) {
            const auto [x, y, w, h] = *area;
            if (x < 0 || y < 0 || w < 1 || h < 1 || static_cast<long long>(x) + w > c.width ||
                static_cast<long long>(y) + h > c.height)
                raiseValue("the white balance area (x, y, width, height) must lie within the " +
                           std::to_string(c.width) + " x " + std::to_string(c.height) + " frame");
            rect = __IMG_RECT{x, y, x + w, y + h};
        }
        check(CalcWhiteBalance(raw_.data(), area ? &rect : nullptr, name_.c_str()),
              "balance white");
    }
    return channelGains();
}

// ---- saving ---------------------------------------------------------------------------------

py::list Camera::save(const py::object& path, const py::object& image, const py::object& formats) {
    std::string stem = py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
    if (stem.empty()) raiseValue("save() needs a file path");
    // A known extension on the path names the format (when none is given) and is not doubled.
    int bits = formats.is_none() ? 0 : parseFormats(formats);
    const size_t dot = stem.find_last_of('.');
    const size_t slash = stem.find_last_of('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        const int bit = formatBit(stem.substr(dot));
        if (bit != 0) {
            stem.erase(dot);
            if (bits == 0) bits = bit;
        }
    }
    if (bits == 0) bits = HALVEX_FORMAT_PNG;
    const std::string directory = slash == std::string::npos ? "." : stem.substr(0, slash + 1);
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        raiseFile(ENOENT, "no directory '" + directory + "' to save into");

    py::object picture = image.is_none() ? grab(std::nullopt) : image;
    bool raw = false;
    std::vector<unsigned char> record = recordOf(picture, &raw);
    // The FITS file of a raw frame holds its sensor samples, as the '.raw' file does; the
    // other image formats still get the processed image.
    if (raw && (bits & HALVEX_FORMAT_FITS)) bits |= HALVEX_FORMAT_FITS_RAW;

    std::vector<std::string> paths;
    std::vector<FileState> before;
    for (const FileFormat& f : kFileFormats) {
        if (!(bits & f.bit)) continue;
        paths.push_back(stem + f.extension);
        before.push_back(fileState(paths.back()));
    }
    {
        py::gil_scoped_release release;
        check(SaveFile(record.data(), stem.c_str(), bits, name_.c_str()), "save an image");
    }
    py::object pathType = py::module_::import("pathlib").attr("Path");
    py::list written;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!rewritten(before[i], fileState(paths[i])))
            raiseFile(EIO, "could not write '" + paths[i] + "'");
        written.append(pathType(paths[i]));
    }
    return written;
}

} // namespace hx::python
