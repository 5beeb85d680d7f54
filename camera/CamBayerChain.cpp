// The base camera's processing chain: one raw frame becomes the finished image. Every step is a
// table lookup per sample; the tables are the live halves of the host-side settings, published at
// the start of each frame under the settings lock and then read without it (only the conversion
// that holds the camera's conversion lock writes live tables).
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "algorithms/algorithms.h"
#include "algorithms/lookup.h"
#include "algorithms/saturation.h"
#include "camera/CamBayer.h"

namespace {

/// The four tone and colour steps of a colour image, as bits of the step mask.
enum : unsigned {
    kStepGain = 1,
    kStepGamma = 2,
    kStepContrast = 4,
    kStepSaturation = 8,
};

/// Live tables read by the colour step. When gamma and contrast both run, `toned` holds their
/// composition per channel (contrast after gamma), one lookup instead of two.
struct ColourTables {
    const uint8_t* gain[3];
    const uint8_t* saturation;
    const uint8_t* gamma[3];
    const uint8_t* contrast;
    uint8_t toned[3][256];
};

constexpr unsigned kStepTone = kStepGamma | kStepContrast;

/// Pixels the tone steps touch: all but the last two of the image.
size_t toneCount(const _ezImage* image) {
    const size_t pixels = static_cast<size_t>(image->width) * image->height;
    return pixels > 2 ? pixels - 2 : 0;
}

size_t pixelCount(const _ezImage* image) {
    return static_cast<size_t>(image->width) * image->height;
}

/// True for a record the steps can work on: pixels present, 8 or 16 bits.
bool usable(const _ezImage* image) {
    return image && image->data && (image->depth == 8 || image->depth == 16);
}

/// Colour step on 8-bit pixels; only the steps in M are compiled in.
template <unsigned M> void colour8(uint8_t* p, size_t pixels, const ColourTables& t) {
    for (size_t i = 0; i < pixels; ++i, p += 3) {
        unsigned a = p[0], b = p[1], c = p[2];
        if constexpr ((M & kStepGain) != 0) {
            a = t.gain[0][a];
            b = t.gain[1][b];
            c = t.gain[2][c];
        }
        if constexpr ((M & kStepSaturation) != 0) {
            // Row b of the table pulls the other samples towards green; its diagonal entry
            // (green itself) is b for every saturation, so green keeps its value.
            const uint8_t* row = t.saturation + b * 256u;
            a = row[a];
            c = row[c];
        }
        if constexpr ((M & kStepTone) == kStepTone) {
            a = t.toned[0][a];
            b = t.toned[1][b];
            c = t.toned[2][c];
        } else if constexpr ((M & kStepGamma) != 0) {
            a = t.gamma[0][a];
            b = t.gamma[1][b];
            c = t.gamma[2][c];
        } else if constexpr ((M & kStepContrast) != 0) {
            a = t.contrast[a];
            b = t.contrast[b];
            c = t.contrast[c];
        }
        p[0] = static_cast<uint8_t>(a);
        p[1] = static_cast<uint8_t>(b);
        p[2] = static_cast<uint8_t>(c);
    }
}

/// Colour step on 16-bit little-endian pixels: gain and contrast map both bytes of a sample,
/// saturation and gamma the high byte only.
template <unsigned M> void colour16(uint8_t* p, size_t pixels, const ColourTables& t) {
    for (size_t i = 0; i < pixels; ++i, p += 6) {
        unsigned l0 = p[0], h0 = p[1], l1 = p[2], h1 = p[3], l2 = p[4], h2 = p[5];
        if constexpr ((M & kStepGain) != 0) {
            l0 = t.gain[0][l0];
            h0 = t.gain[0][h0];
            l1 = t.gain[1][l1];
            h1 = t.gain[1][h1];
            l2 = t.gain[2][l2];
            h2 = t.gain[2][h2];
        }
        if constexpr ((M & kStepSaturation) != 0) {
            const uint8_t* row = t.saturation + h1 * 256u; // diagonal: h1 stays
            h0 = row[h0];
            h2 = row[h2];
        }
        if constexpr ((M & kStepTone) == kStepTone) {
            h0 = t.toned[0][h0];
            h1 = t.toned[1][h1];
            h2 = t.toned[2][h2];
        } else if constexpr ((M & kStepGamma) != 0) {
            h0 = t.gamma[0][h0];
            h1 = t.gamma[1][h1];
            h2 = t.gamma[2][h2];
        } else if constexpr ((M & kStepContrast) != 0) {
            h0 = t.contrast[h0];
            h1 = t.contrast[h1];
            h2 = t.contrast[h2];
        }
        if constexpr ((M & kStepContrast) != 0) {
            l0 = t.contrast[l0];
            l1 = t.contrast[l1];
            l2 = t.contrast[l2];
        }
        p[0] = static_cast<uint8_t>(l0);
        p[1] = static_cast<uint8_t>(h0);
        p[2] = static_cast<uint8_t>(l1);
        p[3] = static_cast<uint8_t>(h1);
        p[4] = static_cast<uint8_t>(l2);
        p[5] = static_cast<uint8_t>(h2);
    }
}

/// The colour step composed into one lookup per sample. Gain, gamma and contrast are
/// per-channel tables and compose into `high` (and `low` for the low bytes of 16-bit samples,
/// which see gain and contrast only). Saturation maps red and blue through a row chosen by the
/// gained green; so red and blue take one 256 x 256 table each, indexed by the raw green and the
/// raw sample, that holds gain, saturation and tone together. Green keeps its gained value
/// through saturation, so its own table is enough.
struct ComposedColour {
    uint8_t high[3][256];
    uint8_t low[3][256];
    bool saturation = false;
    uint8_t mixed[2][256 * 256]; ///< red and blue by (green, sample)
    // Inputs of the last build of `mixed`, so an unchanged setting is not recomposed per frame.
    uint8_t builtGain[3][256];
    uint8_t builtTone[3][256];
    uint8_t builtSaturation[256 * 256];
    bool built = false;
    /// The saturation whose rule filled the table built from, or -1: then it can be computed.
    int saturationRule = -1;
};

/// Composes the tables of the steps in mask into c; the 256 x 256 tables are rebuilt only when
/// their inputs differ from the last build.
void composeColour(unsigned mask, const ColourTables& t, ComposedColour& c) {
    uint8_t gain[3][256], tone[3][256];
    for (int k = 0; k < 3; ++k)
        for (int v = 0; v < 256; ++v) {
            gain[k][v] = (mask & kStepGain) ? t.gain[k][v] : static_cast<uint8_t>(v);
            unsigned x = static_cast<unsigned>(v);
            if ((mask & kStepTone) == kStepTone)
                x = t.toned[k][x];
            else if (mask & kStepGamma)
                x = t.gamma[k][x];
            else if (mask & kStepContrast)
                x = t.contrast[x];
            tone[k][v] = static_cast<uint8_t>(x);
        }
    for (int k = 0; k < 3; ++k)
        for (int v = 0; v < 256; ++v) {
            c.high[k][v] = tone[k][gain[k][v]];
            c.low[k][v] = (mask & kStepContrast) ? t.contrast[gain[k][v]] : gain[k][v];
        }
    c.saturation = (mask & kStepSaturation) != 0;
    if (!c.saturation) return;
    if (c.built && std::memcmp(c.builtGain, gain, sizeof(gain)) == 0 &&
        std::memcmp(c.builtTone, tone, sizeof(tone)) == 0 &&
        std::memcmp(c.builtSaturation, t.saturation, sizeof(c.builtSaturation)) == 0)
        return;
    for (int g = 0; g < 256; ++g) {
        const uint8_t* row = t.saturation + gain[1][g] * 256u;
        uint8_t* red = c.mixed[0] + g * 256;
        uint8_t* blue = c.mixed[1] + g * 256;
        for (int v = 0; v < 256; ++v) {
            red[v] = tone[0][row[gain[0][v]]];
            blue[v] = tone[2][row[gain[2][v]]];
        }
    }
    std::memcpy(c.builtGain, gain, sizeof(gain));
    std::memcpy(c.builtTone, tone, sizeof(tone));
    std::memcpy(c.builtSaturation, t.saturation, sizeof(c.builtSaturation));
    c.built = true;
    c.saturationRule = hx::algorithms::saturationOfTable(t.saturation);
}

/// The composed colour step with saturation on pixels of Wide ? 6 : 3 bytes, one by one.
template <bool Wide> void composedColour(uint8_t* p, size_t pixels, const ComposedColour& c) {
    constexpr size_t e = Wide ? 2 : 1, hi = e - 1;
    for (size_t i = 0; i < pixels; ++i, p += 3 * e) {
        const unsigned a = p[hi], b = p[e + hi], d = p[2 * e + hi];
        if constexpr (Wide) {
            p[0] = c.low[0][p[0]];
            p[2] = c.low[1][p[2]];
            p[4] = c.low[2][p[4]];
        }
        p[hi] = c.mixed[0][b * 256 + a];
        p[2 * e + hi] = c.mixed[1][b * 256 + d];
        p[e + hi] = c.high[1][b];
    }
}

/// The composed colour step through the vector lookups, one table per byte. With saturation
/// (used for 6-byte pixels), red and blue take a table of two inputs (gathers of it were slower
/// than this loop): those are looked up one by one first, as they read the green sample before
/// its table changes it, then the vector lookups do the rest; both over chunks that stay in the
/// first-level cache.
template <bool Wide> void composedColourVector(uint8_t* p, size_t pixels, const ComposedColour& c) {
    constexpr size_t e = Wide ? 2 : 1, hi = e - 1, pixelBytes = 3 * e, kChunk = 1024;
    const uint8_t* red = c.saturation ? nullptr : c.high[0];
    const uint8_t* blue = c.saturation ? nullptr : c.high[2];
    const hx::algorithms::ByteLayout layout =
        Wide ? hx::algorithms::ByteLayout{6, {c.low[0], red, c.low[1], c.high[1], c.low[2], blue}}
             : hx::algorithms::ByteLayout{3, {red, c.high[1], blue}};
    const hx::algorithms::ByteMapper mapper(layout); // prepared once for every chunk
    if (!c.saturation) {
        mapper.apply(p, pixels * pixelBytes);
        return;
    }
    for (size_t from = 0; from < pixels; from += kChunk) {
        const size_t n = std::min(kChunk, pixels - from);
        uint8_t* chunk = p + from * pixelBytes;
        for (uint8_t* q = chunk; q < chunk + n * pixelBytes; q += pixelBytes) {
            const unsigned g = q[e + hi] * 256u;
            q[hi] = c.mixed[0][g + q[hi]];
            q[2 * e + hi] = c.mixed[1][g + q[2 * e + hi]];
        }
        mapper.apply(chunk, n * pixelBytes);
    }
}

/// The composed colour step with saturation, computed by the saturation rule in vector
/// registers where the table follows it; the last pixels of a row by the tables.
template <bool Wide> void computedColour(uint8_t* p, size_t pixels, const ComposedColour& c) {
    hx::algorithms::SaturationStep step;
    for (int k = 0; k < 3; ++k) {
        step.gain[k] = c.builtGain[k];
        step.tone[k] = c.builtTone[k];
        step.low[k] = c.low[k];
    }
    step.saturation = c.saturationRule;
    step.wide = Wide;
    const size_t done = hx::algorithms::saturatePixels(p, pixels, step);
    composedColour<Wide>(p + (Wide ? 6 : 3) * done, pixels - done, c);
}

/// This thread's composed tables, made on first use; null when memory is short.
ComposedColour* composedTables() {
    thread_local std::unique_ptr<ComposedColour> tables(new (std::nothrow) ComposedColour);
    return tables.get();
}

using ColourKernel = void (*)(uint8_t*, size_t, const ColourTables&);

template <size_t... M>
constexpr std::array<ColourKernel, sizeof...(M)> kernels8(std::index_sequence<M...>) {
    return {&colour8<static_cast<unsigned>(M)>...};
}
template <size_t... M>
constexpr std::array<ColourKernel, sizeof...(M)> kernels16(std::index_sequence<M...>) {
    return {&colour16<static_cast<unsigned>(M)>...};
}

/// One specialised loop per step mask (entry 0 is never used: no step, no pass).
constexpr auto kColour8 = kernels8(std::make_index_sequence<16>());
constexpr auto kColour16 = kernels16(std::make_index_sequence<16>());

/// Images from this many pixels on are processed by two threads; below, starting a thread costs
/// more than it saves. A VGA frame is well inside one thread's share of its bus time, so it
/// stays on the converting thread and spends no processor time on thread start-up.
constexpr size_t kParallelPixels = size_t{1} << 19;

/// Threads that convert one frame: 0 as the frame's size suits, else 1 or 2.
std::atomic<int> gConversionThreads{0};
/// Whether cropped colour frames take the one-pass chain over bands of rows.
std::atomic<bool> gBandedChain{true};

/// Runs body(from, to) over [0, n): when `parallel`, the upper half on a helper thread while
/// the calling thread does the lower half. Without a helper thread it all runs here.
template <class Body> void runSplit(bool parallel, size_t n, Body&& body) {
    static const bool twoCores = std::thread::hardware_concurrency() >= 2;
    const int threads = gConversionThreads.load(std::memory_order_relaxed);
    if (threads == 1) parallel = false;
    if (threads == 2) parallel = true;
    if (!parallel || (!twoCores && threads != 2) || n < 2) {
        body(size_t{0}, n);
        return;
    }
    const size_t half = n / 2;
    std::thread helper;
    try {
        helper = std::thread([&body, half, n] { body(half, n); });
    } catch (...) {
        body(half, n);
    }
    body(size_t{0}, half);
    if (helper.joinable()) helper.join();
}

/// Splits a range of n pixels.
template <class Body> void splitWork(size_t n, Body&& body) {
    runSplit(n >= kParallelPixels, n, std::forward<Body>(body));
}

/// Reads the colour step's live tables and its mask of active steps (settings lock held).
/// Returns 0, or -3 when an active step has no tables.
int readColourTables(const SoftWareValue* s, ColourTables& t, unsigned& mask) {
    mask = 0;
    // Settings the camera does not offer count as neutral.
    for (int c = 0; c < 3; ++c) {
        if (s[kSwGainRed + c].enabled && s[kSwGainRed + c].value != 64) mask |= kStepGain;
        if (s[kSwGamma0 + c].value != 100) mask |= kStepGamma;
        t.gain[c] = s[kSwGainRed + c].table;
        t.gamma[c] = s[kSwGamma0 + c].table;
    }
    if (s[kSwSaturation].enabled && s[kSwSaturation].value != 100) mask |= kStepSaturation;
    if (s[kSwContrast].value != 128) mask |= kStepContrast;
    t.saturation = s[kSwSaturation].table;
    t.contrast = s[kSwContrast].table;
    return 0;
}

/// Checks the tables of the active steps and composes the gamma-contrast pair; -3 when an
/// active step has no tables.
int completeColourTables(ColourTables& t, unsigned mask) {
    if ((mask & kStepGain) && (!t.gain[0] || !t.gain[1] || !t.gain[2])) return -3;
    if ((mask & kStepGamma) && (!t.gamma[0] || !t.gamma[1] || !t.gamma[2])) return -3;
    if ((mask & kStepSaturation) && !t.saturation) return -3;
    if ((mask & kStepContrast) && !t.contrast) return -3;
    if ((mask & kStepTone) == kStepTone)
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v) t.toned[c][v] = t.contrast[t.gamma[c][v]];
    return 0;
}

using ComposedKernel = void (*)(uint8_t*, size_t, const ComposedColour&);

/// The composed loop for the tables in c and the sample width.
ComposedKernel composedKernel(const ComposedColour& c, bool wide) {
    if (c.saturation && c.saturationRule >= 0 && hx::algorithms::vectorSaturation())
        return wide ? computedColour<true> : computedColour<false>;
    // Without saturation every byte has its own table: the byte lookups, vector or portable.
    if (!c.saturation) return wide ? composedColourVector<true> : composedColourVector<false>;
    // With saturation, the one-by-one loop over 3-byte pixels is faster than splitting it.
    if (hx::algorithms::vectorLookups() && wide) return composedColourVector<true>;
    return wide ? composedColour<true> : composedColour<false>;
}

/// Rows of a band: about 192 KiB of demosaiced pixels, so that a band stays in the second-level
/// cache while every step passes over it.
int bandRows(size_t rowBytes) {
    const size_t rows = (size_t{192} << 10) / (rowBytes ? rowBytes : 1);
    return static_cast<int>(rows < 2 ? 2 : (rows > 64 ? 64 : rows));
}

} // namespace

void CamBayer::setConversionThreads(int threads) {
    gConversionThreads = threads == 1 || threads == 2 ? threads : 0;
}

void CamBayer::setBandedChain(bool on) {
    gBandedChain = on;
}

/// The chain of a cropped colour frame in one pass over bands of rows: each band is demosaiced
/// into a buffer that stays in the cache, flat-fielded, coloured and counted there, and written
/// once into its flipped place in out; only the level stretch, which needs the whole frame's
/// histogram, passes over the finished image again. The results are those of the step-by-step
/// chain. False, with nothing written, when this frame needs the step-by-step chain.
bool CamBayer::fusedColourChain(_ezImage* rawImage, _ezImage* image, int bayer, int flipCode,
                                bool enhance) {
    const int width = rawImage->width, height = rawImage->height, depth = rawImage->depth;
    const int w = width - 8, h = height - 8;
    if (w < 2 || h < 1 || bayer < 1 || bayer > 4 || image->channels != 3) return false;
    if (depth == 16 &&
        ((reinterpret_cast<uintptr_t>(rawImage->data) | reinterpret_cast<uintptr_t>(image->data)) &
         1))
        return false;
    ComposedColour* composed = composedTables();
    if (!composed) return false;

    // The colour step's tables, as _colr_image_process takes them.
    ColourTables t{};
    unsigned mask = 0;
    {
        Lock lock(settingsLock);
        readColourTables(software, t, mask);
    }
    ComposedKernel kernel = nullptr;
    if (mask != 0 && completeColourTables(t, mask) == 0) {
        composeColour(mask, t, *composed);
        kernel = composedKernel(*composed, depth == 16);
    }

    const size_t pixelBytes = depth == 16 ? 6 : 3;
    const size_t rowBytes = static_cast<size_t>(width) * pixelBytes;
    const size_t outRow = static_cast<size_t>(w) * pixelBytes;
    const int rows = bandRows(rowBytes);
    const bool parallel = static_cast<size_t>(w) * h >= kParallelPixels;
    const bool mirror = (flipCode & 1) && w > 1, upsideDown = (flipCode & 2) && h > 1;
    // A mirrored row is reversed into a row after the band, which stays in the first-level
    // cache, and copied from there: the copy writes whole lines of out, which the reversal's
    // unaligned vector stores would first have to read from memory.
    const size_t bandBytes = static_cast<size_t>(rows) * rowBytes;
    std::unique_ptr<unsigned char[]> buffers[2];
    for (auto& b : buffers) {
        b.reset(new (std::nothrow) unsigned char[bandBytes + (mirror ? outRow : 0)]);
        if (!b) return false;
    }

    // From here on out is written: the header of the cropped image first, as the crop leaves it.
    image->decoded = 1;
    ezInitImageHeader(image, w, h, 3, depth, image->headerSize, image->data, image->resolution, 1);
    const _ezImage* work = flatField.load() ? flatFieldFor(w, h, 3) : nullptr;
    carryFrameInfo(rawImage, image, flipCode);
    const bool counting = histogram.load();
    // The tone steps leave the last two pixels of the finished image: find them before the flip.
    const int keptRow = upsideDown ? 0 : h - 1;
    const size_t keptAt = (mirror ? 0 : static_cast<size_t>(w) - 2) * pixelBytes;
    // An image of two pixels or fewer has none to colour.
    if (static_cast<size_t>(w) * h <= 2) kernel = nullptr;

    hx::algorithms::HistogramCounts counts[2];
    auto bands = [&](size_t first, size_t last) {
        const int part = first == 0 ? 0 : 1;
        unsigned char* buffer = buffers[part].get();
        for (int top = static_cast<int>(first); top < static_cast<int>(last); top += rows) {
            const int n = std::min(rows, static_cast<int>(last) - top);
            hx::algorithms::decodeRawRows(rawImage, bayer, enhance, top + 4, top + 4 + n, buffer);
            for (int k = 0; k < n; ++k) {
                const int y = top + k; // row of the cropped image before the flip
                unsigned char* row = buffer + k * rowBytes + 4 * pixelBytes;
                if (work) {
                    _ezImage frameRow = *image, referenceRow = *work;
                    frameRow.height = referenceRow.height = 1;
                    frameRow.data = row;
                    referenceRow.data = work->data + static_cast<size_t>(y) * w * work->channels;
                    __flat_field(&frameRow, &referenceRow);
                }
                if (kernel) {
                    unsigned char kept[12];
                    const bool protect = y == keptRow;
                    if (protect) std::memcpy(kept, row + keptAt, 2 * pixelBytes);
                    kernel(row, static_cast<size_t>(w), *composed);
                    if (protect) std::memcpy(row + keptAt, kept, 2 * pixelBytes);
                }
                if (counting) hx::algorithms::histogramAdd(counts[part], row, w, 3, depth);
                unsigned char* to = image->data + (upsideDown ? h - 1 - y : y) * outRow;
                if (mirror) {
                    unsigned char* reversed = buffer + bandBytes;
                    hx::algorithms::mirrorCopy(reversed, row, w, pixelBytes);
                    std::memcpy(to, reversed, outRow);
                } else {
                    std::memcpy(to, row, outRow);
                }
            }
        }
    };
    runSplit(parallel, static_cast<size_t>(h), bands);
    if (counting) {
        hx::algorithms::histogramMerge(counts[0], counts[1]);
        hx::algorithms::histogramFinish(counts[0], 3, image->data + outRow * h);
    }
    return true;
}

/// Turns one raw frame record into the finished image in out: publish pending tables, demosaic,
/// crop the unwritten border, flat field, flip, tone and colour, histogram, stretch, and serve a
/// pending deferred snapshot. Conversions of one camera run one at a time, whichever threads
/// ask for them. Returns 0; -2 for a missing buffer or a raw header that is not a frame record.
int CamBayer::_raw2image(unsigned char* raw, unsigned char* out, bool crop) {
    if (!raw || !out || raw == out) return -2;
    auto* rawImage = reinterpret_cast<_ezImage*>(raw);
    auto* image = reinterpret_cast<_ezImage*>(out);
    if (std::memcmp(rawImage->magic, "QREZ", 4) != 0) return -2;
    const int width = rawImage->width, height = rawImage->height, depth = rawImage->depth;
    const int headerSize = rawImage->headerSize;
    const unsigned char resolutionIndex = rawImage->resolution, decoded = rawImage->decoded;
    if ((depth != 8 && depth != 16) || headerSize < static_cast<int>(sizeof(_ezImage))) return -2;
    std::lock_guard conversion(conversionLock);

    // 1. Publish what the setters prepared since the last frame.
    {
        Lock lock(settingsLock);
        _swap_software(&software[kSwGamma0], kCurveTableSize);
        _swap_software(&software[kSwContrast], kCurveTableSize);
        _swap_software(&software[kSwStretch0], kCurveTableSize);
        if (software[kSwSaturation].enabled) {
            _swap_software(&software[kSwSaturation], kSaturationTableSize);
            for (int c = 0; c < 3; ++c) _swap_software(&software[kSwGainRed + c], kCurveTableSize);
            _swap_software(&software[kSwStretch0 + 1], kCurveTableSize);
            _swap_software(&software[kSwStretch0 + 2], kCurveTableSize);
            _swap_software(&software[kSwGamma0 + 1], kCurveTableSize);
            _swap_software(&software[kSwGamma0 + 2], kCurveTableSize);
        }
    }

    // 2, 3. Both headers; out also carries the frame's capture metadata.
    ezInitImageHeader(rawImage, width, height, 1, depth, headerSize, raw + headerSize,
                      resolutionIndex, decoded);
    std::memmove(out, raw, sizeof(_ezImage));
    ezInitImageHeader(image, width, height, _channles(), depth, headerSize, out + headerSize,
                      resolutionIndex, decoded);

    // 4 to 9. Demosaic, border, flat field, flip, tone and colour, histogram: for a cropped
    // colour frame in one pass over bands of rows, else step by step.
    const int bayer = _bayer();
    const bool enhance = colorEnhancement.load();
    const int flipCode = flip.load();
    const bool fused = crop && bayer != 0 && !monochrome.load() && gBandedChain.load() &&
                       fusedColourChain(rawImage, image, bayer, flipCode, enhance);
    if (!fused) {
        if (enhance)
            __decode_rawdata(rawImage, image, bayer);
        else
            __decode_rawdatafast(rawImage, image, bayer);
        if (crop && width > 8 && height > 8) __roi(image, 4, 4, width - 8, height - 8);
        if (flatField.load()) _image_fladfield(image);
        __flip(image, flipCode);
        carryFrameInfo(rawImage, image, flipCode);
        if (bayer == 0)
            _gray_image_process(image);
        else if (monochrome.load())
            _mono_image_process(image);
        else
            _colr_image_process(image);
        if (histogram.load()) __calc_histogram(image);
    }

    // 10, 11. Level stretch.
    bool stretch = true;
    {
        Lock lock(settingsLock);
        const SoftWareValue* s = &software[kSwStretch0];
        const bool a0 = s[0].value != 0, a1 = s[1].value != 0, a2 = s[2].value != 0;
        if (a0 && a1 && a2) {
            const int low = histStatistic(image, kHistLumaLow),
                      high = histStatistic(image, kHistLumaHigh);
            for (int c = 0; c < 3; ++c) __matrix_stretch(low, high, s[c].table, kCurveTableSize);
        } else if (a0 || a1 || a2) {
            const bool automatic[3] = {a0, a1, a2};
            for (int c = 0; c < 3 && c < image->channels; ++c) {
                if (!automatic[c]) continue;
                const int base = image->channels == 3 ? histChannelBase(c) : 0;
                __matrix_stretch(histStatistic(image, base + 256), histStatistic(image, base + 257),
                                 s[c].table, kCurveTableSize);
            }
        } else {
            stretch = false;
            for (int c = 0; c < 3; ++c)
                if (s[c].min != 0 || s[c].max != 255) stretch = true;
        }
    }
    // The one-pass chain writes an upside-down image from its end to its start; every other
    // path ends at the image's end.
    if (stretch) stretchImage(image, fused && (flipCode & 2) && image->height > 1);

    // 12. A pending deferred snapshot.
    serveDeferredSave(rawImage, image);
    return 0;
}

/// Tone step of a one-channel image: contrast then gamma for 8 bits; for 16 bits the high byte
/// goes through gamma then contrast and the low byte through contrast. Skipped when neutral.
int CamBayer::_gray_image_process(_ezImage* image) {
    if (!usable(image)) return -2;
    const uint8_t *gamma = nullptr, *contrast = nullptr;
    {
        Lock lock(settingsLock);
        if (software[kSwGamma0].value == 100 && software[kSwContrast].value == 128) return 0;
        gamma = software[kSwGamma0].table;
        contrast = software[kSwContrast].table;
    }
    if (!gamma || !contrast) return -3;
    uint8_t* data = image->data;
    const bool wide = image->depth == 16;
    splitWork(toneCount(image), [=](size_t from, size_t to) {
        if (!wide) {
            for (size_t i = from; i < to; ++i) data[i] = gamma[contrast[data[i]]];
            return;
        }
        for (uint8_t* p = data + 2 * from; p < data + 2 * to; p += 2) {
            p[0] = contrast[p[0]];
            p[1] = contrast[gamma[p[1]]];
        }
    });
    return 0;
}

/// Grey rendering of a colour image: every pixel takes one grey sample (green for 8 bits,
/// sample 0 for 16 bits), through contrast and gamma unless both are neutral.
int CamBayer::_mono_image_process(_ezImage* image) {
    if (!usable(image) || image->channels != 3) return -2;
    const uint8_t *gamma = nullptr, *contrast = nullptr;
    bool neutral = true;
    {
        Lock lock(settingsLock);
        neutral = software[kSwGamma0].value == 100 && software[kSwContrast].value == 128;
        gamma = software[kSwGamma0].table;
        contrast = software[kSwContrast].table;
    }
    if (!neutral && (!gamma || !contrast)) return -3;
    const size_t n = toneCount(image);
    uint8_t* p = image->data;
    if (image->depth == 8) {
        for (size_t i = 0; i < n; ++i, p += 3) {
            uint8_t v = p[1];
            if (!neutral) v = gamma[contrast[v]];
            p[0] = p[1] = p[2] = v;
        }
    } else {
        for (size_t i = 0; i < n; ++i, p += 6) {
            uint8_t l = p[0], h = p[1];
            if (!neutral) {
                h = contrast[gamma[h]];
                l = contrast[l];
            }
            p[0] = p[2] = p[4] = l;
            p[1] = p[3] = p[5] = h;
        }
    }
    return 0;
}

/// Tone and colour of a colour image: gain, saturation, gamma, contrast, each only when its
/// setting is not neutral, through the loop specialised for that combination.
int CamBayer::_colr_image_process(_ezImage* image) {
    if (!usable(image) || image->channels != 3) return -2;
    ColourTables t{};
    unsigned mask = 0;
    {
        Lock lock(settingsLock);
        readColourTables(software, t, mask);
    }
    if (mask == 0) return 0;
    // A step whose tables the camera does not have cannot run.
    if (completeColourTables(t, mask) != 0) return -3;
    const size_t pixelBytes = image->depth == 8 ? 3 : 6;
    uint8_t* data = image->data;
    if (ComposedColour* c = composedTables()) {
        composeColour(mask, t, *c);
        const ComposedKernel kernel = composedKernel(*c, image->depth == 16);
        splitWork(toneCount(image), [c, kernel, pixelBytes, data](size_t from, size_t to) {
            kernel(data + from * pixelBytes, to - from, *c);
        });
        return 0;
    }
    const ColourKernel kernel = (image->depth == 8 ? kColour8 : kColour16)[mask];
    splitWork(toneCount(image), [&t, kernel, pixelBytes, data](size_t from, size_t to) {
        kernel(data + from * pixelBytes, to - from, t);
    });
    return 0;
}

/// Level stretch of every pixel through the stretch tables. A one-channel 16-bit image in manual
/// mode uses a 12-bit table built from the stretch bounds, so that the low bits survive.
int CamBayer::_image_stretch(_ezImage* image) {
    return stretchImage(image, true);
}

int CamBayer::stretchImage(_ezImage* image, bool forward) {
    if (!usable(image) || (image->channels != 1 && image->channels != 3)) return -2;
    const uint8_t* table[3] = {};
    bool automatic = false;
    int low = 0, high = 255;
    {
        Lock lock(settingsLock);
        for (int c = 0; c < 3; ++c) table[c] = software[kSwStretch0 + c].table;
        automatic = software[kSwStretch0].value != 0;
        low = software[kSwStretch0].min;
        high = software[kSwStretch0].max;
    }
    const int channels = image->channels;
    for (int c = 0; c < channels; ++c)
        if (!table[c]) return -3;
    uint8_t* data = image->data;
    const uint8_t *t0 = table[0], *t1 = table[1], *t2 = table[2];

    if (channels == 1 && image->depth == 16 && !automatic) {
        uint16_t wide[4096];
        const int from = 16 * low, to = 16 * high;
        for (int i = 0; i < 4096; ++i) {
            if (i < from)
                wide[i] = 0;
            else if (i < to)
                wide[i] = static_cast<uint16_t>((i - from) * 4095 / (to - from));
            else
                wide[i] = 4095;
        }
        splitWork(pixelCount(image), [&wide, data](size_t first, size_t last) {
            for (uint8_t* p = data + 2 * first; p < data + 2 * last; p += 2) {
                const unsigned r = wide[(p[0] | (p[1] << 8)) / 16] * 16u;
                p[0] = static_cast<uint8_t>(r);
                p[1] = static_cast<uint8_t>(r >> 8);
            }
        });
        return 0;
    }
    // 8-bit samples are mapped whole, 16-bit samples by their high byte.
    const bool wide = image->depth == 16;
    const size_t pixelBytes = static_cast<size_t>(channels) * (wide ? 2 : 1);
    hx::algorithms::ByteLayout layout;
    if (channels == 1)
        layout = wide ? hx::algorithms::ByteLayout{2, {nullptr, t0}}
                      : hx::algorithms::ByteLayout{1, {t0}};
    else
        layout = wide ? hx::algorithms::ByteLayout{6, {nullptr, t0, nullptr, t1, nullptr, t2}}
                      : hx::algorithms::ByteLayout{3, {t0, t1, t2}};
    const hx::algorithms::ByteMapper mapper(layout);
    splitWork(pixelCount(image), [&mapper, data, pixelBytes, forward](size_t from, size_t to) {
        if (forward) {
            mapper.apply(data + from * pixelBytes, (to - from) * pixelBytes);
            return;
        }
        constexpr size_t kChunk = 16384; // pixels
        for (size_t end = to; end > from;) {
            const size_t start = end - from > kChunk ? end - kChunk : from;
            mapper.apply(data + start * pixelBytes, (end - start) * pixelBytes);
            end = start;
        }
    });
    return 0;
}

/// Flat-field correction against the reference taken by `_calc_flat_field`, through a working
/// copy that is rebuilt when the reference changes and resized to the frame when its size
/// differs. Allocation failures skip the correction for this frame.
int CamBayer::_image_fladfield(_ezImage* image) {
    if (!usable(image)) return -2;
    bool reference = false;
    {
        Lock lock(settingsLock);
        reference = flatFieldImage != nullptr;
    }
    if (!reference) return 0;
    _ezImage* work = flatFieldFor(image->width, image->height, image->channels);
    if (!work) return flatFieldWork && flatFieldWork->channels != image->channels ? -2 : -3;
    // Every sample is corrected on its own: large images in two bands of rows.
    runSplit(pixelCount(image) >= kParallelPixels, image->height,
             [image, work](size_t top, size_t bottom) {
                 _ezImage frameBand = *image, referenceBand = *work;
                 frameBand.height = referenceBand.height = static_cast<uint16_t>(bottom - top);
                 frameBand.data += top * image->stride;
                 referenceBand.data += top * work->stride;
                 __flat_field(&frameBand, &referenceBand);
             });
    return 0;
}

/// The flat-field working copy for frames of width x height: rebuilt from the reference when
/// that changed or the frame's size differs, then resized to the frame, always from the
/// reference itself (a copy resized again from an earlier resized copy would lose detail with
/// every change of size). Null when there is no reference, memory is short or the channels
/// differ from the frame's.
_ezImage* CamBayer::flatFieldFor(int width, int height, int channels) {
    {
        Lock lock(settingsLock);
        if (!flatFieldImage) return nullptr;
        const bool sized =
            flatFieldWork && flatFieldWork->width == width && flatFieldWork->height == height;
        if (flatFieldReady.load() || !sized) {
            ezReleaseImage(&flatFieldWork);
            _ezImage* ref = flatFieldImage;
            flatFieldWork = ezCreateImage(ref->width, ref->height, ref->depth, ref->channels,
                                          sizeof(_ezImage), ref->resolution);
            if (!flatFieldWork) return nullptr;
            ezCopyImage(flatFieldWork, ref);
            flatFieldReady = false;
        }
    }
    // The working copy belongs to the conversion in progress from here on.
    if (flatFieldWork->width != width || flatFieldWork->height != height) {
        _ezImage* previous = flatFieldWork;
        _ezImage* resized = ezCreateImage(width, height, previous->depth, previous->channels,
                                          sizeof(_ezImage), previous->resolution);
        if (!resized) return nullptr;
        resized->bayer = previous->bayer;
        const int p = previous->channels;
        if (previous->width == width + 8 && previous->height == height + 8) {
            // The frame lost the demosaic border: take the matching interior, not a stretched
            // copy of the whole reference.
            const size_t row = static_cast<size_t>(width) * p;
            const size_t from = static_cast<size_t>(previous->width) * p;
            for (int y = 0; y < height; ++y)
                std::memcpy(resized->data + y * row, previous->data + (y + 4) * from + 4 * p, row);
        } else {
            __resize(previous, resized);
        }
        __calc_avg(resized, 0);
        {
            Lock lock(settingsLock);
            flatFieldWork = resized;
        }
        ezReleaseImage(&previous);
    }
    if (flatFieldWork->channels != channels) return nullptr;
    return flatFieldWork;
}

/// Stamps the camera's capture settings into a record that is about to be written as RAW.
int CamBayer::_init_save_image(_ezImage* raw) {
    if (!raw) return -2;
    Lock lock(settingsLock);
    raw->bayer = static_cast<uint8_t>(_bayer());
    raw->clock =
        pixelClock.table && pixelClock.value < pixelClock.max ? clkItem(pixelClock.value).code : 0;
    raw->gain = static_cast<uint16_t>(_analog_gain());
    raw->black = static_cast<uint16_t>(_blacklevel());
    raw->productId = static_cast<uint16_t>(_idproduct());
    raw->vendorId = static_cast<uint16_t>(_idvendor());
    raw->deviceRelease = static_cast<uint16_t>(_bcddevice());
    return 0;
}
