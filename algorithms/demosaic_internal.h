// Internal interface between the demosaic driver and its instruction-set specific kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::algorithms::detail {

/// Pairs (non-green site, green site) that one AVX2 block handles for 8-bit and 16-bit samples.
inline constexpr int kAvx2PairsU8 = 16;
inline constexpr int kAvx2PairsU16 = 8;
/// Pairs that one AVX-512 block of the 8-bit kernel handles.
inline constexpr int kAvx512PairsU8 = 32;
inline constexpr int kAvx512PairsU16 = 16;

/// The colour correction computed instead of looked up. Output channel k (0 blue, 1 green,
/// 2 red) of the table is trunc(A(x) x - B(x) y - C(x) z) clamped to 0 ... 255, where x is the
/// channel's own input, y and z the other two (blue: g, r; green: b, r; red: b, g), and the
/// coefficients fade linearly from their matrix values at x = 180 to (1, 0, 0) at 255. With
/// d = max(x - 180, 0) and w = 75 - d that is V = (k1 - k2 d) x - w (k3 y + k4 z). Computed
/// in single precision, V - e and V + e (e = 2^-14) truncate to the same integer exactly when
/// that integer is the table's entry (proved for every input by a test); where they differ the
/// entry is evaluated again in double precision with the table's own operations.
struct DirectCcm {
    float k1[3], k2[3], k3[3], k4[3];
    /// The subtracted coefficients of V without fade (d = 0): V = k1 x - n3 y - n4 z.
    float n3[3], n4[3];
    /// A channel at 255 is exactly 255 in the table whatever the other two are.
    bool fullScale = false;
    /// Computed 16 lanes at a time with AVX-512 (else 8 with AVX2).
    bool wide = false;
};

/// True when the processor runs the AVX-512 correction (F, BW, VL, DQ) and vectors are on.
bool useAvx512Correction();

/// True when the 8-bit AVX-512 kernel may run: the AVX-512 correction plus byte permutes (VBMI).
bool useAvx512Demosaic();

/// The direct coefficients, valid while the table is (set by __init_algorithms).
const DirectCcm* directCcm();

/// One table entry in double precision with the fill's own operations (bit-identical to it):
/// corrected blue, green, red of (blue, green, red).
void exactEntry(int blue, int green, int red, unsigned char out[3]);

/// Corrects n interleaved 8-bit pixels (red, green, blue) in place with the direct
/// computation (16 or 8 lanes as c says); returns the number done (whole blocks of 16), the
/// rest is the caller's.
size_t correctPixelsAvx2(uint8_t* rgb, size_t n, const DirectCcm& c);

/// Interpolates whole blocks of pairs of one output row with AVX2. up, mid and down are the raw
/// rows y - 1, y and y + 1; dst is output row y (3 samples per pixel); x is the centre column of
/// the first pair; rowRed tells whether the row colour is red (sample 0) or blue (sample 2).
/// With at least one block's pairs it writes them all, the last block overlapping the one
/// before, and returns pairs; with fewer it writes none and returns 0. The caller
/// guarantees that every sample up to column x + 2 * pairs + 1 of the three rows may be read,
/// and that column x - 2 may be read. With a colour-correction table the pixels written are
/// already corrected: computed when direct is given (AVX2 with FMA only), else looked up in the
/// table, which must have 4 readable bytes at every entry.
int demosaicPairsAvx2U8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* dst,
                        int x, int pairs, bool rowRed, const unsigned char* table,
                        const DirectCcm* direct);
/// The same for 8-bit samples with AVX-512 and VBMI (blocks of kAvx512PairsU8 pairs), always
/// with the direct correction (16 lanes).
int demosaicPairsAvx512U8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* dst,
                          int x, int pairs, bool rowRed, const DirectCcm& direct);
/// The 16-bit kernel with AVX-512 (blocks of kAvx512PairsU16 pairs), always with the direct
/// correction (16 lanes).
int demosaicPairsAvx512U16(const uint16_t* up, const uint16_t* mid, const uint16_t* down,
                           uint16_t* dst, int x, int pairs, bool rowRed, const DirectCcm& direct);
/// The 16-bit kernel with AVX2 (blocks of kAvx2PairsU16 pairs).
int demosaicPairsAvx2U16(const uint16_t* up, const uint16_t* mid, const uint16_t* down,
                         uint16_t* dst, int x, int pairs, bool rowRed, const unsigned char* table,
                         const DirectCcm* direct);

/// Fills the 256 entries (red 0 ... 255) of one (blue, green) row of the colour-correction
/// table: blue = blueHead - blueOffR[r], green = greenHead - greenOff * r,
/// red = redBase[r] - redOff[r] * green, each truncated and clamped to 0 ... 255.
void ccmRowAvx2(unsigned char* entries, double blueHead, const double* blueOffR, double greenHead,
                double greenOff, const double* redBase, const double* redOff, double green);

} // namespace hx::algorithms::detail
