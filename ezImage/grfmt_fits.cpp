// FITS writer. cfitsio lays out the file (header blocks, BZERO for unsigned 16-bit data,
// padding); this layer decides what goes in and hands it the caller's pixels: a one-channel
// image in its own orientation is written straight from the record, without a copy. Rows are
// written top-down, as cameras deliver them, and ROWORDER says so.
#include "ezImage/grfmt_fits.h"

#include <fitsio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#ifndef HALVEX_VERSION
#define HALVEX_VERSION "0"
#endif

namespace {

/// 10000-01-01T00:00:00 UTC in microseconds since 1970.
constexpr long long kYear10000Us = 253402300800LL * 1000000;

const char* frameTypeName(int type) {
    switch (type) {
    case HALVEX_FRAME_LIGHT:
        return "Light Frame";
    case HALVEX_FRAME_DARK:
        return "Dark Frame";
    case HALVEX_FRAME_FLAT:
        return "Flat Frame";
    case HALVEX_FRAME_BIAS:
        return "Bias Frame";
    default:
        return nullptr;
    }
}

FitsCard text(const char* name, std::string value, const char* comment) {
    FitsCard c;
    c.name = name;
    c.kind = FitsCard::kText;
    c.text = std::move(value);
    c.comment = comment;
    return c;
}

FitsCard integer(const char* name, long long value, const char* comment) {
    FitsCard c;
    c.name = name;
    c.kind = FitsCard::kInteger;
    c.integer = value;
    c.comment = comment;
    return c;
}

FitsCard real(const char* name, double value, int digits, const char* comment) {
    FitsCard c;
    c.name = name;
    c.kind = FitsCard::kReal;
    c.real = value;
    c.digits = digits;
    c.comment = comment;
    return c;
}

/// Whether a record holds sensor samples as read (a mosaic for colour cameras).
bool isRawSensor(const _ezImage& image) {
    return !image.decoded && image.channels == 1;
}

/// Closes a cfitsio file on every path out of write(); the status of the close is kept.
struct FitsFile {
    fitsfile* file = nullptr;
    int status = 0;
    ~FitsFile() { close(); }
    void close() {
        if (!file) return;
        int closing = 0;
        fits_close_file(file, &closing);
        if (status == 0) status = closing;
        file = nullptr;
    }
};

bool writeCard(fitsfile* f, const FitsCard& c, int& status) {
    char name[FLEN_KEYWORD], comment[FLEN_COMMENT];
    std::snprintf(name, sizeof name, "%s", c.name.c_str());
    std::snprintf(comment, sizeof comment, "%s", c.comment.c_str());
    switch (c.kind) {
    case FitsCard::kText: {
        char value[FLEN_VALUE];
        std::snprintf(value, sizeof value, "%s", c.text.c_str());
        fits_write_key_str(f, name, value, comment, &status);
        break;
    }
    case FitsCard::kInteger:
        fits_write_key_lng(f, name, c.integer, comment, &status);
        break;
    case FitsCard::kReal:
        fits_write_key_fixdbl(f, name, c.real, c.digits, comment, &status);
        break;
    }
    return status == 0;
}

} // namespace

FitsEncoder::FitsEncoder() {
    m_description = "Flexible Image Transport System (*.fits;*.fit;*.fts)";
}

std::unique_ptr<BaseImageEncoder> FitsEncoder::clone() const {
    return std::make_unique<FitsEncoder>(*this);
}

bool FitsEncoder::isFormatSupported(int depth) const {
    return depth == 8 || depth == 16;
}

std::string FitsEncoder::isoTime(long long utcMicros) {
    long long seconds = utcMicros / 1000000;
    long long micros = utcMicros % 1000000;
    if (micros < 0) micros += 1000000, --seconds;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[40];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(micros / 1000));
    return out;
}

std::vector<FitsCard> FitsEncoder::headerCards(const _ezImage& image) {
    std::vector<FitsCard> cards;
    cards.push_back(text("ROWORDER", "TOP-DOWN", "first row of the data is the top row"));
    HalvexFrameInfo info{};
    const bool known = ezReadFrameInfo(image, info);
    if (known) {
        if (info.model[0]) {
            const std::string model(info.model, strnlen(info.model, sizeof info.model));
            cards.push_back(text("INSTRUME", model, "camera model"));
        }
        // Exposure in seconds, to the microsecond the camera's milliseconds carry.
        // A value that is not a number (a camera that reports none) is left out: FITS has no
        // way to write it.
        const double seconds = std::round(double(info.exposureMs) * 1000.0) / 1e6;
        if (std::isfinite(seconds))
            cards.push_back(real("EXPTIME", seconds, 6, "[s] exposure time of this frame"));
        // FITS dates have four-digit years.
        if (info.exposureStartUs > 0 && info.exposureStartUs < kYear10000Us)
            cards.push_back(
                text("DATE-OBS", isoTime(info.exposureStartUs), "UTC at the start of exposure"));
        if (info.flags & HALVEX_INFO_GAIN)
            cards.push_back(integer("GAIN", info.gain, "analog gain setting"));
        if (info.flags & HALVEX_INFO_BLACK_LEVEL)
            cards.push_back(integer("OFFSET", info.blackLevel, "black level setting"));
        cards.push_back(integer("XBINNING", std::max<int>(1, info.binX), "binning across"));
        cards.push_back(integer("YBINNING", std::max<int>(1, info.binY), "binning down"));
        cards.push_back(integer("XORGSUBF", info.originX, "sub-frame origin, first column"));
        cards.push_back(integer("YORGSUBF", info.originY, "sub-frame origin, first row"));
        if ((info.flags & HALVEX_INFO_TEMPERATURE) && std::isfinite(info.temperature))
            cards.push_back(
                real("CCD-TEMP", info.temperature, 2, "[C] sensor temperature at this frame"));
        if ((info.flags & HALVEX_INFO_SET_TEMPERATURE) && std::isfinite(info.setTemperature))
            cards.push_back(real("SET-TEMP", info.setTemperature, 2, "[C] cooler target"));
        if (const char* type = frameTypeName(info.frameType))
            cards.push_back(text("IMAGETYP", type, "kind of exposure"));
        if (isRawSensor(image)) {
            const int code = ezFlipBayer(info.bayer, info.flip & 3, image.width, image.height);
            if (const char* pattern = ezBayerName(code)) {
                cards.push_back(text("BAYERPAT", pattern, "colour filters from the first pixel"));
                cards.push_back(integer("XBAYROFF", 0, "pattern offset across"));
                cards.push_back(integer("YBAYROFF", 0, "pattern offset down"));
            }
        }
    }
    cards.push_back(text("SWCREATE", "Halvex Capture " HALVEX_VERSION, "software that wrote it"));
    return cards;
}

/// The file goes through a temporary in the destination's directory and is renamed into place
/// only when cfitsio closed it without an error: a failed write leaves nothing behind.
bool FitsEncoder::write(const _ezImage& image) {
    const int depth = image.depth, channels = image.channels;
    if ((depth != 8 && depth != 16) || (channels != 1 && channels != 3)) return false;
    if (image.width == 0 || image.height == 0 || !image.data) return false;
    const long width = image.width, height = image.height;
    const size_t bytes = depth / 8;

    // Raw sensor data is turned the way the frame was to be shown; finished images are already.
    int flip = 0;
    if (isRawSensor(image)) {
        HalvexFrameInfo info{};
        if (ezReadFrameInfo(image, info)) flip = info.flip & 3;
    }
    const std::vector<FitsCard> cards = headerCards(image);

    AtomicFile target(m_filename);
    if (!target.isCreated()) return false;
    // cfitsio creates its file itself and takes the name literally this way (no filename
    // syntax is parsed out of the directory's name).
    ::unlink(target.path().c_str());
    FitsFile out;
    fits_create_diskfile(&out.file, target.path().c_str(), &out.status);
    if (out.status != 0) {
        out.file = nullptr;
        return false;
    }
    long axes[3] = {width, height, channels};
    fits_create_img(out.file, depth == 8 ? BYTE_IMG : USHORT_IMG, channels == 1 ? 2 : 3, axes,
                    &out.status);
    for (const FitsCard& card : cards)
        if (!writeCard(out.file, card, out.status)) break;
    fits_write_date(out.file, &out.status);

    const int type = depth == 8 ? TBYTE : TUSHORT;
    const size_t rowBytes = static_cast<size_t>(width) * channels * bytes;
    if (channels == 1 && flip == 0) {
        fits_write_img(out.file, type, 1, static_cast<LONGLONG>(width) * height, image.data,
                       &out.status);
    } else {
        // One row at a time through a small buffer: planes picked out of interleaved samples,
        // or a raw row taken from the flipped position.
        std::unique_ptr<unsigned char[]> row(new unsigned char[static_cast<size_t>(width) * 2]);
        for (int c = 0; c < channels && out.status == 0; ++c) {
            for (long y = 0; y < height && out.status == 0; ++y) {
                const long from = (flip & 2) ? height - 1 - y : y;
                const unsigned char* src = image.data + from * rowBytes;
                for (long x = 0; x < width; ++x) {
                    const long sx = (flip & 1) ? width - 1 - x : x;
                    const unsigned char* s = src + (sx * channels + c) * bytes;
                    if (bytes == 1) {
                        row[x] = s[0];
                    } else {
                        const uint16_t v = static_cast<uint16_t>(s[0] | (s[1] << 8));
                        std::memcpy(row.get() + 2 * x, &v, 2);
                    }
                }
                const LONGLONG first = 1 + (static_cast<LONGLONG>(c) * height + y) * width;
                fits_write_img(out.file, type, first, width, row.get(), &out.status);
            }
        }
    }
    out.close();
    if (out.status != 0) return false;
    return target.commit();
}
