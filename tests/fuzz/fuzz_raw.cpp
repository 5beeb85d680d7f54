// RAW files from anywhere: ezLoadImage either refuses them or gives a record that describes its
// pixels exactly, saves back to a file that loads as the same image, and demosaics the same on
// every implementation.
#include <cstring>

#include "FuzzSupport.h"
#include "algorithms/demosaic.h"
#include "ezImage/ezImage.h"

namespace {

/// Demosaics larger than this are skipped: the point is the header, not the speed.
constexpr long long kMaxDemosaicPixels = 1 << 18;

struct Registered {
    Registered() { ezInitGrfmt(); }
} registered;

struct Releaser {
    _ezImage* image;
    ~Releaser() { ezReleaseImage(&image); }
};

void checkDemosaic(_ezImage* raw, int bayer) {
    namespace algo = hx::algorithms;
    if (static_cast<long long>(raw->width) * raw->height > kMaxDemosaicPixels) return;
    // A colour record of this width could not describe its rows; the chain never makes one.
    if (static_cast<long long>(raw->width) * 3 * raw->depth / 8 > 0xFFFF) return;
    Releaser fast{ezCreateImage(raw->width, raw->height, raw->depth, 3, 56, 0)};
    Releaser reference{ezCreateImage(raw->width, raw->height, raw->depth, 3, 56, 0)};
    hxfuzz::check(fast.image && reference.image, "a demosaic target could not be made");
    const size_t bytes = static_cast<size_t>(fast.image->stride) * fast.image->height;
    std::memset(fast.image->data, 0, bytes);
    std::memset(reference.image->data, 0, bytes);
    algo::decodeRawReference(raw, reference.image, bayer, false);
    for (algo::DemosaicPath path : {algo::DemosaicPath::Portable, algo::DemosaicPath::Avx2}) {
        algo::setDemosaicPath(path);
        __decode_rawdatafast(raw, fast.image, bayer);
        hxfuzz::check(std::memcmp(fast.image->data, reference.image->data, bytes) == 0,
                      "demosaic differs from the reference");
    }
    algo::setDemosaicPath(algo::DemosaicPath::Auto);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = hxfuzz::scratchDir() + "in.raw";
    const std::string out = hxfuzz::scratchDir() + "out.raw";
    hxfuzz::writeBytes(in, data, size);
    Releaser loaded{ezLoadImage(in)};
    _ezImage* image = loaded.image;
    if (!image) return 0;

    // What a loaded record promises.
    hxfuzz::check(std::memcmp(image->magic, "QREZ", 4) == 0, "magic");
    hxfuzz::check(image->width > 0 && image->height > 0, "empty image loaded");
    hxfuzz::check(image->channels == 1, "channels");
    hxfuzz::check(image->depth == 8 || image->depth == 16, "depth");
    hxfuzz::check(image->stride == static_cast<size_t>(image->width) * image->depth / 8,
                  "stride does not match the width");
    hxfuzz::check(image->headerSize >= sizeof(_ezImage), "pixels start inside the record");
    hxfuzz::check(image->tail == image->data + static_cast<size_t>(image->stride) * image->height,
                  "tail");
    // The pixels are the file's bytes from the data offset on (zero past its end).
    const size_t pixelBytes = static_cast<size_t>(image->stride) * image->height;
    for (size_t i = 0; i < pixelBytes; i += 1 + pixelBytes / 4096) {
        const size_t at = image->headerSize + i;
        hxfuzz::check(image->data[i] == (at < size ? data[at] : 0), "pixel bytes");
    }

    // Saved and loaded again: the same image.
    hxfuzz::check(ezSaveImage(out, image), "a loaded image could not be saved back");
    Releaser again{ezLoadImage(out)};
    hxfuzz::check(again.image != nullptr, "a saved image does not load again");
    hxfuzz::check(again.image->width == image->width && again.image->height == image->height &&
                      again.image->depth == image->depth &&
                      again.image->headerSize == image->headerSize,
                  "geometry changed in a round trip");
    hxfuzz::check(std::memcmp(again.image->data, image->data, pixelBytes) == 0,
                  "pixels changed in a round trip");

    checkDemosaic(image, size > 10 ? data[10] % 5 : 0);
    return 0;
}

namespace {
std::vector<uint8_t> rawFile(int width, int height, int depth, int offset, int bayer) {
    std::vector<uint8_t> b(static_cast<size_t>(offset), 0);
    std::memcpy(b.data(), "QREZ", 4);
    hxfuzz::put16(b, 4, static_cast<unsigned>(width));
    hxfuzz::put16(b, 6, static_cast<unsigned>(height));
    b[8] = static_cast<uint8_t>(depth);
    b[9] = 1;
    b[10] = static_cast<uint8_t>(bayer);
    hxfuzz::put16(b, 12, static_cast<unsigned>(offset));
    hxfuzz::put16(b, 14, static_cast<unsigned>(width * depth / 8));
    const size_t pixels = static_cast<size_t>(width) * height * depth / 8;
    for (size_t i = 0; i < pixels; ++i) b.push_back(static_cast<uint8_t>(i * 37 + i / 7));
    return b;
}
} // namespace

extern "C" int HalvexFuzzSeeds(const char* dir) {
    bool ok = true;
    ok &= hxfuzz::seed(dir, "small8", rawFile(4, 2, 8, 56, 0));
    ok &= hxfuzz::seed(dir, "bayer8", rawFile(16, 12, 8, 56, 3));
    ok &= hxfuzz::seed(dir, "bayer16", rawFile(10, 6, 16, 56, 1));
    ok &= hxfuzz::seed(dir, "head512", rawFile(24, 8, 16, 512, 4));
    ok &= hxfuzz::seed(dir, "wide16", rawFile(32767, 1, 16, 56, 2));
    auto truncated = rawFile(64, 64, 8, 56, 2);
    truncated.resize(100);
    ok &= hxfuzz::seed(dir, "truncated", truncated);
    ok &= hxfuzz::seed(dir, "header-only", rawFile(1, 1, 8, 56, 0));
    return ok ? 0 : 1;
}
