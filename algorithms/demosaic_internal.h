// Internal interface between the demosaic driver and its instruction-set specific kernels.
#pragma once

#include <cstdint>

namespace hx::algorithms::detail {

/// Pairs (non-green site, green site) that one AVX2 block handles for 8-bit and 16-bit samples.
inline constexpr int kAvx2PairsU8 = 16;
inline constexpr int kAvx2PairsU16 = 8;

/// True when the processor and the operating system support AVX2.
bool cpuHasAvx2();

/// Interpolates whole blocks of pairs of one output row with AVX2. up, mid and down are the raw
/// rows y - 1, y and y + 1; dst is output row y (3 samples per pixel); x is the centre column of
/// the first pair; rowRed tells whether the row colour is red (sample 0) or blue (sample 2).
/// Processes floor(pairs / block) blocks and returns the number of pairs written. The caller
/// guarantees that every sample up to column x + 2 * pairs + 1 of the three rows may be read,
/// and that column x - 2 may be read. With a colour-correction table the pixels written are
/// already corrected; the table must have 4 readable bytes at every entry.
int demosaicPairsAvx2U8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* dst,
                        int x, int pairs, bool rowRed, const unsigned char* table);
int demosaicPairsAvx2U16(const uint16_t* up, const uint16_t* mid, const uint16_t* down,
                         uint16_t* dst, int x, int pairs, bool rowRed, const unsigned char* table);

/// Fills the 256 entries (red 0 ... 255) of one (blue, green) row of the colour-correction
/// table: blue = blueHead - blueOffR[r], green = greenHead - greenOff * r,
/// red = redBase[r] - redOff[r] * green, each truncated and clamped to 0 ... 255.
void ccmRowAvx2(unsigned char* entries, double blueHead, const double* blueOffR, double greenHead,
                double greenOff, const double* redBase, const double* redOff, double green);

} // namespace hx::algorithms::detail
