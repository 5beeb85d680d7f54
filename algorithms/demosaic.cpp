// Raw decoding: colour-correction table, bilinear demosaic with a portable and an AVX2 path,
// and the YUV 4:2:2 converter.
#include "algorithms/demosaic.h"

#include "algorithms/demosaic_internal.h"
#include "algorithms/simd.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

// The table must follow the plain double-precision formula to the bit, also when the build
// enables fused multiply-add instructions.
#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#else
#pragma GCC optimize("fp-contract=off")
#endif

unsigned char* pCCM = nullptr;
double m00 = 0, m01 = 0, m02 = 0, m10 = 0, m11 = 0, m12 = 0, m20 = 0, m21 = 0, m22 = 0;

namespace {

using hx::algorithms::DemosaicPath;

/// Bytes of the colour-correction table.
constexpr size_t kCcmBytes = size_t{256} * 256 * 256 * 3;
/// The vector lookups read 4 bytes per entry, so the block has a few spare bytes at its end.
constexpr size_t kCcmAlloc = kCcmBytes + 16;

std::atomic<DemosaicPath> gPath{DemosaicPath::Auto};

// ---- colour-correction table --------------------------------------------------------------

/// Per-input coefficients of one output channel: the diagonal gain and the two subtracted
/// terms, faded towards identity from 180 to 255 by the channel's own input value. The
/// diagonal fades by the exact difference diag - 1, so at 255 it is exactly 1 and a channel at
/// full scale passes unchanged.
struct FadedRow {
    double diag[256];
    double off1[256];
    double off2[256];
};

void fadeRow(FadedRow& row, double diag, double off1, double off2) {
    for (int x = 0; x < 256; ++x) {
        if (x / 180 == 1) {
            const int d = x - 180;
            row.diag[x] = diag - (diag - 1) * d / 75;
            row.off1[x] = off1 - off1 * d / 75;
            row.off2[x] = off2 - off2 * d / 75;
        } else {
            row.diag[x] = diag;
            row.off1[x] = off1;
            row.off2[x] = off2;
        }
    }
}

/// Coefficient rows for blue (inputs green, red), green (blue, red) and red (blue, green).
struct CcmRows {
    FadedRow blue, green, red;
};

void buildRows(CcmRows& rows) {
    fadeRow(rows.blue, m00, m01, m02);
    fadeRow(rows.green, m11, m10, m12);
    fadeRow(rows.red, m22, m20, m21);
}

/// The rows of the table (18 KiB, kept off the stack) and the coefficients that compute its
/// entries directly. Both follow from the fixed matrix alone: they are built once, before the
/// first table, and never written again, so decodes may read them at any time after
/// `gDirectReady`.
CcmRows gRows;
hx::algorithms::detail::DirectCcm gDirect, gDirectWide;
std::atomic<bool> gDirectReady{false};

/// The colour-correction table is shared: a decode holds its own reference for the whole frame,
/// so the table outlives a shutdown that runs meanwhile. `gTable` is the table that new decodes
/// take (null after __exit_algorithms); `gLastTable` finds a table that decodes still hold, so
/// that the next start-up takes it back instead of building another. Both are guarded by
/// gTableMutex; gBuildMutex serialises building and releasing.
std::mutex gTableMutex;
std::mutex gBuildMutex;
std::shared_ptr<unsigned char> gTable;
std::weak_ptr<unsigned char> gLastTable;

/// The table a decode may use now (null when there is none); held by the caller while it reads.
std::shared_ptr<const unsigned char> colourTable() {
    std::lock_guard lock(gTableMutex);
    return gTable;
}

inline unsigned char clampTrunc(double v) {
    const int i = static_cast<int>(v); // truncation towards zero
    return static_cast<unsigned char>(i < 0 ? 0 : (i > 255 ? 255 : i));
}

void buildDirect(const CcmRows& rows, hx::algorithms::detail::DirectCcm& c) {
    const double diag[3] = {m00, m11, m22}, off1[3] = {m01, m10, m20}, off2[3] = {m02, m12, m21};
    for (int k = 0; k < 3; ++k) {
        c.k1[k] = static_cast<float>(diag[k]);
        c.k2[k] = static_cast<float>((diag[k] - 1) / 75);
        c.k3[k] = static_cast<float>(off1[k] / 75);
        c.k4[k] = static_cast<float>(off2[k] / 75);
        c.n3[k] = static_cast<float>(off1[k]);
        c.n4[k] = static_cast<float>(off2[k]);
    }
    // Whether a channel at full scale gives 255 whatever the other two are, as the faded
    // coefficients promise (exactly or within rounding); checked with the table's arithmetic.
    const FadedRow* channel[3] = {&rows.blue, &rows.green, &rows.red};
    c.fullScale = true;
    for (int k = 0; k < 3 && c.fullScale; ++k) {
        const FadedRow& f = *channel[k];
        for (int y = 0; y < 256 && c.fullScale; ++y)
            for (int z = 0; z < 256; ++z)
                if (clampTrunc(f.diag[255] * 255 - f.off1[255] * y - f.off2[255] * z) != 255) {
                    c.fullScale = false;
                    break;
                }
    }
}

/// Fills the table entries of blue inputs [b0, b1). Every product below is the same double
/// operation as in the plain formula, so the entries are bit-identical to it; only the products
/// that do not depend on the inner index are hoisted.
void fillBlueRange(const CcmRows& rows, unsigned char* table, int b0, int b1, bool avx2) {
    double redDiag[256], redOffB[256], redBase[256], blueOffR[256], greenOffR[256];
    for (int r = 0; r < 256; ++r) redDiag[r] = rows.red.diag[r] * r;
    for (int b = b0; b < b1; ++b) {
        const double blueDiag = rows.blue.diag[b] * b;
        for (int r = 0; r < 256; ++r) {
            blueOffR[r] = rows.blue.off2[b] * r;
            redOffB[r] = rows.red.off1[r] * b;
            redBase[r] = redDiag[r] - redOffB[r];
        }
        for (int g = 0; g < 256; ++g) {
            const double blueHead = blueDiag - rows.blue.off1[b] * g;
            const double greenHead = rows.green.diag[g] * g - rows.green.off1[g] * b;
            unsigned char* e = table + ((size_t(b) << 16) | (size_t(g) << 8)) * 3;
            if (avx2) {
                hx::algorithms::detail::ccmRowAvx2(e, blueHead, blueOffR, greenHead,
                                                   rows.green.off2[g], redBase, rows.red.off2, g);
                continue;
            }
            for (int r = 0; r < 256; ++r) greenOffR[r] = rows.green.off2[g] * r;
            for (int r = 0; r < 256; ++r) {
                e[3 * r + 0] = clampTrunc(blueHead - blueOffR[r]);
                e[3 * r + 1] = clampTrunc(greenHead - greenOffR[r]);
                e[3 * r + 2] = clampTrunc(redBase[r] - rows.red.off2[r] * g);
            }
        }
    }
}

// ---- demosaic -----------------------------------------------------------------------------

/// Validated geometry of one demosaic call.
struct Frame {
    int width = 0;
    int height = 0;
    int depth = 0;
};

/// Checks the records for codes 1 to 4: one-channel raw, three-channel out of the same size
/// and depth, enough rows and columns for the 3 x 3 window (a green site at column 1 needs
/// column 2, so at least 3 columns).
bool mosaicFrame(const _ezImage* raw, const _ezImage* out, Frame& f) {
    if (raw->channels != 1 || out->channels != 3) return false;
    if (raw->depth != 8 && raw->depth != 16) return false;
    if (out->depth != raw->depth || out->width != raw->width || out->height != raw->height)
        return false;
    if (raw->height < 4 || raw->width < 3) return false;
    // 16-bit samples are read and written as such; a record at an odd address is refused.
    if (raw->depth == 16 &&
        ((reinterpret_cast<uintptr_t>(raw->data) | reinterpret_cast<uintptr_t>(out->data)) & 1))
        return false;
    f.width = raw->width;
    f.height = raw->height;
    f.depth = raw->depth;
    return true;
}

/// Code 0: plain copy of width x height samples, bounded by both records' pixel blocks.
void copyMono(const _ezImage* raw, _ezImage* out) {
    const size_t bytes = size_t(raw->width) * raw->height * raw->depth / 8;
    if (bytes < 1) return;
    const size_t rawBytes = size_t(raw->width) * raw->height * raw->channels * raw->depth / 8;
    const size_t outBytes = size_t(out->width) * out->height * out->channels * out->depth / 8;
    if (bytes > rawBytes || bytes > outBytes) return;
    std::memmove(out->data, raw->data, bytes);
}

/// Row colour (red or blue) and green-first flag of output row y.
struct RowPlan {
    bool red;
    bool greenFirst;
};

RowPlan planRow(int bayer, int y) {
    RowPlan p{bayer == 1 || bayer == 2, bayer == 2 || bayer == 4};
    if ((y - 1) & 1) {
        p.red = !p.red;
        p.greenFirst = !p.greenFirst;
    }
    return p;
}

/// Centre column of the first pair and number of pairs of a row.
inline void pairRange(int width, bool greenFirst, int& x0, int& pairs) {
    x0 = greenFirst ? 2 : 1;
    pairs = x0 <= width - 3 ? (width - 3 - x0) / 2 + 1 : 0;
}

/// Correction of one interpolated pixel through the table (high bytes for 16-bit samples).
inline void correctPixel(uint8_t* p, const unsigned char* table) {
    const unsigned char* e = table + ((size_t(p[2]) << 16) | (size_t(p[1]) << 8) | p[0]) * 3;
    p[2] = e[0];
    p[1] = e[1];
    p[0] = e[2];
}
inline void correctPixel(uint16_t* p, const unsigned char* table) {
    const unsigned char* e =
        table + ((size_t(p[2] >> 8) << 16) | (size_t(p[1] >> 8) << 8) | (p[0] >> 8)) * 3;
    p[2] = uint16_t((e[0] << 8) | (p[2] & 0xFF));
    p[1] = uint16_t((e[1] << 8) | (p[1] & 0xFF));
    p[0] = uint16_t((e[2] << 8) | (p[0] & 0xFF));
}

// ---- colour correction computed in plain code ------------------------------------------------
//
// The same single-precision form as the vector kernels, V = (k1 - k2 d) x - w (k3 y + k4 z),
// here with separate multiplies and adds (the file contracts nothing), in loops over planes of
// a block of pixels that the compiler vectorises for whatever the target offers. An entry is
// taken when V - e and V + e give the same clamped integer, else it is evaluated again in
// double precision with the table's own operations; a test runs all 16.7 million inputs
// through this form against the table.

/// Pixels of one block: its planes stay in the first-level cache.
constexpr int kPlainBlock = 64;
constexpr float kPlainMargin = 1.0f / 16384;

/// One block of pixels as planes: sample s of pixel i is sample[s][i] (as in the output
/// record), its input to the correction (the high byte of a 16-bit sample) key[s][i].
template <typename T> struct PlainBlock {
    /// Position of the key in a sample, and the bits of a sample that the correction keeps.
    static constexpr int kShift = sizeof(T) == 1 ? 0 : 8;
    static constexpr unsigned kLow = sizeof(T) == 1 ? 0 : 0xFF;
    alignas(16) T sample[3][kPlainBlock];
    alignas(16) int32_t key[3][kPlainBlock];
    alignas(16) float value[3][kPlainBlock];
    alignas(16) T out[3][kPlainBlock];
    alignas(16) int32_t retry[kPlainBlock];
};

/// Output channel k of a block from planes x (the channel's own input), y and z (the other
/// two): writes the corrected samples to out and returns nonzero when an entry of
/// the block needs the exact evaluation, those being marked in retry. Fade: some input of the
/// block is above 180 (else d = 0, w = 75 and a = k1 exactly, and the shorter sequence gives
/// the same bits). Top: some input is 255 and the table passes full scale unchanged. The
/// first channel of a block sets retry, the others add to it.
template <bool Fade, bool Top, bool First, typename T>
inline int32_t plainChannel(PlainBlock<T>& b, int x, int y, int z, int k,
                            const hx::algorithms::detail::DirectCcm& c) {
    const float k1 = c.k1[k], k2 = c.k2[k], k3 = c.k3[k], k4 = c.k4[k];
    const int32_t* xi = b.key[x];
    const float *xf = b.value[x], *yf = b.value[y], *zf = b.value[z];
    constexpr int shift = PlainBlock<T>::kShift;
    constexpr unsigned low = PlainBlock<T>::kLow;
    T* out = b.out[2 - k];
    const T* sample = b.sample[2 - k];
    int32_t any = 0;
    // Integer comparisons and selections of values only, so that the loop has no branches.
    for (int i = 0; i < kPlainBlock; ++i) {
        const float s = k3 * yf[i] + k4 * zf[i];
        float v;
        if constexpr (Fade) {
            const float d = static_cast<float>(xi[i] > 180 ? xi[i] - 180 : 0);
            const float w = 75.0f - d;
            const float a = k1 - k2 * d;
            v = a * xf[i] - w * s;
        } else {
            v = k1 * xf[i] - 75.0f * s;
        }
        // The override is merged into the integer results: a selection between float values
        // would leave a branch, as the conversions may not run where their value is unused.
        // Near 255 the corrected value is positive, so the merge cannot turn it negative.
        const int32_t top = Top && xi[i] == 255 ? 255 : 0;
        const int32_t below = static_cast<int32_t>(v - kPlainMargin) | top;
        const int32_t above = static_cast<int32_t>(v + kPlainMargin) | top;
        const unsigned corrected = above < 0 ? 0 : (above > 255 ? 255 : above);
        out[i] = T((corrected << shift) | (sample[i] & low));
        const int32_t differ = below ^ above;
        b.retry[i] = First ? differ : b.retry[i] | differ;
        any |= differ;
    }
    return any;
}

template <bool Fade, bool Top, typename T>
inline int32_t plainChannels(PlainBlock<T>& b, const hx::algorithms::detail::DirectCcm& c) {
    // Blue from (blue, green, red) = samples (2, 1, 0), green from (1, 2, 0), red (0, 2, 1).
    int32_t any = plainChannel<Fade, Top, true>(b, 2, 1, 0, 0, c);
    any |= plainChannel<Fade, Top, false>(b, 1, 2, 0, 1, c);
    return any | plainChannel<Fade, Top, false>(b, 0, 2, 1, 2, c);
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

/// Colour-corrects the first m pixels of a block whose samples are filled in and writes them
/// interleaved to px (high bytes replaced for 16-bit samples, low bytes kept).
template <typename T>
void correctBlock(PlainBlock<T>& b, int m, T* px, const hx::algorithms::detail::DirectCcm& c) {
    constexpr int shift = PlainBlock<T>::kShift;
    constexpr unsigned low = PlainBlock<T>::kLow;
    for (int s = 0; s < 3; ++s)
        for (int i = m; i < kPlainBlock; ++i) b.sample[s][i] = 0;
    int32_t top = 0;
    for (int s = 0; s < 3; ++s)
        for (int i = 0; i < kPlainBlock; ++i) {
            b.key[s][i] = b.sample[s][i] >> shift;
            b.value[s][i] = static_cast<float>(b.key[s][i]);
            top = b.key[s][i] > top ? b.key[s][i] : top;
        }
    int32_t any;
    if (top <= 180)
        any = plainChannels<false, false>(b, c);
    else if (top < 255 || !c.fullScale)
        any = plainChannels<true, false>(b, c);
    else
        any = plainChannels<true, true>(b, c);
    for (int i = 0; any && i < m; ++i) {
        if (!b.retry[i]) continue;
        unsigned char e[3];
        hx::algorithms::detail::exactEntry(b.key[2][i], b.key[1][i], b.key[0][i], e);
        for (int s = 0; s < 3; ++s)
            b.out[s][i] = T((unsigned(e[2 - s]) << shift) | (b.sample[s][i] & low));
    }
    for (int i = 0; i < m; ++i)
        for (int s = 0; s < 3; ++s) px[3 * i + s] = b.out[s][i];
}

/// Writes the first m pixels of a block interleaved to px, corrected through the table when
/// there is one (by the high bytes of 16-bit samples, whose low bytes stay).
template <typename T>
void writeBlock(const PlainBlock<T>& b, int m, T* px, const unsigned char* table) {
    constexpr int shift = PlainBlock<T>::kShift;
    constexpr unsigned low = PlainBlock<T>::kLow;
    if (!table) {
        for (int i = 0; i < m; ++i)
            for (int s = 0; s < 3; ++s) px[3 * i + s] = b.sample[s][i];
        return;
    }
    if constexpr (sizeof(T) == 1 && kLittleEndian) {
        // An entry's three bytes (blue, green, red) and the spare byte after them in one load,
        // reversed into a pixel and a zero byte, which the next pixel overwrites.
        for (int i = 0; i < m - 1; ++i) {
            const size_t key =
                (size_t(b.sample[2][i]) << 16) | (size_t(b.sample[1][i]) << 8) | b.sample[0][i];
            uint32_t e;
            std::memcpy(&e, table + key * 3, 4);
            e = __builtin_bswap32(e) >> 8;
            std::memcpy(px + 3 * i, &e, 4);
        }
        T* last = px + 3 * (m - 1);
        for (int s = 0; s < 3; ++s) last[s] = b.sample[s][m - 1];
        correctPixel(last, table);
        return;
    }
    for (int i = 0; i < m; ++i) {
        const unsigned s0 = b.sample[0][i], s1 = b.sample[1][i], s2 = b.sample[2][i];
        const size_t key = (size_t(s2 >> shift) << 16) | (size_t(s1 >> shift) << 8) | (s0 >> shift);
        const unsigned char* e = table + key * 3;
        px[3 * i] = T((unsigned(e[2]) << shift) | (s0 & low));
        px[3 * i + 1] = T((unsigned(e[1]) << shift) | (s1 & low));
        px[3 * i + 2] = T((unsigned(e[0]) << shift) | (s2 & low));
    }
}

/// Colour-corrects n interleaved pixels in place with the computed form.
template <typename T>
void correctPlain(T* px, size_t n, const hx::algorithms::detail::DirectCcm& c) {
    PlainBlock<T> b;
    for (size_t done = 0; done < n; done += kPlainBlock) {
        T* p = px + 3 * done;
        const int m = static_cast<int>(std::min<size_t>(kPlainBlock, n - done));
        for (int i = 0; i < m; ++i)
            for (int s = 0; s < 3; ++s) b.sample[s][i] = p[3 * i + s];
        correctBlock(b, m, p, c);
    }
}

/// Interpolates n pairs of a row, the first centred on column x of the rows up, mid and down,
/// into the planes own (the row colour), cross and green, with the pair formulas of
/// pairsPortable. Given a fixed count (`Fixed` > 0) and with its planes apart, the loop is
/// vectorised even by the compiler's cheapest cost model.
template <int Fixed, typename T>
inline void pairsToPlanes(const T* __restrict up, const T* __restrict mid, const T* __restrict down,
                          int x, int n, T* __restrict own, T* __restrict cross,
                          T* __restrict green) {
    up += x, mid += x, down += x;
    const int count = Fixed > 0 ? Fixed : n;
    for (int k = 0; k < count; ++k) {
        const int c = 2 * k;
        const unsigned vL = up[c - 1], vC = up[c], vR = up[c + 1], vRR = up[c + 2];
        const unsigned dL = down[c - 1], dC = down[c], dR = down[c + 1], dRR = down[c + 2];
        const unsigned mL = mid[c - 1], mC = mid[c], mR = mid[c + 1], mRR = mid[c + 2];
        own[c] = T(mC);
        green[c] = T((vC + mL + mR + dC + 2) >> 2);
        cross[c] = T((vL + vR + dL + dR + 2) >> 2);
        green[c + 1] = T((4 * mR + vC + vRR + dC + dRR) >> 3);
        own[c + 1] = T((mC + mRR + 1) >> 1);
        cross[c + 1] = T((vR + dR + 1) >> 1);
    }
}

/// Interpolates pairs [k0, k1) of a row (at most kPlainBlock / 2) into the planes of a block.
template <typename T>
void pairsToBlock(const T* up, const T* mid, const T* down, int x0, int k0, int k1, bool red,
                  PlainBlock<T>& b) {
    T* own = b.sample[red ? 0 : 2];
    T* cross = b.sample[red ? 2 : 0];
    const int x = x0 + 2 * k0;
    if (k1 - k0 == kPlainBlock / 2)
        pairsToPlanes<kPlainBlock / 2>(up, mid, down, x, 0, own, cross, b.sample[1]);
    else
        pairsToPlanes<0>(up, mid, down, x, k1 - k0, own, cross, b.sample[1]);
}

/// Interpolates pairs [k0, k1) of a row with the pair formulas (the portable inner loop).
template <typename T>
void pairsPortable(const T* up, const T* mid, const T* down, T* dst, int x0, int k0, int k1,
                   bool red) {
    const int rs = red ? 0 : 2; // sample of the row colour
    const int cs = 2 - rs;      // sample of the cross colour
    for (int k = k0; k < k1; ++k) {
        const int x = x0 + 2 * k;
        const unsigned vL = up[x - 1], vC = up[x], vR = up[x + 1], vRR = up[x + 2];
        const unsigned dL = down[x - 1], dC = down[x], dR = down[x + 1], dRR = down[x + 2];
        const unsigned mL = mid[x - 1], mC = mid[x], mR = mid[x + 1], mRR = mid[x + 2];
        T* p = dst + 3 * x;
        p[rs] = T(mC);
        p[1] = T((vC + mL + mR + dC + 2) >> 2);
        p[cs] = T((vL + vR + dL + dR + 2) >> 2);
        p[3 + 1] = T((4 * mR + vC + vRR + dC + dRR) >> 3);
        p[3 + rs] = T((mC + mRR + 1) >> 1);
        p[3 + cs] = T((vR + dR + 1) >> 1);
    }
}

/// Interpolates output rows [y0, y1) (within 1 ... height - 3); row y goes to
/// dst + (y - y0) * width * 3 samples.
template <typename T>
void demosaicRows(const _ezImage* raw, T* dstRows, const Frame& f, int bayer, int y0, int y1,
                  const unsigned char* table, bool avx2,
                  const hx::algorithms::detail::DirectCcm* direct) {
    const T* src = reinterpret_cast<const T*>(raw->data);
    const int w = f.width;
    // Without the vector kernels a block of pairs is interpolated into planes, where the
    // compiler vectorises the interpolation, and written out from there. 16-bit pixels are
    // corrected by the plain computed form (every table holds the entries it computes): on
    // noisy detailed scenes their lookups miss the caches and cost far more. 8-bit pixels keep
    // the table, which measured faster than the computation on every scene.
    const hx::algorithms::detail::DirectCcm* plain =
        sizeof(T) == 2 && !avx2 && table && gDirectReady.load() ? &gDirect : nullptr;
    PlainBlock<T> block;
    for (int y = y0; y < y1; ++y) {
        const RowPlan plan = planRow(bayer, y);
        const T* up = src + size_t(y - 1) * w;
        const T* mid = up + w;
        const T* down = mid + w;
        T* dst = dstRows + size_t(y - y0) * w * 3;
        const int rs = plan.red ? 0 : 2;
        const int cs = 2 - rs;
        if (plan.greenFirst) {
            T* p = dst + 3;
            p[1] = mid[1];
            p[rs] = T((unsigned(mid[0]) + mid[2] + 1) >> 1);
            p[cs] = T((unsigned(up[1]) + down[1] + 1) >> 1);
        }
        int x0, pairs;
        pairRange(w, plan.greenFirst, x0, pairs);
        // Pairs [vecBegin, vecEnd) are done (and corrected) by the vector kernel, the rest by
        // the portable loop, which leaves correction to the pass below.
        int vecBegin = 0, vecEnd = 0;
        if (avx2 && pairs > 0) {
            // The vector loads reach one pair back; on the first row that would be before the
            // start of the raw buffer, so that pair is left to the portable loop.
            vecBegin = vecEnd = (y == 1 && x0 == 1) ? 1 : 0;
            const int x = x0 + 2 * vecBegin;
            if constexpr (sizeof(T) == 1) {
                if (direct && direct->wide && hx::algorithms::detail::useAvx512Demosaic())
                    vecEnd += hx::algorithms::detail::demosaicPairsAvx512U8(
                        up, mid, down, dst, x, pairs - vecBegin, plan.red, *direct);
                vecEnd += hx::algorithms::detail::demosaicPairsAvx2U8(
                    up, mid, down, dst, x0 + 2 * vecEnd, pairs - vecEnd, plan.red, table, direct);
            } else {
                if (direct && direct->wide)
                    vecEnd += hx::algorithms::detail::demosaicPairsAvx512U16(
                        up, mid, down, dst, x, pairs - vecBegin, plan.red, *direct);
                vecEnd += hx::algorithms::detail::demosaicPairsAvx2U16(
                    up, mid, down, dst, x0 + 2 * vecEnd, pairs - vecEnd, plan.red, table, direct);
            }
        }
        if (!avx2) {
            // A block at a time, interpolated and written while it is in the cache.
            constexpr int step = kPlainBlock / 2;
            for (int k = 0; k < pairs; k += step) {
                const int k1 = std::min(pairs, k + step);
                pairsToBlock(up, mid, down, x0, k, k1, plan.red, block);
                T* px = dst + 3 * (x0 + 2 * k);
                if (plain)
                    correctBlock(block, 2 * (k1 - k), px, *plain);
                else
                    writeBlock(block, 2 * (k1 - k), px, table);
            }
        } else {
            pairsPortable(up, mid, down, dst, x0, 0, vecBegin, plan.red);
            pairsPortable(up, mid, down, dst, x0, vecEnd, pairs, plan.red);
        }
        const int xs = x0 + 2 * pairs; // a remaining single non-green site
        if (xs - 1 <= w - 3) {
            T* p = dst + 3 * xs;
            p[rs] = mid[xs];
            p[1] = T((unsigned(up[xs]) + mid[xs - 1] + mid[xs + 1] + down[xs] + 2) >> 2);
            p[cs] = T((unsigned(up[xs - 1]) + up[xs + 1] + down[xs - 1] + down[xs + 1] + 2) >> 2);
        }
        if (table && avx2) {
            for (int k = 0; k < pairs; ++k) {
                if (k == vecBegin) k = vecEnd;
                if (k >= pairs) break;
                T* p = dst + 3 * (x0 + 2 * k);
                correctPixel(p, table);
                correctPixel(p + 3, table);
            }
        }
    }
}

/// The steps every decoder takes first: marks the output decoded, copies a monochrome frame
/// straight through, and describes a mosaic frame in f. True when a mosaic is to be interpolated.
bool beginDecode(_ezImage* raw, _ezImage* out, int bayer, Frame& f) {
    if (!out) return false;
    out->decoded = 1;
    if (!raw || !raw->data || !out->data) return false;
    if (bayer == 0) {
        copyMono(raw, out);
        return false;
    }
    if (bayer < 1 || bayer > 4) return false;
    return mosaicFrame(raw, out, f);
}

/// The direct coefficients when there is a table (every table holds the entries they compute)
/// and the processor and the selected path can use them: 16 lanes with AVX-512 where allowed,
/// else 8 with AVX2.
const hx::algorithms::detail::DirectCcm* directFor(const unsigned char* table, DemosaicPath path) {
    if (!table || !gDirectReady.load() || !hx::algorithms::useAvx2Fma()) return nullptr;
    if (path == DemosaicPath::Portable || path == DemosaicPath::Avx2Table) return nullptr;
    if (path != DemosaicPath::Avx2 && hx::algorithms::detail::useAvx512Correction())
        return &gDirectWide;
    return &gDirect;
}

void decode(_ezImage* raw, _ezImage* out, int bayer, bool colourCorrect) {
    Frame f;
    if (!beginDecode(raw, out, bayer, f)) return;
    // Without a table the interpolation alone is delivered rather than reading through null.
    // The reference keeps the table alive until the frame is done.
    const std::shared_ptr<const unsigned char> held = colourCorrect ? colourTable() : nullptr;
    const unsigned char* table = held.get();
    const DemosaicPath path = gPath.load(std::memory_order_relaxed);
    const bool avx2 = path != DemosaicPath::Portable && hx::algorithms::demosaicHasAvx2();
    const auto* direct = avx2 ? directFor(table, path) : nullptr;
    const size_t first = size_t(f.width) * 3; // output row 1
    if (f.depth == 8)
        demosaicRows<uint8_t>(raw, out->data + first, f, bayer, 1, f.height - 2, table, avx2,
                              direct);
    else
        demosaicRows<uint16_t>(raw, reinterpret_cast<uint16_t*>(out->data) + first, f, bayer, 1,
                               f.height - 2, table, avx2, direct);
}

// ---- reference ------------------------------------------------------------------------------

template <typename T>
void referenceRows(const _ezImage* raw, _ezImage* out, const Frame& f, int bayer,
                   const unsigned char* table) {
    const T* src = reinterpret_cast<const T*>(raw->data);
    T* dst = reinterpret_cast<T*>(out->data);
    const int w = f.width;
    auto R = [&](int y, int x) { return unsigned(src[size_t(y) * w + x]); };
    auto P = [&](int y, int x) { return dst + (size_t(y) * w + x) * 3; };
    bool red = bayer == 1 || bayer == 2;
    bool greenFirst = bayer == 2 || bayer == 4;
    for (int y = 1; y <= f.height - 3; ++y) {
        const int rs = red ? 0 : 2, cs = 2 - rs;
        auto nonGreen = [&](int x) {
            T* p = P(y, x);
            p[rs] = T(R(y, x));
            p[1] = T((R(y - 1, x) + R(y, x - 1) + R(y, x + 1) + R(y + 1, x) + 2) >> 2);
            p[cs] =
                T((R(y - 1, x - 1) + R(y - 1, x + 1) + R(y + 1, x - 1) + R(y + 1, x + 1) + 2) >> 2);
        };
        int x = 1;
        if (greenFirst) {
            T* p = P(y, 1);
            p[1] = T(R(y, 1));
            p[rs] = T((R(y, 0) + R(y, 2) + 1) >> 1);
            p[cs] = T((R(y - 1, 1) + R(y + 1, 1) + 1) >> 1);
            x = 2;
        }
        for (; x - 1 <= w - 4; x += 2) {
            nonGreen(x);
            T* p = P(y, x + 1);
            p[1] = T(
                (4 * R(y, x + 1) + R(y - 1, x) + R(y - 1, x + 2) + R(y + 1, x) + R(y + 1, x + 2)) >>
                3);
            p[rs] = T((R(y, x) + R(y, x + 2) + 1) >> 1);
            p[cs] = T((R(y - 1, x + 1) + R(y + 1, x + 1) + 1) >> 1);
            if (table) {
                correctPixel(P(y, x), table);
                correctPixel(P(y, x + 1), table);
            }
        }
        if (x - 1 <= w - 3) nonGreen(x);
        red = !red;
        greenFirst = !greenFirst;
    }
}

} // namespace

// ---- public interface -------------------------------------------------------------------------

/// Sets the matrix and makes the 48 MiB colour-correction table available to decodes. Each
/// entry is a few multiply-adds of per-channel coefficients; the blue planes are split between
/// the cores so start-up stays short. The entries depend on nothing but the fixed matrix, so a
/// table that exists already (published, or still held by a decode since the last release) is
/// taken as it is: a table is never written while a decode may read it. Allocation failure
/// leaves pCCM null (decode then skips correction).
void __init_algorithms() {
    std::lock_guard build(gBuildMutex);
    m00 = 1.6259973472;
    m01 = 0.5043470233;
    m02 = 0.0019609669;
    m10 = 0.5418708657;
    m11 = 1.6784839334;
    m12 = 0.2271528925;
    m20 = 0.0612704825;
    m21 = 0.3185587856;
    m22 = 1.3442191098;
    if (!gDirectReady.load()) {
        buildRows(gRows);
        buildDirect(gRows, gDirect);
        gDirectWide = gDirect;
        gDirectWide.wide = true;
        gDirectReady = true;
    }
    {
        std::lock_guard lock(gTableMutex);
        if (!gTable) gTable = gLastTable.lock();
        if (gTable) {
            pCCM = gTable.get();
            return;
        }
    }
    std::shared_ptr<unsigned char> fresh(static_cast<unsigned char*>(std::malloc(kCcmAlloc)),
                                         [](unsigned char* p) { std::free(p); });
    if (!fresh) return;
    unsigned char* table = fresh.get();
    std::memset(table + kCcmBytes, 0, kCcmAlloc - kCcmBytes);
    const CcmRows& rows = gRows;
    const bool avx2 = gPath.load(std::memory_order_relaxed) != DemosaicPath::Portable &&
                      hx::algorithms::demosaicHasAvx2();
    const unsigned cores = std::thread::hardware_concurrency();
    const int workers = static_cast<int>(std::clamp(cores, 1u, 4u));
    std::thread helpers[3];
    int started = 0;
    for (int i = 1; i < workers; ++i) {
        try {
            helpers[i - 1] = std::thread(fillBlueRange, std::cref(rows), table, 256 * i / workers,
                                         256 * (i + 1) / workers, avx2);
            ++started;
        } catch (...) {
            break; // no thread: this thread fills the rest below
        }
    }
    fillBlueRange(rows, table, 0, 256 / workers, avx2);
    if (started < workers - 1) fillBlueRange(rows, table, 256 * (started + 1) / workers, 256, avx2);
    for (int i = 0; i < started; ++i) helpers[i].join();

    std::lock_guard lock(gTableMutex);
    gTable = std::move(fresh);
    gLastTable = gTable;
    pCCM = gTable.get();
}

/// Releases the colour-correction table: new decodes go without it, and its memory is freed
/// as soon as the last decode that still reads it is done.
void __exit_algorithms() {
    std::shared_ptr<unsigned char> last;
    std::lock_guard build(gBuildMutex);
    std::lock_guard lock(gTableMutex);
    last = std::move(gTable);
    pCCM = nullptr;
}

/// Bilinear demosaic; the output's decoded flag is set whatever the input.
void __decode_rawdatafast(_ezImage* raw, _ezImage* out, int bayer) {
    decode(raw, out, bayer, false);
}

/// Bilinear demosaic followed by the colour-correction lookup of every interior pair.
void __decode_rawdata(_ezImage* raw, _ezImage* out, int bayer) {
    decode(raw, out, bayer, true);
}

/// Converts 4:2:2 groups to blue, green, red with integer arithmetic. Only whole groups are
/// converted: an odd last pixel has no complete group in the source and is left as it is.
void __yuv422_rgb888(unsigned char* src, unsigned char* dst, int width, int height, bool yuyv) {
    if (!src || !dst || width <= 0 || height <= 0) return;
    const size_t groups = size_t(width) * height / 2;
    auto clamp8 = [](int v) { return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v)); };
    auto convert = [&](unsigned char* p, int y, int u, int v) {
        const int d = 298 * y - 4640;
        p[0] = clamp8((d + 516 * (u - 128)) >> 8);
        p[1] = clamp8((d - 100 * (u - 128) - 208 * (v - 128)) >> 8);
        p[2] = clamp8((d + 409 * v - 52352) >> 8);
    };
    for (size_t i = 0; i < groups; ++i) {
        const unsigned char* s = src + 4 * i;
        const int y0 = yuyv ? s[0] : s[1];
        const int u = yuyv ? s[1] : s[0];
        const int y1 = yuyv ? s[2] : s[3];
        const int v = yuyv ? s[3] : s[2];
        convert(dst + 6 * i, y0, u, v);
        convert(dst + 6 * i + 3, y1, u, v);
    }
}

namespace hx::algorithms::detail {

const DirectCcm* directCcm() {
    return gDirectReady.load() ? &gDirect : nullptr;
}

void exactEntry(int b, int g, int r, unsigned char out[3]) {
    const CcmRows& w = gRows;
    out[0] = clampTrunc(w.blue.diag[b] * b - w.blue.off1[b] * g - w.blue.off2[b] * r);
    out[1] = clampTrunc(w.green.diag[g] * g - w.green.off1[g] * b - w.green.off2[g] * r);
    out[2] = clampTrunc(w.red.diag[r] * r - w.red.off1[r] * b - w.red.off2[r] * g);
}

} // namespace hx::algorithms::detail

namespace hx::algorithms {

void setDemosaicPath(DemosaicPath path) {
    gPath.store(path, std::memory_order_relaxed);
}

bool demosaicHasAvx2() {
    return useAvx2();
}

bool decodeRawRows(const _ezImage* raw, int bayer, bool colourCorrect, int y0, int y1,
                   unsigned char* dst) {
    if (!raw || !raw->data || !dst || bayer < 1 || bayer > 4) return false;
    if (raw->channels != 1 || (raw->depth != 8 && raw->depth != 16)) return false;
    if (raw->height < 4 || raw->width < 3 || y0 < 1 || y1 > raw->height - 2 || y0 >= y1)
        return false;
    if (raw->depth == 16 &&
        ((reinterpret_cast<uintptr_t>(raw->data) | reinterpret_cast<uintptr_t>(dst)) & 1))
        return false;
    Frame f;
    f.width = raw->width;
    f.height = raw->height;
    f.depth = raw->depth;
    const std::shared_ptr<const unsigned char> held = colourCorrect ? colourTable() : nullptr;
    const unsigned char* table = held.get();
    const DemosaicPath path = gPath.load(std::memory_order_relaxed);
    const bool avx2 = path != DemosaicPath::Portable && demosaicHasAvx2();
    const auto* direct = avx2 ? directFor(table, path) : nullptr;
    if (f.depth == 8)
        demosaicRows<uint8_t>(raw, dst, f, bayer, y0, y1, table, avx2, direct);
    else
        demosaicRows<uint16_t>(raw, reinterpret_cast<uint16_t*>(dst), f, bayer, y0, y1, table, avx2,
                               direct);
    return true;
}

void colourCorrectPixels(unsigned char* rgb, size_t n) {
    const std::shared_ptr<const unsigned char> held = colourTable();
    const unsigned char* table = held.get();
    if (!rgb || !table) return;
    size_t done = 0;
    const DemosaicPath path = gPath.load(std::memory_order_relaxed);
    if (path == DemosaicPath::Portable || !demosaicHasAvx2()) {
        if (gDirectReady.load()) return correctPlain(rgb, n, gDirect);
    } else if (const auto* direct = directFor(table, path)) {
        done = detail::correctPixelsAvx2(rgb, n, *direct);
    }
    for (size_t i = done; i < n; ++i) correctPixel(rgb + 3 * i, table);
}

void decodeRawReference(_ezImage* raw, _ezImage* out, int bayer, bool colourCorrect) {
    Frame f;
    if (!beginDecode(raw, out, bayer, f)) return;
    const std::shared_ptr<const unsigned char> table = colourCorrect ? colourTable() : nullptr;
    if (f.depth == 8)
        referenceRows<uint8_t>(raw, out, f, bayer, table.get());
    else
        referenceRows<uint16_t>(raw, out, f, bayer, table.get());
}

void colourCorrectReference(int b, int g, int r, unsigned char result[3]) {
    // Written out per channel exactly as the table is defined: a fade applies from 180 up.
    auto channel = [](double diag, double off1, double off2, int x, int y, int z) {
        double k = diag, o1 = off1, o2 = off2;
        if (x >= 180) {
            k = diag - (diag - 1) * (x - 180) / 75;
            o1 = off1 - off1 * (x - 180) / 75;
            o2 = off2 - off2 * (x - 180) / 75;
        }
        return clampTrunc(k * x - o1 * y - o2 * z);
    };
    result[0] = channel(m00, m01, m02, b, g, r);
    result[1] = channel(m11, m10, m12, g, b, r);
    result[2] = channel(m22, m20, m21, r, b, g);
}

} // namespace hx::algorithms
