// Geometry operations on image records: cropping, mirroring, quarter turns, bilinear resize,
// binning and decimation of sensor data, 16-bit sample fix-up and de-interlacing.
#include "algorithms/geometry.h"

#include "algorithms/simd.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

/// A 16-bit sample that may sit at any address (the pixel block follows a header of any size).
typedef uint16_t u16u __attribute__((aligned(1), may_alias));

/// Bytes per pixel, at least 1.
inline size_t pixelBytes(const _ezImage* image) {
    const size_t p = static_cast<size_t>(image->depth) * image->channels / 8;
    return p ? p : 1;
}

/// A record whose pixels can be touched at all.
inline bool usable(const _ezImage* image) {
    return image && image->data && image->width > 0 && image->height > 0;
}

/// A record with 8- or 16-bit samples.
inline bool usableDepth(const _ezImage* image) {
    return usable(image) && (image->depth == 8 || image->depth == 16);
}

/// Re-establishes the header for a new size, keeping data, headerSize, resolution and decoded.
inline void resetSize(_ezImage* image, int width, int height) {
    ezInitImageHeader(image, width, height, image->channels, image->depth, image->headerSize,
                      image->data, image->resolution, image->decoded);
}

/// Horizontal sum-binning of `rows` rows of `width` samples of n channels: each output pixel
/// is the saturated sum of bx consecutive pixels; rows packed at outWidth pixels.
template <typename T>
void binRows(T* data, int rows, int width, int outWidth, int n, int bx, uint32_t top) {
    const size_t inRow = static_cast<size_t>(width) * n;
    const size_t outRow = static_cast<size_t>(outWidth) * n;
    for (int r = 0; r < rows; ++r) {
        const T* src = data + r * inRow;
        T* dst = data + r * outRow;
        if (bx == 1) {
            if (dst != src) std::memmove(dst, src, outRow * sizeof(T));
            continue;
        }
        if (n == 1 && bx == 2) {
            for (int j = 0; j < outWidth; ++j) {
                const uint32_t s = uint32_t(src[2 * j]) + src[2 * j + 1];
                dst[j] = static_cast<T>(s > top ? top : s);
            }
            continue;
        }
        for (int j = 0; j < outWidth; ++j) {
            const T* in = src + static_cast<size_t>(j) * bx * n;
            for (int c = 0; c < n; ++c) {
                uint32_t s = 0;
                for (int t = 0; t < bx; ++t) s += in[t * n + c];
                dst[j * n + c] = static_cast<T>(s > top ? top : s);
            }
        }
    }
}

/// Vertical sum-binning of packed rows of `rowSamples` samples: output row i is the saturated
/// sum of rows i * by ... i * by + by - 1. Each output sample is written after its inputs are
/// read, and every later input lies behind it, so this is safe in place.
template <typename T>
void binColumns(T* data, int outRows, size_t rowSamples, int by, uint32_t top) {
    for (int i = 0; i < outRows; ++i) {
        const T* src = data + static_cast<size_t>(i) * by * rowSamples;
        T* dst = data + static_cast<size_t>(i) * rowSamples;
        if (by == 2) {
            const T* src1 = src + rowSamples;
            for (size_t j = 0; j < rowSamples; ++j) {
                const uint32_t s = uint32_t(src[j]) + src1[j];
                dst[j] = static_cast<T>(s > top ? top : s);
            }
            continue;
        }
        for (size_t j = 0; j < rowSamples; ++j) {
            uint32_t s = 0;
            for (int t = 0; t < by; ++t) s += src[t * rowSamples + j];
            dst[j] = static_cast<T>(s > top ? top : s);
        }
    }
}

/// 2 x 2 binning in one pass: output (i, j) sums source samples (2i + dy, 2j * step + dx * gap
/// + phase) for dy, dx in {0, 1}, where gap is 1 for mono data and 2 for a Bayer mosaic. Since
/// saturation is a minimum of non-negative sums, one clamp of the four-sample sum equals the
/// clamped row sum followed by the clamped column sum. Writes trail reads, so this is safe in
/// place.
template <typename T>
void bin2x2(T* data, size_t width, int outW, int outH, uint32_t top, bool bayer) {
    for (int i = 0; i < outH; ++i) {
        // Mono: rows 2i and 2i + 1. Bayer: rows 4m + p and 4m + p + 2 for output row 2m + p.
        const size_t r0 = bayer ? 4 * size_t(i / 2) + (i & 1) : 2 * size_t(i);
        const T* a = data + r0 * width;
        const T* b = a + (bayer ? 2 : 1) * width;
        T* o = data + size_t(i) * outW;
        if (bayer) {
            for (int k = 0; k < outW / 2; ++k) {
                const uint32_t e = uint32_t(a[4 * k]) + a[4 * k + 2] + b[4 * k] + b[4 * k + 2];
                const uint32_t d =
                    uint32_t(a[4 * k + 1]) + a[4 * k + 3] + b[4 * k + 1] + b[4 * k + 3];
                o[2 * k] = static_cast<T>(e > top ? top : e);
                o[2 * k + 1] = static_cast<T>(d > top ? top : d);
            }
        } else {
            for (int j = 0; j < outW; ++j) {
                const uint32_t s = uint32_t(a[2 * j]) + a[2 * j + 1] + b[2 * j] + b[2 * j + 1];
                o[j] = static_cast<T>(s > top ? top : s);
            }
        }
    }
}

template <typename T> void mbinT(_ezImage* image, int bx, int by, int outW, int outH) {
    T* data = reinterpret_cast<T*>(image->data);
    const uint32_t top = image->depth == 8 ? 255u : 65535u;
    const int width = image->width;
    if (bx == 2 && by == 2) return bin2x2<T>(data, width, outW, outH, top, false);
    // Only the rows that reach the output are packed.
    if (outW != width) binRows<T>(data, outH * by, width, outW, 1, bx, top);
    if (by > 1) binColumns<T>(data, outH, static_cast<size_t>(outW), by, top);
}

template <typename T> void cbinT(_ezImage* image, int bx, int by, int outW, int outH) {
    T* data = reinterpret_cast<T*>(image->data);
    const uint32_t top = image->depth == 8 ? 255u : 65535u;
    const size_t width = image->width;
    if (bx == 2 && by == 2 && outH > 1) return bin2x2<T>(data, width, outW, outH, top, true);
    if (outW != static_cast<int>(width)) {
        const int rows = outH * by;
        for (int r = 0; r < rows; ++r) {
            const T* src = data + r * width;
            T* dst = data + static_cast<size_t>(r) * outW;
            if (bx == 1) {
                std::memmove(dst, src, static_cast<size_t>(outW) * sizeof(T));
                continue;
            }
            // Same-colour samples are two apart: pair (2k, 2k + 1) sums bx even and bx odd.
            if (bx == 2) {
                for (int k = 0; k < outW / 2; ++k) {
                    const uint32_t even = uint32_t(src[4 * k]) + src[4 * k + 2];
                    const uint32_t odd = uint32_t(src[4 * k + 1]) + src[4 * k + 3];
                    dst[2 * k] = static_cast<T>(even > top ? top : even);
                    dst[2 * k + 1] = static_cast<T>(odd > top ? top : odd);
                }
                continue;
            }
            for (int k = 0; k < outW / 2; ++k) {
                const T* in = src + static_cast<size_t>(2) * k * bx;
                uint32_t even = 0, odd = 0;
                for (int t = 0; t < bx; ++t) {
                    even += in[2 * t];
                    odd += in[2 * t + 1];
                }
                dst[2 * k] = static_cast<T>(even > top ? top : even);
                dst[2 * k + 1] = static_cast<T>(odd > top ? top : odd);
            }
        }
    }
    if (by > 1 && outH > 1) {
        const size_t row = static_cast<size_t>(outW);
        for (int m = 0; m < outH / 2; ++m) {
            for (int phase = 0; phase < 2; ++phase) {
                const T* src = data + (static_cast<size_t>(2) * m * by + phase) * row;
                T* dst = data + (static_cast<size_t>(2) * m + phase) * row;
                if (by == 2) {
                    const T* src2 = src + 2 * row;
                    for (size_t j = 0; j < row; ++j) {
                        const uint32_t s = uint32_t(src[j]) + src2[j];
                        dst[j] = static_cast<T>(s > top ? top : s);
                    }
                    continue;
                }
                for (size_t j = 0; j < row; ++j) {
                    uint32_t s = 0;
                    for (int t = 0; t < by; ++t) s += src[2 * t * row + j];
                    dst[j] = static_cast<T>(s > top ? top : s);
                }
            }
        }
    }
}

template <typename T> void colorbinT(_ezImage* image, int bx, int by, int outW, int outH) {
    T* data = reinterpret_cast<T*>(image->data);
    const int n = image->channels;
    const uint32_t top = (1u << image->depth) - 1u;
    if (outW != image->width) binRows<T>(data, outH * by, image->width, outW, n, bx, top);
    if (by > 1) binColumns<T>(data, outH, static_cast<size_t>(outW) * n, by, top);
}

/// Bilinear sampling for one pair of sample types; shift converts between depths.
template <typename S, typename D> void resizeT(const _ezImage* src, _ezImage* dst, int shift) {
    const int n = dst->channels;
    const int sw = src->width, sh = src->height;
    const int dw = dst->width, dh = dst->height;
    const size_t srow = static_cast<size_t>(sw) * n;
    const S* in = reinterpret_cast<const S*>(src->data);
    D* out = reinterpret_cast<D*>(dst->data);
    const float sx = static_cast<float>(sw) / static_cast<float>(dw);
    const float sy = static_cast<float>(sh) / static_cast<float>(dh);
    for (int r = 0; r < dh; ++r) {
        const float y = static_cast<float>(r) * sy;
        int y0 = static_cast<int>(y);
        const float fy = y - static_cast<float>(y0);
        if (y0 > sh - 1) y0 = sh - 1;
        // Rows r < dh - 3 look down and right; the last three rows look up and left.
        const bool down = r < dh - 3;
        int y1 = down ? y0 + 1 : y0 - 1;
        y1 = std::clamp(y1, 0, sh - 1);
        const S* row0 = in + static_cast<size_t>(y0) * srow;
        const S* row1 = in + static_cast<size_t>(y1) * srow;
        D* o = out + static_cast<size_t>(r) * dw * n;
        for (int c = 0; c < dw; ++c) {
            const float x = static_cast<float>(c) * sx;
            int x0 = static_cast<int>(x);
            const float fx = x - static_cast<float>(x0);
            if (x0 > sw - 1) x0 = sw - 1;
            int x1 = down ? x0 + 1 : x0 - 1;
            x1 = std::clamp(x1, 0, sw - 1);
            const size_t i0 = static_cast<size_t>(x0) * n, i1 = static_cast<size_t>(x1) * n;
            for (int k = 0; k < n; ++k) {
                // Summed in the written order: (y1, x1), (y1, x0), (y0, x1), (y0, x0).
                const float v = static_cast<float>(row1[i1 + k]) * fy * fx +
                                static_cast<float>(row1[i0 + k]) * fy * (1.0f - fx) +
                                static_cast<float>(row0[i1 + k]) * (1.0f - fy) * fx +
                                static_cast<float>(row0[i0 + k]) * (1.0f - fy) * (1.0f - fx);
                const uint32_t u = static_cast<uint32_t>(v);
                o[c * n + k] = static_cast<D>(shift >= 0 ? (u << shift) : (u >> -shift));
            }
        }
    }
}

/// Writes the n pixels of p bytes at src to dst in reverse order; dst and src do not overlap.
using ReverseCopy = void (*)(unsigned char* dst, const unsigned char* src, size_t n, size_t p);

template <size_t P>
inline void reverseTail(unsigned char* dst, const unsigned char* src, size_t from, size_t n) {
    for (size_t j = from; j < n; ++j) std::memcpy(dst + j * P, src + (n - 1 - j) * P, P);
}

void reverseGeneric(unsigned char* dst, const unsigned char* src, size_t n, size_t p) {
    for (size_t j = 0; j < n; ++j) std::memcpy(dst + j * p, src + (n - 1 - j) * p, p);
}

/// Pixels of 3 and 6 bytes move as one word of 4 or 8 bytes, which halves the loads and stores.
/// Away from the row's ends a word load takes bytes of the pixel after it in src, and a word
/// store writes bytes of the next pixel of dst, which the next store overwrites.
template <size_t P>
void reverseScalar(unsigned char* dst, const unsigned char* src, size_t n, size_t) {
    constexpr size_t W = P == 3 ? 4 : P == 6 ? 8 : P;
    if (W == P || n < 3) {
        reverseTail<P>(dst, src, 0, n);
        return;
    }
    std::memcpy(dst, src + (n - 1) * P, P);
    for (size_t j = 1; j + 1 < n; ++j) std::memcpy(dst + j * P, src + (n - 1 - j) * P, W);
    std::memcpy(dst + (n - 1) * P, src, P);
}

#if defined(__x86_64__) || defined(__i386__)
/// The byte order that reverses the K = B / P whole pixels at the end of B bytes into the front;
/// the bytes after them get `fill`. Made when compiled: the chain reverses a row per call.
template <size_t P, size_t B> constexpr std::array<unsigned char, B> reverseOrder(unsigned fill) {
    constexpr size_t K = B / P, skip = B - K * P;
    std::array<unsigned char, B> order{};
    for (size_t i = 0; i < B; ++i)
        order[i] =
            static_cast<unsigned char>(i < K * P ? skip + (K - 1 - i / P) * P + i % P : fill);
    return order;
}

/// 16 bytes at a time: the K = 16 / P whole pixels ending a 16-byte load are reversed by one
/// byte shuffle and stored at the front of a 16-byte store. The bytes a store writes past its
/// K pixels belong to pixels stored later, and every load and store stays inside its row.
template <size_t P>
__attribute__((target("ssse3"))) void reverseSsse3(unsigned char* dst, const unsigned char* src,
                                                   size_t n, size_t) {
    constexpr size_t K = 16 / P;
    alignas(16) static constexpr auto order = reverseOrder<P, 16>(0x80);
    const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(order.data()));
    size_t j = 0;
    for (; (j + K) <= n && (n - j) * P >= 16; j += K) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + (n - j) * P - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j * P), _mm_shuffle_epi8(v, mask));
    }
    reverseTail<P>(dst, src, j, n);
}

// The compiler's AVX-512 headers start some results from a deliberately undefined vector,
// which its own uninitialised-use warning then reports; nothing here reads such a value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__ // clang has no such warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
/// The same 64 bytes at a time with one byte permute, where the processor has AVX-512 VBMI.
template <size_t P>
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void
reverseVbmi(unsigned char* dst, const unsigned char* src, size_t n, size_t) {
    constexpr size_t K = 64 / P;
    alignas(64) static constexpr auto order = reverseOrder<P, 64>(0);
    const __m512i mask = _mm512_load_si512(order.data());
    size_t j = 0;
    for (; (j + K) <= n && (n - j) * P >= 64; j += K) {
        const __m512i v = _mm512_loadu_si512(src + (n - j) * P - 64);
        _mm512_storeu_si512(dst + j * P, _mm512_permutexvar_epi8(mask, v));
    }
    reverseSsse3<P>(dst + j * P, src, n - j, P);
}
#pragma GCC diagnostic pop
#endif

/// Of the kernels for pixels of 1, 2, 3, 4 and 6 bytes, the one for p bytes; null for others.
ReverseCopy bySize(size_t p, const ReverseCopy (&kernels)[5]) {
    switch (p) {
    case 1:
    case 2:
    case 3:
    case 4:
        return kernels[p - 1];
    case 6:
        return kernels[4];
    default:
        return nullptr;
    }
}

/// The fastest reversal this processor has for pixels of p bytes.
ReverseCopy reverseCopyFor(size_t p) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool vbmi = hx::algorithms::useAvx512Vbmi();
    static const bool ssse3 = hx::algorithms::useSsse3();
    static const ReverseCopy wide[5] = {reverseVbmi<1>, reverseVbmi<2>, reverseVbmi<3>,
                                        reverseVbmi<4>, reverseVbmi<6>};
    static const ReverseCopy narrow[5] = {reverseSsse3<1>, reverseSsse3<2>, reverseSsse3<3>,
                                          reverseSsse3<4>, reverseSsse3<6>};
    if (vbmi && bySize(p, wide)) return bySize(p, wide);
    if (ssse3 && bySize(p, narrow)) return bySize(p, narrow);
#endif
    switch (p) {
    case 1:
        return reverseScalar<1>;
    case 2:
        return reverseScalar<2>;
    case 3:
        return reverseScalar<3>;
    case 6:
        return reverseScalar<6>;
    default:
        return reverseGeneric;
    }
}

} // namespace

void hx::algorithms::mirrorCopy(unsigned char* dst, const unsigned char* src, size_t pixels,
                                size_t pixelBytes) {
    if (dst && src && pixels && pixelBytes)
        reverseCopyFor(pixelBytes)(dst, src, pixels, pixelBytes);
}

/// Crops in place. A rectangle reaching past the image is cut at its right and bottom edges;
/// one that starts outside the image, or is empty, leaves the record unchanged.
void __roi(_ezImage* image, int x, int y, int width, int height) {
    if (!usableDepth(image)) return;
    if (width == image->width && height == image->height) return;
    if (x < 0 || y < 0 || x >= image->width || y >= image->height || width <= 0 || height <= 0)
        return;
    width = std::min(width, image->width - x);
    height = std::min(height, image->height - y);
    const size_t p = pixelBytes(image);
    const size_t inRow = image->width * p, outRow = width * p;
    unsigned char* data = image->data;
    // The destination never lies after its source, so a forward move per row is safe.
    for (int r = 0; r < height; ++r)
        std::memmove(data + r * outRow, data + (y + r) * inRow + x * p, outRow);
    resetSize(image, width, height);
}

/// Mirrors (bit 0) and turns upside down (bit 1); upside-down first when both are set. Both
/// together are one pass: each row pair is exchanged and mirrored on the way through one row
/// buffer.
void __flip(_ezImage* image, int flags) {
    if (!usableDepth(image) || !(flags & 3)) return;
    const int w = image->width, h = image->height;
    const size_t p = pixelBytes(image);
    const size_t row = w * p;
    unsigned char* data = image->data;
    const bool mirror = (flags & 1) && w > 1, upsideDown = (flags & 2) && h > 1;
    if (!mirror && !upsideDown) return;
    std::unique_ptr<unsigned char[]> tmp(new (std::nothrow) unsigned char[row]);
    if (!tmp) return;
    const ReverseCopy reverse = reverseCopyFor(p);
    if (!mirror) {
        for (int i = 0; i < h / 2; ++i) {
            unsigned char* a = data + i * row;
            unsigned char* b = data + (h - 1 - i) * row;
            std::memcpy(tmp.get(), a, row);
            std::memcpy(a, b, row);
            std::memcpy(b, tmp.get(), row);
        }
        return;
    }
    if (!upsideDown) {
        for (int i = 0; i < h; ++i) {
            unsigned char* r = data + i * row;
            std::memcpy(tmp.get(), r, row);
            reverse(r, tmp.get(), w, p);
        }
        return;
    }
    for (int i = 0; i < h / 2; ++i) {
        unsigned char* a = data + i * row;
        unsigned char* b = data + (h - 1 - i) * row;
        std::memcpy(tmp.get(), a, row);
        reverse(a, b, w, p);
        reverse(b, tmp.get(), w, p);
    }
    if (h & 1) {
        unsigned char* r = data + (h / 2) * row;
        std::memcpy(tmp.get(), r, row);
        reverse(r, tmp.get(), w, p);
    }
}

/// Quarter turn through a scratch copy; width and height are exchanged.
void __rotate(_ezImage* image, int flags) {
    if (!usableDepth(image) || (flags != 1 && flags != 2)) return;
    const int W = image->width, H = image->height;
    const size_t p = pixelBytes(image);
    const size_t bytes = static_cast<size_t>(W) * H * p;
    std::unique_ptr<unsigned char[]> tmp(new (std::nothrow) unsigned char[bytes]());
    if (!tmp) return;
    const unsigned char* src = image->data;
    unsigned char* dst = tmp.get();
    for (int i = 0; i < H; ++i) {
        const unsigned char* s = src + static_cast<size_t>(i) * W * p;
        for (int j = 0; j < W; ++j, s += p) {
            // Clockwise: (i, j) -> (j, H - 1 - i); counter-clockwise: (i, j) -> (W - 1 - j, i).
            const size_t at = flags == 2 ? static_cast<size_t>(j) * H + (H - 1 - i)
                                         : static_cast<size_t>(W - 1 - j) * H + i;
            std::memcpy(dst + at * p, s, p);
        }
    }
    std::memcpy(image->data, dst, bytes);
    resetSize(image, H, W);
}

/// Bilinear resize of src into dst at dst's size. Neighbour indices are held inside the
/// source; a depth difference (8 <-> 16 bits) is bridged by taking or giving the high byte.
/// Different channel counts, or depths other than 8 and 16, leave dst unchanged.
void __resize(const _ezImage* src, _ezImage* dst) {
    if (!usableDepth(src) || !usableDepth(dst) || src->channels != dst->channels ||
        src->channels == 0)
        return;
    if (src->depth == 8 && dst->depth == 8)
        resizeT<uint8_t, uint8_t>(src, dst, 0);
    else if (src->depth == 16 && dst->depth == 16)
        resizeT<u16u, u16u>(src, dst, 0);
    else if (src->depth == 16)
        resizeT<u16u, uint8_t>(src, dst, -8);
    else
        resizeT<uint8_t, u16u>(src, dst, 8);
}

/// Sum-binning of one-channel data. Output sides are ((side / b) / 4) * 4; an output that would
/// be empty leaves the record unchanged.
void __mbin(_ezImage* image, int bx, int by) {
    if (!usableDepth(image) || image->channels != 1 || bx < 1 || by < 1) return;
    const int outW = ((image->width / bx) / 4) * 4;
    const int outH = ((image->height / by) / 4) * 4;
    if (outW == 0 || outH == 0) return;
    if (image->depth == 8)
        mbinT<uint8_t>(image, bx, by, outW, outH);
    else
        mbinT<u16u>(image, bx, by, outW, outH);
    resetSize(image, outW, outH);
}

/// Sum-binning of a Bayer mosaic: same-colour samples two apart are summed, so the 2 x 2
/// pattern of the output matches the input's.
void __cbin(_ezImage* image, int bx, int by) {
    if (!usableDepth(image) || image->channels != 1 || bx < 1 || by < 1) return;
    const int outW = ((image->width / bx) / 4) * 4;
    const int outH = ((image->height / by) / 4) * 4;
    if (outW == 0 || outH == 0) return;
    if (image->depth == 8)
        cbinT<uint8_t>(image, bx, by, outW, outH);
    else
        cbinT<u16u>(image, bx, by, outW, outH);
    resetSize(image, outW, outH);
}

/// Sum-binning of interleaved pixels, each sample clamped to the depth's maximum.
void __colorbin(_ezImage* image, int bx, int by) {
    if (!usableDepth(image) || image->channels == 0 || bx < 1 || by < 1) return;
    const int outW = ((image->width / bx) / 4) * 4;
    const int outH = ((image->height / by) / 4) * 4;
    if (outW == 0 || outH == 0) return;
    if (image->depth == 8)
        colorbinT<uint8_t>(image, bx, by, outW, outH);
    else
        colorbinT<u16u>(image, bx, by, outW, outH);
    resetSize(image, outW, outH);
}

/// Keeps every sx-th sample pair of a row and every sy-th row pair, so Bayer cells stay whole.
void __skip(_ezImage* image, int sx, int sy) {
    if (!usableDepth(image) || image->channels != 1 || sx < 1 || sy < 1) return;
    const int W = image->width, H = image->height;
    const int n = W / sx, d = H / sy;
    if (n == 0 || d == 0) return;
    const size_t unit = image->depth == 8 ? 2 : 4; // one sample pair
    const size_t s = unit / 2;                     // one sample
    unsigned char* data = image->data;
    if (sx > 1) {
        for (int r = 0; r < H; ++r) {
            const unsigned char* in = data + static_cast<size_t>(r) * W * s;
            unsigned char* out = data + static_cast<size_t>(r) * n * s;
            for (int j = 0; j < n / 2; ++j)
                std::memmove(out + j * unit, in + static_cast<size_t>(j) * sx * unit, unit);
        }
    }
    if (sy > 1 && d > 1) {
        const size_t row = static_cast<size_t>(n) * s;
        for (int k = 0; k < d / 2; ++k)
            std::memmove(data + 2 * k * row, data + 2 * static_cast<size_t>(k) * sy * row, 2 * row);
    }
    resetSize(image, n, d);
}

/// 16-bit fix-up: mode 0 swaps the two bytes of every sample; mode 1 turns (high 8 bits,
/// low 4 bits) into a left-aligned 16-bit value. 8-bit records are left alone.
void __rmac(_ezImage* image, int mode) {
    if (!usable(image) || image->depth != 16 || (mode != 0 && mode != 1)) return;
    const size_t count = static_cast<size_t>(image->width) * image->height * image->channels;
    u16u* s = reinterpret_cast<u16u*>(image->data);
    if (mode == 0) {
        for (size_t i = 0; i < count; ++i) s[i] = __builtin_bswap16(s[i]);
    } else {
        for (size_t i = 0; i < count; ++i) {
            const uint16_t v = s[i]; // little-endian: b0 low, b1 high
            s[i] = static_cast<uint16_t>(((v & 0xFF) << 8) | ((v >> 4) & 0xF0));
        }
    }
}

/// De-interlaces a frame whose two fields follow each other: output row 2i is row offset + i
/// of the first field, row 2i + 1 is row offset + fieldRows + i. A layout whose rows would fall
/// outside the image leaves it unchanged.
void __interlace(_ezImage* image, int offset, int fieldRows) {
    if (!usableDepth(image) || offset < 0 || fieldRows <= 0) return;
    const int H = image->height, half = H / 2;
    if (offset + half > fieldRows || fieldRows > H || offset + fieldRows + half > H) return;
    const size_t row = image->width * pixelBytes(image);
    std::unique_ptr<unsigned char[]> saved(new (std::nothrow) unsigned char[fieldRows * row]);
    if (!saved) return;
    unsigned char* data = image->data;
    std::memcpy(saved.get(), data, fieldRows * row);
    for (int i = 0; i < half; ++i) {
        std::memcpy(data + 2 * i * row, saved.get() + (offset + i) * row, row);
        std::memmove(data + (2 * i + 1) * row, data + (offset + fieldRows + i) * row, row);
    }
}
