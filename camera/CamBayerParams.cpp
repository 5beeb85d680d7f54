// The base camera's parameter files: an index file holding the current slot number and one
// 38-byte slot file per parameter set, both named after the model's display name.
#include <dirent.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "camera/CamBayer.h"

namespace {

constexpr int kSlotBytes = 38;
/// Slots map to the letters 'a' .. '~', so that every slot file name stays a plain file name.
constexpr int kMaxSlot = '~' - 'a';
/// What a temporary parameter file's name has between the final name and its random part.
constexpr char kTempMark[] = ".hxparam-";
/// A temporary file untouched for this long belongs to a writer that died.
constexpr time_t kStaleSeconds = 60;

std::string indexPath(const std::string& directory, const std::string& display) {
    return directory + display;
}

std::string slotPath(const std::string& directory, const std::string& display, int slot) {
    return directory + display + static_cast<char>('a' + slot) + ".txt";
}

/// Writes a whole file or nothing: the bytes go to a temporary file beside the target (its
/// name, kTempMark and six random letters or digits), which then replaces the target in one
/// rename.
bool writeWhole(const std::string& path, const unsigned char* bytes, size_t size) {
    std::string temp = path + kTempMark + "XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool ok = done == size && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    if (close(fd) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

/// Reads at most max bytes of a file; -1 when it cannot be opened.
int readUpTo(const std::string& path, unsigned char* bytes, int max) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return -1;
    const size_t n = std::fread(bytes, 1, static_cast<size_t>(max), file);
    std::fclose(file);
    return static_cast<int>(n);
}

void put16(unsigned char* p, unsigned value) {
    p[0] = static_cast<unsigned char>(value & 0xFF);
    p[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

int get16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

/// The milliseconds to hand _set_exposure so that it takes back exactly `lines`: it converts in
/// single precision (lines = truncate(rate x ms / lineLength)), where the saved time plus a
/// small margin lands a line short or long once a count has more digits than a float keeps
/// exact for the margin (exposures of minutes). Starts from `first` and steps one float at a
/// time while the conversion misses; gives `first` back when no float hits the count.
float exposureArgument(double lines, float rate, float length, float first) {
    const auto linesOf = [&](float ms) {
        return static_cast<double>(std::trunc(rate * ms / length));
    };
    float ms = first;
    for (int i = 0; i < 64 && linesOf(ms) < lines; ++i) ms = std::nextafter(ms, HUGE_VALF);
    for (int i = 0; i < 64 && linesOf(ms) > lines; ++i) ms = std::nextafter(ms, 0.0f);
    return linesOf(ms) == lines ? ms : first;
}

/// Whether `name` is a temporary of writeWhole for one of this display name's files: the
/// index or a slot file name, kTempMark and mkstemp's six letters or digits.
bool isParameterTemporary(const std::string& name, const std::string& display) {
    const size_t mark = sizeof kTempMark - 1, tail = mark + 6;
    if (name.size() < display.size() + tail || name.compare(0, display.size(), display) != 0)
        return false;
    const size_t at = name.size() - tail;
    if (name.compare(at, mark, kTempMark) != 0) return false;
    for (size_t i = at + mark; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
    const std::string middle = name.substr(display.size(), at - display.size());
    return middle.empty() || (middle.size() == 5 && middle[0] >= 'a' &&
                              middle[0] <= 'a' + kMaxSlot && middle.compare(1, 4, ".txt") == 0);
}

/// Removes the temporaries that writers killed in the middle of a write (a signal, a file-size
/// limit, a crash) left beside this display name's files: regular files of that naming only,
/// untouched for a minute (a write in progress takes milliseconds).
void sweepStaleTemporaries(const std::string& directory, const std::string& display) {
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) return;
    const int dirFd = ::dirfd(listing);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        if (!isParameterTemporary(entry->d_name, display)) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || now - st.st_mtime < kStaleSeconds) continue;
        ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(listing);
}

bool writeIndex(const std::string& directory, const std::string& display, int slot) {
    sweepStaleTemporaries(directory, display);
    unsigned char bytes[4];
    const auto value = static_cast<uint32_t>(slot);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    return writeWhole(indexPath(directory, display), bytes, sizeof bytes);
}

} // namespace

/// The current slot from the index file; 0 when there is none or no documents directory. An
/// index that names no slot (outside 0 .. 29) would keep the settings from ever being saved
/// again: it counts as slot 0 and is rewritten so.
int CamBayer::_current_params(const std::string& directory) {
    if (directory.empty()) return 0;
    unsigned char bytes[4] = {};
    if (readUpTo(indexPath(directory, displayName), bytes, 4) != 4) return 0;
    const auto slot =
        static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) | (bytes[1] << 8) | (bytes[2] << 16) |
                             (static_cast<uint32_t>(bytes[3]) << 24));
    if (slot >= 0 && slot <= kMaxSlot) return slot;
    std::fprintf(stderr, "halvex: parameter index %s names slot %d; slot 0 is used instead\n",
                 indexPath(directory, displayName).c_str(), static_cast<int>(slot));
    writeIndex(directory, displayName, 0);
    return 0;
}

/// Saves the current settings into a slot and makes it the current one. Returns -2 for a slot
/// outside 0 .. 29, -3 when a file could not be written or there is no documents directory
/// (parameter files never go to the working directory).
int CamBayer::_save_params(int slot, const std::string& directory) {
    if (slot < 0 || slot > kMaxSlot) return -2;
    if (directory.empty()) return -3;
    unsigned char b[kSlotBytes] = {};
    {
        Lock lock(settingsLock);
        b[0] = monochrome.load() ? 1 : 0;
        b[1] = autoExposure.load() ? 1 : 0;
        b[2] = colorEnhancement.load() ? 1 : 0;
        b[3] = roiState.load() ? 1 : 0;
        b[4] = software[kSwGamma0].value;
        b[5] = software[kSwContrast].value;
        b[6] = software[kSwAeTarget].value;
        b[7] = software[kSwSaturation].value;
        b[8] = software[kSwGainRed].value;
        b[9] = software[kSwGainGreen].value;
        b[10] = software[kSwGainBlue].value;
        b[11] = static_cast<unsigned char>(flip.load());
        put16(b + 12, resolution.value);
        put16(b + 14, pixelClock.value);
        put16(b + 16, rawDepth.value);
        put16(b + 18, blackLevel.value);
        put16(b + 20, exposure.value);
        put16(b + 22, longExposure.value);
        put16(b + 24, roiOrigin.wValue);
        put16(b + 26, roiOrigin.wIndex);
        put16(b + 28, roiSize.wValue);
        put16(b + 30, roiSize.wIndex);
        put16(b + 32, static_cast<uint16_t>(snapFormat.load()));
        put16(b + 34, analogGain.value);
        b[36] = software[kSwGamma0 + 1].value;
        b[37] = software[kSwGamma0 + 2].value;
    }
    const bool indexOk = writeIndex(directory, displayName, slot);
    const bool slotOk = writeWhole(slotPath(directory, displayName, slot), b, kSlotBytes);
    return indexOk && slotOk ? 0 : -3;
}

/// Loads a slot and makes it the current one. Fields missing from a short file, and fields whose
/// values lie outside their settings' ranges, are ignored; the others are applied. Clock and
/// resolution are restored before the exposure so that it converts with the saved line time.
int CamBayer::_load_params(int slot, const std::string& directory) {
    if (slot < 0 || slot > kMaxSlot) return -2;
    if (directory.empty()) return -3;
    unsigned char b[kSlotBytes] = {};
    const int n = readUpTo(slotPath(directory, displayName, slot), b, kSlotBytes);
    if (n > 0) {
        Lock lock(settingsLock);
        const auto has = [n](int offset, int width) { return offset + width <= n; };
        const auto flag = [&](int offset, std::atomic<bool>& target) {
            if (has(offset, 1) && b[offset] <= 1) target = b[offset] != 0;
        };
        const bool colour = software[kSwSaturation].enabled != 0;
        flag(0, monochrome);
        flag(1, autoExposure);
        flag(2, colorEnhancement);
        if (!colour) monochrome = false, colorEnhancement = false;

        const auto value = [&](int offset, int index) {
            SoftWareValue& r = software[index];
            if (has(offset, 1) && r.enabled && b[offset] >= r.min && b[offset] <= r.max)
                r.value = b[offset];
        };
        value(4, kSwGamma0);
        value(5, kSwContrast);
        value(6, kSwAeTarget);
        value(7, kSwSaturation);
        value(8, kSwGainRed);
        value(9, kSwGainGreen);
        value(10, kSwGainBlue);
        value(36, kSwGamma0 + 1);
        value(37, kSwGamma0 + 2);
        if (has(11, 1) && b[11] <= 3) flip = static_cast<int8_t>(b[11]);
        if (has(32, 2) && get16(b + 32) <= 127) snapFormat = static_cast<int16_t>(get16(b + 32));

        // Tables of the loaded values go to the shadows, published with the next frame.
        for (int c = 0; c < 3; ++c) buildShadow(kSwGamma0 + c, software[kSwGamma0 + c].value);
        buildShadow(kSwContrast, software[kSwContrast].value);
        if (colour) {
            buildShadow(kSwSaturation, software[kSwSaturation].value);
            for (int c = 0; c < 3; ++c) buildShadow(kSwGainRed + c, software[kSwGainRed + c].value);
        }

        // Sensor settings, each only when present and within its range.
        const auto field = [&](int offset, int lo, int hi, int& out) {
            if (!has(offset, 2)) return false;
            const int v = get16(b + offset);
            if (v < lo || v > hi) return false;
            out = v;
            return true;
        };
        int v = 0;
        if (field(34, analogGain.min, analogGain.max, v) && v != analogGain.value)
            _set_analog_gain(v);
        if (blackLevel.supported && field(18, blackLevel.min, blackLevel.max, v) &&
            v != blackLevel.value)
            _set_blacklevel(v);

        // Depth, clock and resolution limit each other: 16-bit data needs a slow clock at full
        // resolution, and a clock item with a shift is moved down the table below the
        // resolution index its shift names. An 8-bit depth goes first, since it limits
        // nothing; the clock goes before the resolution when it is taken as it is, else after
        // it; a 16-bit depth comes last.
        int depth = 0;
        const bool hasDepth =
            rawDepth.supported && field(16, 8, 16, depth) && (depth == 8 || depth == 16);
        if (hasDepth && depth == 8 && rawDepth.value != 8) _set_raw_depth(8);
        int clock = 0;
        const bool hasClock = field(14, pixelClock.min, pixelClock.max - 1, clock);
        if (hasClock && clock != pixelClock.value && resolution.table &&
            resolution.value >= clkItem(clock).shift)
            _set_pixsclock(clock);
        bool resolutionChanged = false;
        if (field(12, resolution.min, resolution.max - 1, v) && v != resolution.value) {
            _set_resolution(v, true);
            resolutionChanged = true;
        }
        if (hasClock && clock != pixelClock.value) _set_pixsclock(clock);

        // The region, only when it lies inside the image of the resolution now in force.
        int x, y, w, h;
        bool regionOk = resolution.table && field(24, 0, 0xFFFF, x) && field(26, 0, 0xFFFF, y) &&
                        field(28, 16, 0xFFFF, w) && field(30, 16, 0xFFFF, h);
        if (regionOk) {
            // Aligned as the setter aligns, so that a foreign slot cannot crop on the other
            // Bayer row or column.
            x &= ~3, y &= ~1, w &= ~3, h &= ~1;
            const int imageWidth = resItem(resolution.value).sensorWidth - 8;
            const int imageHeight = resItem(resolution.value).sensorHeight - 8;
            regionOk = x + w - 8 <= imageWidth && y + h - 8 <= imageHeight;
        }
        if (regionOk) {
            roiOrigin.wValue = static_cast<uint16_t>(x);
            roiOrigin.wIndex = static_cast<uint16_t>(y);
            roiSize.wValue = static_cast<uint16_t>(w);
            roiSize.wIndex = static_cast<uint16_t>(h);
            // A resolution change switches the region off, as it does from the setter.
            if (has(3, 1) && b[3] <= 1 && !resolutionChanged) roiState = b[3] != 0;
        } else if (has(3, 1)) {
            roiState = false;
        }

        if (hasDepth && depth != rawDepth.value) _set_raw_depth(depth);
        if (field(20, exposure.min, exposure.max, v)) exposure.value = static_cast<uint16_t>(v);
        if (longExposure.supported && field(22, 0, longExposure.max, v))
            longExposure.value = static_cast<uint16_t>(v);
        if (lineClock > 0 && lineLength > 0 && pixelClock.table) {
            const double lines =
                static_cast<double>(longExposure.value) * exposure.max + exposure.value;
            _set_exposure(
                exposureArgument(lines, static_cast<float>(clkItem(pixelClock.value).rate),
                                 static_cast<float>(lineLength),
                                 static_cast<float>(lines * lineLength / lineClock + 0.005)));
        }
    }
    writeIndex(directory, displayName, slot);
    return 0;
}
