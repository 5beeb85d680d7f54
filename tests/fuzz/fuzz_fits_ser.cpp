// What goes into the FITS and SER writers from the camera, the library and the front ends:
// frame geometry, frame information (model names from USB descriptors, temperatures, NaN
// exposures, dates before 1970 or past 9999, any frame type or Bayer code), the SER texts and
// time stamps, and the pixels. Each file is read back by a reader of its own (cfitsio for FITS,
// the tests' SER layout reader): a valid file with every header card readable and the pixels
// as handed over, or a failure reported with nothing left under the name.
#include <fitsio.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ezImage/ezImage.h"
#include "recording/SerWriter.h"
#include "tests/ezImage/frame_info_sample.h"
#include "tests/recording/SerLayout.h"

namespace {

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    void take(void* out, size_t n) {
        auto* p = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) p[i] = u8();
    }
    std::string text() {
        std::string s(u8() % 64, '\0');
        take(s.data(), s.size());
        return s;
    }
    /// The bytes left, repeated to fill `n` (zeros when none are left).
    std::vector<uint8_t> fill(size_t n) {
        std::vector<uint8_t> out(n, 0);
        const size_t left = size_ - std::min(at_, size_);
        for (size_t i = 0; i < n && left; ++i)
            out[i] = static_cast<uint8_t>(data_[at_ + i % left] + i / left);
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

/// The sample at (x, y) of plane c, as the FITS writer is to lay it out.
unsigned expectedSample(const _ezImage& image, int flip, long x, long y, int c) {
    const size_t bytes = image.depth / 8;
    const long from = (flip & 2) ? image.height - 1 - y : y;
    const long sx = (flip & 1) ? image.width - 1 - x : x;
    const unsigned char* s = image.data + from * image.stride + (sx * image.channels + c) * bytes;
    return bytes == 1 ? s[0] : static_cast<unsigned>(s[0] | (s[1] << 8));
}

/// 'YYYY-MM-DDThh:mm:ss[.s...]' as a FITS date value.
bool isFitsDate(const char* value) {
    const char* pattern = "'dddd-dd-ddTdd:dd:dd";
    size_t i = 0;
    for (; pattern[i]; ++i) {
        const char c = value[i];
        if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != pattern[i])
            return false;
    }
    if (value[i] == '.')
        for (++i; std::isdigit(static_cast<unsigned char>(value[i]));) ++i;
    while (value[i] == ' ') ++i;
    return value[i] == '\'' && value[i + 1] == '\0';
}

void checkFits(const std::string& path, const _ezImage& image, int flip) {
    fitsfile* f = nullptr;
    int status = 0;
    fits_open_diskfile(&f, path.c_str(), READONLY, &status);
    hxfuzz::check(status == 0, "a written FITS file does not open");
    int cards = 0;
    fits_get_hdrspace(f, &cards, nullptr, &status);
    for (int i = 1; i <= cards && status == 0; ++i) {
        char card[FLEN_CARD], value[FLEN_VALUE], comment[FLEN_COMMENT];
        fits_read_record(f, i, card, &status);
        fits_test_record(card, &status);
        if (status != 0) std::fprintf(stderr, "card %d: %s\n", i, card);
        hxfuzz::check(status == 0, "a header card holds characters FITS does not allow");
        if (std::strncmp(card, "COMMENT ", 8) == 0 || std::strncmp(card, "HISTORY ", 8) == 0)
            continue;
        fits_parse_value(card, value, comment, &status);
        if (status != 0) std::fprintf(stderr, "card %d: %s\n", i, card);
        hxfuzz::check(status == 0, "a header card's value does not parse");
        if (std::strncmp(card, "DATE", 4) == 0 && (card[4] == ' ' || card[4] == '-')) {
            if (!isFitsDate(value)) std::fprintf(stderr, "card %d: %s\n", i, card);
            hxfuzz::check(isFitsDate(value), "a FITS date is not YYYY-MM-DDThh:mm:ss");
        }
        if (value[0] && value[0] != '\'' && value[0] != 'T' && value[0] != 'F') {
            char* end = nullptr;
            const double v = std::strtod(value, &end);
            if (!std::isfinite(v) || *end) std::fprintf(stderr, "card %d: %s\n", i, card);
            hxfuzz::check(std::isfinite(v) && *end == '\0', "a header number is not a number");
        }
    }
    int bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    fits_get_img_param(f, 3, &bitpix, &naxis, axes, &status);
    hxfuzz::check(status == 0 && bitpix == (image.depth == 8 ? BYTE_IMG : SHORT_IMG),
                  "the FITS sample type is wrong");
    hxfuzz::check(naxis == (image.channels == 1 ? 2 : 3) && axes[0] == image.width &&
                      axes[1] == image.height && (naxis == 2 || axes[2] == image.channels),
                  "the FITS axes are wrong");
    const long total = static_cast<long>(image.width) * image.height * image.channels;
    std::vector<long> samples(static_cast<size_t>(total));
    fits_read_img(f, TLONG, 1, total, nullptr, samples.data(), nullptr, &status);
    hxfuzz::check(status == 0, "the FITS data does not read");
    size_t i = 0;
    for (int c = 0; c < image.channels; ++c)
        for (long y = 0; y < image.height; ++y)
            for (long x = 0; x < image.width; ++x, ++i)
                hxfuzz::check(samples[i] == static_cast<long>(expectedSample(image, flip, x, y, c)),
                              "a FITS sample differs from the frame");
    int closing = 0;
    fits_close_file(f, &closing);
}

void fitsCase(Bytes& in) {
    const int width = 1 + in.u8() % 48, height = 1 + in.u8() % 32;
    const uint8_t shape = in.u8();
    const int depth = shape & 1 ? 16 : 8;
    const int channels = shape & 2 ? 3 : 1;
    HalvexFrameInfo info{};
    in.take(&info, sizeof info);
    // One buffer, as the frame read makes it: the record, the frame information, the pixels.
    constexpr int kHead = HALVEX_FRAME_INFO_OFFSET + sizeof(HalvexFrameInfo);
    const size_t bytes = static_cast<size_t>(width) * height * channels * depth / 8;
    std::vector<unsigned char> buffer(kHead + bytes + kEzStatisticsBytes, 0);
    auto* image = reinterpret_cast<_ezImage*>(buffer.data());
    ezInitImageHeader(image, width, height, channels, depth, kHead, buffer.data() + kHead, 0,
                      shape & 4 ? 1 : 0);
    image->bayer = info.bayer;
    const std::vector<uint8_t> pixels = in.fill(image->stride * static_cast<size_t>(height));
    std::memcpy(image->data, pixels.data(), pixels.size());
    if (!(shape & 8)) ezWriteFrameInfo(*image, info);
    const int flip = (!image->decoded && channels == 1 && !(shape & 8)) ? info.flip & 3 : 0;

    const std::string path = hxfuzz::scratchDir() + "frame.fits";
    ::unlink(path.c_str());
    // Whatever the frame information says, a frame of a size and depth FITS carries is written.
    hxfuzz::check(ezSaveImage(path, image), "a frame was not written as FITS");
    checkFits(path, *image, flip);
    ::unlink(path.c_str());
}

bool validUtf8Prefix(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n;
    }
    return true;
}

void checkText(const std::string& read, const std::string& given) {
    const std::string asGiven = given.substr(0, given.find('\0'));
    hxfuzz::check(read.size() <= 40 && asGiven.compare(0, read.size(), read) == 0,
                  "a SER text is not the start of the one given");
    // A text cut to fit is cut between characters.
    if (validUtf8Prefix(asGiven))
        hxfuzz::check(validUtf8Prefix(read), "a SER text was cut inside a character");
}

void serCase(Bytes& in) {
    static const int32_t kColours[] = {hx::recording::kSerMono,
                                       hx::recording::kSerBayerRGGB,
                                       hx::recording::kSerBayerGRBG,
                                       hx::recording::kSerBayerGBRG,
                                       hx::recording::kSerBayerBGGR,
                                       hx::recording::kSerRGB,
                                       1,
                                       101};
    hx::recording::SerFormat format;
    format.width = in.u8() % 40;
    format.height = in.u8() % 24;
    format.colour = kColours[in.u8() % 8];
    format.depth = in.u8() % 18;
    format.observer = in.text();
    format.instrument = in.text();
    format.telescope = in.text();
    const int frames = in.u8() % 4;
    std::vector<int64_t> stamps(static_cast<size_t>(frames));
    std::vector<int> flips(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        in.take(&stamps[i], sizeof stamps[i]);
        flips[i] = in.u8() & 3;
    }

    const std::string path = hxfuzz::scratchDir() + "video.ser";
    ::unlink(path.c_str());
    hx::recording::SerOptions options;
    options.queueFrames = 2;
    options.waitWhenFull = true;
    hx::recording::SerWriter writer(options);
    const bool inRange = format.width > 0 && format.height > 0 && format.depth >= 1 &&
                         format.depth <= 16 && format.colour != 1 && format.colour != 101;
    if (!writer.open(path, format)) {
        hxfuzz::check(!inRange, "a SER recording of a valid format did not open");
        hxfuzz::check(!writer.error().empty(), "a refused SER recording says nothing");
        hxfuzz::check(!exists(path), "a refused SER recording left a file");
        return;
    }
    hxfuzz::check(inRange, "a SER recording of an invalid format opened");
    const std::vector<uint8_t> pixels = in.fill(writer.frameBytes());
    for (int i = 0; i < frames; ++i)
        hxfuzz::check(writer.append(pixels.data(), stamps[i], flips[i]), "a frame was refused");
    hxfuzz::check(writer.close(), "a SER recording did not close");

    const hxtest::SerFile f = hxtest::readSer(path);
    hxfuzz::check(f.ok && f.fileId == "LUCAM-RECORDER", "a SER file does not read back");
    hxfuzz::check(f.width == format.width && f.height == format.height && f.depth == format.depth &&
                      f.colour == format.colour && f.frames == frames &&
                      static_cast<int>(f.stamps.size()) == frames,
                  "a SER header is wrong");
    checkText(f.observer, format.observer);
    checkText(f.instrument, format.instrument);
    checkText(f.telescope, format.telescope);
    const size_t pixel = writer.frameBytes() / (static_cast<size_t>(format.width) * format.height);
    const size_t row = pixel * format.width;
    for (int i = 0; i < frames; ++i) {
        hxfuzz::check(f.stamps[i] >= 0, "a SER time stamp lies before year 1");
        // Every moment from year 1 to the end of the 64-bit ticks is written exactly.
        const int64_t t = stamps[i];
        if (t >= -hx::recording::kSerTicksAt1970 / 10 &&
            t <= (INT64_MAX - hx::recording::kSerTicksAt1970) / 10)
            hxfuzz::check(f.stamps[i] == hx::recording::kSerTicksAt1970 + t * 10,
                          "a SER time stamp is not the frame's moment");
        for (int y = 0; y < format.height; ++y)
            for (int x = 0; x < format.width; ++x) {
                const int sy = (flips[i] & 2) ? format.height - 1 - y : y;
                const int sx = (flips[i] & 1) ? format.width - 1 - x : x;
                hxfuzz::check(std::memcmp(&f.images[i][row * y + pixel * x],
                                          &pixels[row * sy + pixel * sx], pixel) == 0,
                              "a SER frame differs from the one appended");
            }
    }
    ::unlink(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = [] {
        ezInitGrfmt();
        return true;
    }();
    (void)started;
    Bytes in(data, size);
    if (in.u8() & 1)
        serCase(in);
    else
        fitsCase(in);
    return 0;
}

namespace {

std::vector<uint8_t> fitsSeed(uint8_t width, uint8_t height, uint8_t shape,
                              const HalvexFrameInfo& info) {
    // Sized once: growing a four-byte vector by an insert draws a false bounds warning from
    // the optimiser.
    std::vector<uint8_t> b(4 + sizeof info + 64);
    b[0] = 0;
    b[1] = width;
    b[2] = height;
    b[3] = shape;
    std::memcpy(b.data() + 4, &info, sizeof info);
    for (int i = 0; i < 64; ++i) b[4 + sizeof info + i] = static_cast<uint8_t>(i * 37);
    return b;
}

std::vector<uint8_t> serSeed(uint8_t width, uint8_t height, uint8_t colour, uint8_t depth,
                             const std::string& observer, uint8_t frames) {
    std::vector<uint8_t> b = {1, width, height, colour, depth};
    for (const std::string& s : {observer, std::string("VAh200C1"), std::string()}) {
        b.push_back(static_cast<uint8_t>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
    }
    b.push_back(frames);
    for (int i = 0; i < frames; ++i) {
        const int64_t stamp = 1765275072345000LL + i * 20000;
        const auto* p = reinterpret_cast<const uint8_t*>(&stamp);
        b.insert(b.end(), p, p + 8);
        b.push_back(static_cast<uint8_t>(i));
    }
    for (int i = 0; i < 48; ++i) b.push_back(static_cast<uint8_t>(i * 11));
    return b;
}

} // namespace

extern "C" int HalvexFuzzSeeds(const char* dir) {
    bool ok = true;
    HalvexFrameInfo info = hxtest::sampleFrameInfo();
    ok &= hxfuzz::seed(dir, "fits-raw8", fitsSeed(15, 7, 0, info));
    info.flip = 3;
    ok &= hxfuzz::seed(dir, "fits-raw16-flipped", fitsSeed(16, 9, 1, info));
    info.exposureMs = std::nanf("");
    info.temperature = 1e30f;
    info.frameType = 7;
    std::memcpy(info.model, "Cam\x01\xff'\"&=x/ long name!", 16);
    ok &= hxfuzz::seed(dir, "fits-odd-info", fitsSeed(5, 3, 0, info));
    ok &= hxfuzz::seed(dir, "fits-rgb16", fitsSeed(6, 4, 1 | 2 | 4, hxtest::sampleFrameInfo()));
    ok &= hxfuzz::seed(dir, "fits-no-info", fitsSeed(3, 3, 8, hxtest::sampleFrameInfo()));
    ok &= hxfuzz::seed(dir, "ser-mono8", serSeed(9, 5, 0, 8, "observer", 3));
    ok &= hxfuzz::seed(dir, "ser-rgb16", serSeed(4, 3, 5, 12, "Jos\xc3\xa9", 2));
    ok &= hxfuzz::seed(dir, "ser-bayer-long-text",
                       serSeed(8, 4, 1, 16, std::string(38, 'o') + "\xe2\x82\xac", 1));
    ok &= hxfuzz::seed(dir, "ser-refused", serSeed(0, 4, 6, 17, "", 1));
    return ok ? 0 : 1;
}
