// halvex-cli: lists the cameras and captures processed frames to files, through the flat camera
// API alone. Simulated cameras can be plugged from the command line, so the tool works on a
// machine without a camera.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera/CamApi.h"
#include "camera/CamRegistry.h"
#include "ezImage/FreeFileName.h"
#include "recording/LiveSer.h"
#include "tools/SignalWatcher.h"
#ifdef HALVEX_HAVE_RECORDER
#include "recording/ezRecorder.h"
#endif

namespace {

namespace fs = std::filesystem;

/// Exit codes.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 1,    ///< unknown command or option, bad option value
    kExitNoCamera = 2, ///< no camera, or the named camera is not there
    kExitCamera = 3,   ///< the camera refused a setting or delivered no frames
    kExitFiles = 4,    ///< the output directory or a file could not be written
};

const char* const kMainHelp =
    "Usage: halvex-cli [--simulate MODEL[:BCD]]... COMMAND [OPTIONS]\n"
    "\n"
    "Lists the Halvex cameras and captures processed frames to files.\n"
    "\n"
    "Commands:\n"
    "  list        show every camera with its resolutions, clocks and bit depths\n"
    "  capture     save processed frames of one camera\n"
    "  record      record the live view of one camera into a movie\n"
    "\n"
    "Options for every command:\n"
    "  --simulate MODEL[:BCD]  plug a simulated camera first (a model name such as VAh200C1\n"
    "                          or a product id such as 0xC811, optionally a device release);\n"
    "                          may be given several times\n"
    "  --help                  show help (also after a command: halvex-cli capture --help)\n"
    "\n"
    "Every camera starts from its model defaults; saved parameter sets are not read or\n"
    "changed. Exit codes: 0 done, 1 bad command line, 2 camera not found, 3 camera error,\n"
    "4 file error, 130 or 143 a capture ended by Ctrl-C or SIGTERM (files saved stay).\n";

const char* const kListHelp =
    "Usage: halvex-cli [--simulate MODEL[:BCD]]... list\n"
    "\n"
    "Shows every camera: device name, USB ids, colour or monochrome, resolutions (index,\n"
    "name, image size), pixel clocks (index, name), raw bit depths, exposure and gain ranges.\n";

const char* const kCaptureHelp =
    "Usage: halvex-cli [--simulate MODEL[:BCD]]... capture [OPTIONS]\n"
    "\n"
    "Captures frames, runs the camera's processing on them and saves them.\n"
    "\n"
    "Camera and sensor:\n"
    "  --camera NAME         device name as 'list' shows it (default: the first camera)\n"
    "  --resolution I        resolution index\n"
    "  --clock I             pixel-clock index\n"
    "  --depth 8|16          raw bit depth\n"
    "  --exposure MS         exposure time in milliseconds\n"
    "  --gain V              analog gain\n"
    "  --blacklevel V        black level\n"
    "Processing:\n"
    "  --gamma V             gamma (100 neutral)\n"
    "  --contrast V          contrast (128 neutral)\n"
    "  --saturation V        saturation (100 neutral; colour cameras)\n"
    "  --channel-gain R,G,B  digital gains (64 neutral; colour cameras)\n"
    "  --white-balance       one-shot white balance before capturing (colour cameras)\n"
    "  --flip N              0 none, 1 left-right, 2 upside down, 3 both\n"
    "  --mono                grey output from a colour camera\n"
    "  --enhance             colour enhancement\n"
    "  --histogram           compute the histogram of every frame\n"
    "  --stretch LOW,HIGH    level stretch (0 <= LOW < HIGH <= 255)\n"
    "  --auto-stretch        automatic level stretch (turns the histogram on)\n"
    "  --auto-exposure       automatic exposure\n"
    "  --ae-target V         automatic-exposure target\n"
    "Output:\n"
    "  --count N             frames to save (default 1)\n"
    "  --skip N              frames to drop first while settings settle (default 3)\n"
    "  --format LIST         comma-separated: raw,tif,png,jpg,bmp,fits (default png)\n"
    "  --raw                 the FITS file holds the sensor samples (a colour camera's mosaic,\n"
    "                        with its Bayer pattern) instead of the finished image\n"
    "  --frame-type TYPE     light, dark, flat or bias: recorded in the FITS header\n"
    "  --out DIR             directory for the files (default: the current directory)\n"
    "  --prefix NAME         file-name prefix (default halvex); files are PREFIX-NNNN.EXT\n";

const char* const kRecordHelp =
    "Usage: halvex-cli [--simulate MODEL[:BCD]]... record [OPTIONS]\n"
    "\n"
    "Records the live view of a camera into an H.264 QuickTime movie named MMddHHmmss.mov,\n"
    "the way the capture application does, or every frame into a SER video MMddHHmmss.ser.\n"
    "The movie's frame rate is measured on the first ten frames unless --fps is given.\n"
    "Prints the file name, the frames written and the frames dropped because the encoder\n"
    "or the disk could not keep up. Ctrl-C (or SIGTERM) ends the recording early: the file is\n"
    "closed and plays up to that moment. The movie is written in fragments of a second and\n"
    "the SER header is brought up to date every second, so even a recording that is killed\n"
    "plays up to that point.\n"
    "\n"
    "  --camera NAME      device name as 'list' shows it (default: the first camera)\n"
    "  --format mov|ser   H.264 movie (default) or SER video\n"
    "  --processed        SER: the finished 8-bit image as the live view shows it, instead\n"
    "                     of the sensor samples\n"
    "  --seconds S        length of the recording (default 5)\n"
    "  --frames N         stop after N frames as well\n"
    "  --fps N            movie frame rate instead of the measured one\n"
    "  --out DIR          directory for the recording (default: the current directory)\n";

struct RecordOptions {
    std::string camera;
    double seconds = 5;
    long frames = 0, fps = 0;
    std::string out = ".";
    bool ser = false, processed = false;
};

/// Command-line failure with its message and exit code.
struct Failure {
    int code;
    std::string message;
};

// ---- interruption ---------------------------------------------------------------------------

/// Ctrl-C and SIGTERM: the first one ends the command cleanly (the movie closed, the cameras
/// released), a second one ends the program at once.
hx::tools::SignalWatcher* signalWatcher = nullptr;

/// The camera whose frame read a signal ends.
std::mutex activeLock;
std::string activeCamera;

void setActiveCamera(const std::string& name) {
    std::lock_guard lock(activeLock);
    activeCamera = name;
}

int interruption() {
    return signalWatcher ? signalWatcher->received() : 0;
}

/// Throws when a signal asked the command to end: the files written so far stay.
void checkInterrupted(const std::string& what) {
    if (const int signal = interruption())
        throw Failure{128 + signal, std::string("interrupted") + (what.empty() ? "" : ": ") + what};
}

// ---- value parsing --------------------------------------------------------------------------

/// A decimal integer: "010" is ten, "08" is eight; hexadecimal, blanks and trailing text are
/// refused.
std::optional<long> parseInt(const std::string& text) {
    const size_t digits = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() == digits ||
        !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(digits), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -1000000000L || v > 1000000000L) return std::nullopt;
    return v;
}

/// A decimal number such as 12.5 or 1e3; hexadecimal, blanks, infinities and trailing text are
/// refused.
std::optional<double> parseNumber(const std::string& text) {
    if (text.find_first_not_of("0123456789.+-eE") != std::string::npos) return std::nullopt;
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

/// Snap-format bits from "raw,tif,png,jpg,bmp"; nullopt for an unknown or empty item.
std::optional<int> parseFormats(const std::string& text) {
    static const std::map<std::string, int> bits = {{"raw", 1},  {"tif", 2},   {"tiff", 2},
                                                    {"png", 4},  {"jpg", 8},   {"jpeg", 8},
                                                    {"bmp", 16}, {"fits", 32}, {"fit", 32}};
    int formats = 0;
    for (const std::string& item : split(text, ',')) {
        const auto it = bits.find(item);
        if (it == bits.end()) return std::nullopt;
        formats |= it->second;
    }
    return formats;
}

// ---- options --------------------------------------------------------------------------------

struct CaptureOptions {
    std::string camera;
    std::optional<long> resolution, clock, depth, gain, blackLevel, gamma, contrast, saturation;
    std::optional<long> flip, aeTarget;
    std::optional<double> exposure;
    std::optional<std::vector<long>> channelGain;
    std::optional<std::pair<long, long>> stretch;
    bool whiteBalance = false, mono = false, enhance = false, histogram = false;
    bool autoStretch = false, autoExposure = false, rawFits = false;
    std::optional<int> frameType;
    long count = 1, skip = 3;
    int formats = 4;
    std::string out = ".";
    std::string prefix = "halvex";
};

struct CommandLine {
    std::vector<std::string> simulate;
    std::string command;
    bool help = false;
    CaptureOptions capture;
    RecordOptions record;
};

/// Reads the command line; throws Failure for anything it cannot take.
CommandLine parse(int argc, char** argv) {
    CommandLine cl;
    CaptureOptions& o = cl.capture;
    auto bad = [](const std::string& option, const std::string& value) {
        return Failure{kExitUsage, "invalid value '" + value + "' for " + option};
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw Failure{kExitUsage, arg + " needs a value"};
            return argv[++i];
        };
        auto integer = [&](long min, long max) -> long {
            const std::string v = value();
            const auto n = parseInt(v);
            if (!n || *n < min || *n > max) throw bad(arg, v);
            return *n;
        };
        if (arg == "--help" || arg == "-h") {
            cl.help = true;
        } else if (arg == "--simulate") {
            cl.simulate.push_back(value());
        } else if (arg.rfind("--", 0) != 0) {
            if (!cl.command.empty()) throw Failure{kExitUsage, "unexpected argument '" + arg + "'"};
            if (arg != "list" && arg != "capture" && arg != "record")
                throw Failure{kExitUsage, "unknown command '" + arg + "' (try --help)"};
            cl.command = arg;
        } else if (cl.command == "record") {
            RecordOptions& r = cl.record;
            if (arg == "--camera") {
                r.camera = value();
            } else if (arg == "--seconds") {
                const std::string v = value();
                const auto n = parseNumber(v);
                if (!n || *n <= 0 || *n > 86400) throw bad(arg, v);
                r.seconds = *n;
            } else if (arg == "--frames") {
                r.frames = integer(1, 100000000);
            } else if (arg == "--fps") {
                r.fps = integer(1, 10000);
            } else if (arg == "--out") {
                r.out = value();
                if (r.out.empty()) throw bad(arg, r.out);
            } else if (arg == "--format") {
                const std::string v = value();
                if (v != "ser" && v != "mov") throw bad(arg, v);
                r.ser = v == "ser";
            } else if (arg == "--processed") {
                r.processed = true;
            } else {
                throw Failure{kExitUsage, "unknown option '" + arg + "' for record"};
            }
        } else if (cl.command != "capture") {
            throw Failure{kExitUsage, "unknown option '" + arg + "'" +
                                          (cl.command.empty() ? std::string(" (try --help)")
                                                              : " for " + cl.command)};
        } else if (arg == "--camera") {
            o.camera = value();
        } else if (arg == "--resolution") {
            o.resolution = integer(0, 255);
        } else if (arg == "--clock") {
            o.clock = integer(0, 255);
        } else if (arg == "--depth") {
            const std::string v = value();
            if (v != "8" && v != "16") throw bad(arg, v);
            o.depth = v == "8" ? 8 : 16;
        } else if (arg == "--exposure") {
            const std::string v = value();
            const auto n = parseNumber(v);
            if (!n || *n <= 0) throw bad(arg, v);
            o.exposure = *n;
        } else if (arg == "--gain") {
            o.gain = integer(0, 65535);
        } else if (arg == "--blacklevel") {
            o.blackLevel = integer(0, 65535);
        } else if (arg == "--gamma") {
            o.gamma = integer(0, 255);
        } else if (arg == "--contrast") {
            o.contrast = integer(0, 255);
        } else if (arg == "--saturation") {
            o.saturation = integer(0, 255);
        } else if (arg == "--channel-gain") {
            const std::string v = value();
            std::vector<long> gains;
            for (const std::string& part : split(v, ',')) {
                const auto n = parseInt(part);
                if (!n || *n < 0 || *n > 255) throw bad(arg, v);
                gains.push_back(*n);
            }
            if (gains.size() != 3) throw bad(arg, v);
            o.channelGain = gains;
        } else if (arg == "--stretch") {
            const std::string v = value();
            const auto parts = split(v, ',');
            if (parts.size() != 2) throw bad(arg, v);
            const auto low = parseInt(parts[0]), high = parseInt(parts[1]);
            if (!low || !high || *low < 0 || *high > 255 || *low >= *high) throw bad(arg, v);
            o.stretch = std::pair{*low, *high};
        } else if (arg == "--flip") {
            o.flip = integer(0, 3);
        } else if (arg == "--ae-target") {
            o.aeTarget = integer(0, 255);
        } else if (arg == "--white-balance") {
            o.whiteBalance = true;
        } else if (arg == "--mono") {
            o.mono = true;
        } else if (arg == "--enhance") {
            o.enhance = true;
        } else if (arg == "--histogram") {
            o.histogram = true;
        } else if (arg == "--auto-stretch") {
            o.autoStretch = true;
        } else if (arg == "--auto-exposure") {
            o.autoExposure = true;
        } else if (arg == "--count") {
            o.count = integer(1, 1000000);
        } else if (arg == "--skip") {
            o.skip = integer(0, 1000);
        } else if (arg == "--format") {
            const std::string v = value();
            const auto f = parseFormats(v);
            if (!f) throw bad(arg, v);
            o.formats = *f;
        } else if (arg == "--raw") {
            o.rawFits = true;
        } else if (arg == "--frame-type") {
            static const std::map<std::string, int> types = {{"light", HALVEX_FRAME_LIGHT},
                                                             {"dark", HALVEX_FRAME_DARK},
                                                             {"flat", HALVEX_FRAME_FLAT},
                                                             {"bias", HALVEX_FRAME_BIAS}};
            const std::string v = value();
            const auto it = types.find(v);
            if (it == types.end()) throw bad(arg, v);
            o.frameType = it->second;
        } else if (arg == "--out") {
            o.out = value();
            if (o.out.empty()) throw bad(arg, o.out);
        } else if (arg == "--prefix") {
            o.prefix = value();
            if (o.prefix.empty() || o.prefix.find('/') != std::string::npos)
                throw bad(arg, o.prefix);
        } else {
            throw Failure{kExitUsage, "unknown option '" + arg + "' for capture"};
        }
    }
    if (o.rawFits && !(o.formats & 32)) throw Failure{kExitUsage, "--raw goes with --format fits"};
    if (cl.record.processed && !cl.record.ser)
        throw Failure{kExitUsage, "--processed goes with --format ser"};
    return cl;
}

// ---- the library session --------------------------------------------------------------------

/// Opens the library with a private, empty parameter directory (so that saved parameter sets
/// are neither read nor changed) and closes it again, removing the directory.
class Session {
public:
    Session() {
        std::string pattern = (fs::temp_directory_path() / "halvex-cli-XXXXXX").string();
        if (::mkdtemp(pattern.data())) directory_ = pattern;
        InitDevice(nullptr, nullptr, directory_.empty() ? "/nonexistent/" : directory_.c_str());
    }
    ~Session() {
        ExitDevice();
        if (!directory_.empty()) {
            std::error_code ec;
            fs::remove_all(directory_, ec);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Plugs the simulated cameras and waits until their arrivals have been taken in.
    void simulate(const std::vector<std::string>& list) {
        if (list.empty()) return;
        const int before = DeviceCount();
        int plugged = 0;
        for (const std::string& item : list) {
            const int n = PlugSimulatedCameras(item.c_str());
            if (n <= 0) {
                const std::vector<std::string> problems = hx::cam::simulateListProblems(item);
                throw Failure{
                    kExitUsage,
                    "cannot simulate " + (problems.empty() ? "'" + item + "'" : problems.front()) +
                        "\nmodels that can be simulated: " + hx::cam::simulatableModelList()};
            }
            plugged += n;
        }
        for (int waited = 0; DeviceCount() < before + plugged && waited < 30; ++waited)
            PumpDeviceEvents(100);
        PumpDeviceEvents(0);
        if (DeviceCount() < before + plugged)
            throw Failure{kExitNoCamera,
                          "a simulated camera did not arrive (is its product id supported?)"};
    }

private:
    std::string directory_;
};

std::vector<std::string> cameraNames() {
    std::vector<std::string> names;
    for (int i = 0; i < DeviceCount(); ++i) names.emplace_back(DeviceName(i));
    return names;
}

const char* const kNoCamera =
    "No camera found. Plug in a camera (and check that you may open it: the udev rule for\n"
    "vendor 0x0547 grants access), or try a simulated one:\n"
    "  halvex-cli --simulate VAh500C1 list\n"
    "  halvex-cli --simulate VAh500C1 capture --count 3 --format png,raw --out shots\n";

// ---- list -----------------------------------------------------------------------------------

int listCameras() {
    const std::vector<std::string> names = cameraNames();
    if (names.empty()) {
        std::printf("%s", kNoCamera);
        return kExitOk;
    }
    for (const std::string& name : names) {
        const char* n = name.c_str();
        std::printf("%s\n", n);
        std::printf("  USB id       %04X:%04X, release %04X\n", DeviceVendor(n), DeviceProduct(n),
                    DeviceBcd(n));
        const int channels = GetImageChannles(n);
        std::printf("  sensor       %s\n", channels == 3 ? "colour" : "monochrome");
        std::printf("  resolutions ");
        for (int i = 0; i < GetResolutionCount(n); ++i) {
            const char* text = GetResItemName(i, n);
            std::printf(" %d: %s (%dx%d)", i, text ? text : "?", GetResWidth(i, n),
                        GetResHeight(i, n));
        }
        std::printf("\n  clocks      ");
        bool deep = false;
        for (int i = 0; i < GetPixelclockCount(n); ++i) {
            const char* text = GetPixclkItemName(i, n);
            std::printf(" %d: %s", i, text ? text : "?");
            const int state = GetRawDepthState(i, n);
            if (state == 0 || state == 4) deep = true;
        }
        std::printf("\n  bit depths   %s\n", deep ? "8, 16" : "8");
        float emin = 0, emax = 0, estep = 0;
        if (GetExposureRange(&emin, &emax, &estep, n) == 0)
            std::printf("  exposure     %.3f ... %.1f ms\n", emin, emax);
        int gmin = 0, gmax = 0, gstep = 0;
        if (GetAnaloggainRange(&gmin, &gmax, &gstep, n) == 0)
            std::printf("  gain         %d ... %d\n", gmin, gmax);
    }
    return kExitOk;
}

// ---- capture --------------------------------------------------------------------------------

/// Checks v against a camera range; throws a usage failure naming the range otherwise.
void checkRange(const char* option, long v, int status, int min, int max) {
    if (status != 0)
        throw Failure{kExitCamera, std::string(option) + " is not offered by this camera"};
    if (v < min || v > max)
        throw Failure{kExitUsage, "invalid value " + std::to_string(v) + " for " + option +
                                      " (this camera takes " + std::to_string(min) + " ... " +
                                      std::to_string(max) + ")"};
}

/// Applies the sensor and processing options to the camera, checking each against what the
/// camera offers.
void applySettings(const CaptureOptions& o, const char* n) {
    int min = 0, max = 0, step = 0;
    if (o.resolution) {
        const int count = GetResolutionCount(n);
        checkRange("--resolution", *o.resolution, 0, 0, count - 1);
        if (SetResolution(static_cast<int>(*o.resolution), n) != 0)
            throw Failure{kExitCamera,
                          "the camera refused resolution " + std::to_string(*o.resolution)};
    }
    if (o.clock) {
        checkRange("--clock", *o.clock, 0, 0, GetPixelclockCount(n) - 1);
        const int r = SetPixelclock(static_cast<int>(*o.clock), n);
        if (r == 4)
            std::fprintf(stderr, "halvex-cli: note: the camera chose clock %d instead\n",
                         GetPixelclock(n));
        else if (r != 0)
            throw Failure{kExitCamera, "the camera refused clock " + std::to_string(*o.clock)};
    }
    if (o.depth) {
        const int r = SetRawDepth(static_cast<int>(*o.depth), n);
        if (r != 0)
            throw Failure{kExitCamera, std::to_string(*o.depth) +
                                           "-bit data is not available with these settings"};
    }
    if (o.exposure) {
        float emin = 0, emax = 0, estep = 0;
        GetExposureRange(&emin, &emax, &estep, n);
        if (*o.exposure < emin || *o.exposure > emax) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "invalid value %g for --exposure (this camera takes %.3f ... %.1f ms)",
                          *o.exposure, emin, emax);
            throw Failure{kExitUsage, text};
        }
        SetExposure(static_cast<float>(*o.exposure), n);
    }
    if (o.gain) {
        const int status = GetAnaloggainRange(&min, &max, &step, n);
        checkRange("--gain", *o.gain, status, min, max);
        if (SetAnaloggain(static_cast<int>(*o.gain), n) != 0)
            throw Failure{kExitCamera, "the camera refused gain " + std::to_string(*o.gain)};
    }
    if (o.blackLevel) {
        const int status = GetBlacklevelRange(&min, &max, &step, n);
        checkRange("--blacklevel", *o.blackLevel, status, min, max);
        SetBlacklevel(static_cast<int>(*o.blackLevel), n);
    }
    if (o.gamma) {
        const int status = GetGammaRange(&min, &max, &step, n);
        checkRange("--gamma", *o.gamma, status, min, max);
        for (int c = 0; c < GetImageChannles(n); ++c) SetGammaEx(static_cast<int>(*o.gamma), c, n);
    }
    if (o.contrast) {
        const int status = GetContrastRange(&min, &max, &step, n);
        checkRange("--contrast", *o.contrast, status, min, max);
        SetContrast(static_cast<int>(*o.contrast), n);
    }
    const bool colour = GetImageChannles(n) == 3;
    if (o.saturation) {
        if (!colour) throw Failure{kExitCamera, "--saturation needs a colour camera"};
        GetSaturationRange(&min, &max, &step, n);
        checkRange("--saturation", *o.saturation, 0, min, max);
        SetSaturation(static_cast<int>(*o.saturation), n);
    }
    if (o.channelGain) {
        const auto& g = *o.channelGain;
        const int status = GetChannelGainRange(&min, &max, &step, n);
        for (long v : g) checkRange("--channel-gain", v, status, min, max);
        SetChannelGain(static_cast<int>(g[0]), static_cast<int>(g[1]), static_cast<int>(g[2]), n);
    }
    if ((o.mono || o.enhance || o.whiteBalance) && !colour)
        throw Failure{kExitCamera, std::string(o.mono      ? "--mono"
                                               : o.enhance ? "--enhance"
                                                           : "--white-balance") +
                                       " needs a colour camera"};
    if (o.mono) SetMonochrome(true, n);
    if (o.enhance) SetColorEnhancement(true, n);
    if (o.flip) SetFlip(static_cast<int>(*o.flip), n);
    if (o.histogram || o.autoStretch) SetHistogramState(true, n);
    if (o.stretch)
        SetStretch(static_cast<int>(o.stretch->first), static_cast<int>(o.stretch->second), false,
                   n);
    if (o.autoStretch)
        for (int c = 0; c < 3; ++c) SetStretchEx(0, 255, true, c, n);
    if (o.aeTarget) {
        const int status = GetAETargetRange(&min, &max, &step, n);
        checkRange("--ae-target", *o.aeTarget, status, min, max);
        SetAETarget(static_cast<int>(*o.aeTarget), n);
    }
    if (o.autoExposure) SetAutoExposure(true, n);
}

/// Reads one good frame (codes 0 and 1); gives up after a run of failed reads.
void readFrame(std::vector<unsigned char>& raw, const char* n) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        checkInterrupted("");
        const int r = GetRawData(raw.data(), static_cast<int>(raw.size()), n);
        if (r == 0 || r == 1) return;
        if (r == -1) throw Failure{kExitNoCamera, std::string("camera ") + n + " has gone"};
    }
    throw Failure{kExitCamera, std::string("camera ") + n + " delivered no good frame"};
}

/// True when dir is a directory in which a file can be created.
bool writableDirectory(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) return false;
    const fs::path probe = dir / (".halvex-cli-" + std::to_string(::getpid()));
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) return false;
    std::fclose(f);
    fs::remove(probe, ec);
    return true;
}

int capture(const CaptureOptions& o) {
    const std::vector<std::string> names = cameraNames();
    if (names.empty()) {
        std::fprintf(stderr, "%s", kNoCamera);
        return kExitNoCamera;
    }
    const std::string name = o.camera.empty() ? names.front() : o.camera;
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::string known;
        for (const std::string& k : names) known += (known.empty() ? "" : ", ") + k;
        throw Failure{kExitNoCamera, "no camera named '" + name + "' (cameras: " + known + ")"};
    }
    if (!writableDirectory(o.out))
        throw Failure{kExitFiles, "cannot write to directory '" + o.out + "'"};
    const char* n = name.c_str();
    setActiveCamera(name);

    applySettings(o, n);
    if (o.frameType) SetFrameType(*o.frameType, n);
    // The raw FITS file comes from the frame itself; everything else from the finished image.
    const int rawFormats = o.rawFits ? HALVEX_FORMAT_FITS | HALVEX_FORMAT_FITS_RAW : 0;
    const int finishedFormats = o.formats & ~rawFormats;
    SetImageFormat(o.formats | rawFormats, n);
    if (ResumeDevice(n) != 0) throw Failure{kExitCamera, "cannot start camera " + name};
    // Starting the sensor re-sends the clock, which falls back to 8 bits where the clock
    // cannot carry 16.
    if (o.depth && GetRawDepth(n) != *o.depth) {
        SuspendDevice(n);
        throw Failure{kExitCamera, std::to_string(*o.depth) + "-bit data is not available at " +
                                       "clock " + std::to_string(GetPixelclock(n)) +
                                       " (try a slower --clock)"};
    }

    // Buffers for the largest frame of the camera and its finished image with statistics.
    int width = 0, height = 0;
    GetRawSize(&width, &height, n);
    const size_t head = static_cast<size_t>(std::max(DataHeadLen(n), 64));
    const size_t rawBytes = std::max<size_t>(static_cast<size_t>(std::max(RecvMemSize(n), 0)),
                                             head + static_cast<size_t>(width) * height * 2 + 512);
    std::vector<unsigned char> raw(rawBytes);
    std::vector<unsigned char> image(head + rawBytes * 3 + 4128);

    for (long i = 0; i < o.skip; ++i) readFrame(raw, n);
    if (o.whiteBalance) {
        readFrame(raw, n);
        const int r = CalcWhiteBalance(raw.data(), nullptr, n);
        if (r != 0) throw Failure{kExitCamera, "white balance failed (" + std::to_string(r) + ")"};
        readFrame(raw, n); // the new gains take effect with the next processed frame
        DecodeRaw2Image(raw.data(), image.data(), n);
    }

    const bool tty = ::isatty(STDOUT_FILENO);
    for (long i = 1; i <= o.count; ++i) {
        try {
            readFrame(raw, n);
        } catch (const Failure& f) {
            SuspendDevice(n);
            if (!interruption()) throw;
            if (tty) std::printf("\n");
            throw Failure{f.code, "interrupted after " + std::to_string(i - 1) + " of " +
                                      std::to_string(o.count) + " frames"};
        }
        if (DecodeRaw2Image(raw.data(), image.data(), n) != 0)
            throw Failure{kExitCamera, "a frame could not be processed"};
        char stem[64];
        std::snprintf(stem, sizeof stem, "-%04ld", i);
        // Files of an earlier run keep their names: this one gets -2, -3, ... instead.
        const std::string path =
            hx::files::freeSnapshotStem((fs::path(o.out) / (o.prefix + stem)).string(), o.formats);
        // Every selected file is attempted; the result is the first failure of the two saves.
        int saved = 0;
        if (finishedFormats) saved = SaveFile(image.data(), path.c_str(), finishedFormats, n);
        if (rawFormats) {
            const int r = SaveFile(raw.data(), path.c_str(), rawFormats, n);
            if (saved == 0) saved = r;
        }
        if (saved == -3)
            throw Failure{kExitFiles, "could not write every file of " + path +
                                          " (disk full or directory not writable?)"};
        if (saved != 0) throw Failure{kExitFiles, "cannot save " + path};
        for (const std::string& ext : hx::files::snapshotExtensions(o.formats)) {
            std::error_code ec;
            if (fs::file_size(path + ext, ec) == 0 || ec)
                throw Failure{kExitFiles, "could not write " + path + ext};
        }
        std::printf("%ssaved %ld/%ld  %s", tty ? "\r" : "", i, o.count, path.c_str());
        if (!tty) std::printf("\n");
        std::fflush(stdout);
    }
    if (tty) std::printf("\n");
    SuspendDevice(n);
    return kExitOk;
}

// ---- record ---------------------------------------------------------------------------------

/// A SER recording of every frame; prints the file, its format and the frames written and
/// dropped.
int recordSer(const RecordOptions& o, const std::string& name, const std::string& dir) {
    hx::recording::LiveSerOptions options;
    options.seconds = o.seconds;
    options.maxFrames = o.frames;
    options.processed = o.processed;
    options.stopRequested = [] { return interruption() != 0; };
    hx::recording::LiveSerResult result;
    const bool ok = hx::recording::recordLiveSer(name.c_str(), dir, options, result);
    SuspendDevice(name.c_str());
    if (!ok && interruption()) throw Failure{128 + interruption(), result.error};
    if (!ok)
        throw Failure{result.error.rfind("cannot", 0) == 0 ? kExitFiles : kExitCamera,
                      result.error};
    const char* layout = result.colour == hx::recording::kSerRGB    ? "RGB"
                         : result.colour == hx::recording::kSerMono ? "mono"
                                                                    : "Bayer";
    std::printf("%s\n", result.path.c_str());
    std::printf("%dx%d, %d-bit %s, %lld frames written, %lld frames dropped\n", result.width,
                result.height, result.depth, layout, static_cast<long long>(result.written),
                static_cast<long long>(result.dropped));
    if (interruption()) std::fprintf(stderr, "halvex-cli: recording ended by a signal\n");
    if (!result.error.empty() && !interruption()) {
        std::fprintf(stderr, "halvex-cli: %s\n", result.error.c_str());
        return kExitFiles;
    }
    return kExitOk;
}

int record(const RecordOptions& o) {
#ifndef HALVEX_HAVE_RECORDER
    if (!o.ser)
        throw Failure{kExitCamera, "this halvex-cli was built without movie recording (FFmpeg)"};
#endif
    const std::vector<std::string> names = cameraNames();
    if (names.empty()) {
        std::fprintf(stderr, "%s", kNoCamera);
        return kExitNoCamera;
    }
    const std::string name = o.camera.empty() ? names.front() : o.camera;
    if (std::find(names.begin(), names.end(), name) == names.end())
        throw Failure{kExitNoCamera, "no camera named '" + name + "'"};
    if (!writableDirectory(o.out))
        throw Failure{kExitFiles, "cannot write to directory '" + o.out + "'"};
    if (ResumeDevice(name.c_str()) != 0) throw Failure{kExitCamera, "cannot start camera " + name};
    setActiveCamera(name);
    std::string dir = o.out;
    if (dir.back() != '/') dir += '/';
    if (o.ser) return recordSer(o, name, dir);

#ifdef HALVEX_HAVE_RECORDER
    hx::recording::LiveMovieOptions options;
    options.seconds = o.seconds;
    options.maxFrames = o.frames;
    options.fps = static_cast<int>(o.fps);
    // Ctrl-C or SIGTERM ends the recording early; the movie is closed as at its planned end.
    options.stopRequested = [] { return interruption() != 0; };
    hx::recording::LiveMovieResult result;
    const bool ok = hx::recording::recordLiveMovie(name.c_str(), dir, options, result);
    SuspendDevice(name.c_str());
    if (!ok && interruption()) throw Failure{128 + interruption(), result.error};
    if (!ok)
        throw Failure{result.error.rfind("cannot write", 0) == 0 ? kExitFiles : kExitCamera,
                      result.error};
    if (interruption()) std::fprintf(stderr, "halvex-cli: recording ended by a signal\n");
    std::printf("%s\n", result.path.c_str());
    std::printf("%dx%d, %d fps, %lld frames written, %lld frames dropped\n", result.width,
                result.height, result.fps, static_cast<long long>(result.written),
                static_cast<long long>(result.dropped));
    return kExitOk;
#else
    return kExitCamera;
#endif
}

} // namespace

int main(int argc, char** argv) {
    // First, so that every thread the library starts leaves the signals to the watcher.
    hx::tools::SignalWatcher watcher;
    signalWatcher = &watcher;
    watcher.onSignal([](int) {
        std::lock_guard lock(activeLock);
        if (!activeCamera.empty()) CancelRawData(activeCamera.c_str());
    });
    // Past a file-size limit a write fails and is reported like a full disk, instead of the
    // signal ending the program with its files half written.
    std::signal(SIGXFSZ, SIG_IGN);
    CommandLine cl;
    try {
        cl = parse(argc, argv);
    } catch (const Failure& f) {
        std::fprintf(stderr, "halvex-cli: %s\n", f.message.c_str());
        return f.code;
    }
    if (cl.help) {
        const char* text = cl.command == "list"      ? kListHelp
                           : cl.command == "capture" ? kCaptureHelp
                           : cl.command == "record"  ? kRecordHelp
                                                     : kMainHelp;
        std::fputs(text, stdout);
        return kExitOk;
    }
    try {
        Session session;
        session.simulate(cl.simulate);
        if (cl.command.empty()) {
            // No command: say what there is to do, and how to get a camera when there is none.
            if (DeviceCount() == 0) std::fputs(kNoCamera, stderr);
            std::fputs("\nUsage: halvex-cli [--simulate MODEL[:BCD]]... list|capture|record "
                       "[OPTIONS]\n"
                       "Try 'halvex-cli --help'.\n",
                       stderr);
            return kExitUsage;
        }
        if (cl.command == "record") return record(cl.record);
        return cl.command == "list" ? listCameras() : capture(cl.capture);
    } catch (const Failure& f) {
        std::fprintf(stderr, "halvex-cli: %s\n", f.message.c_str());
        return f.code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "halvex-cli: %s\n", e.what());
        return kExitCamera;
    }
}
