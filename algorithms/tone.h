// Tone and colour lookup tables (gamma, contrast, stretch, saturation, digital gain) and the
// automatic white-balance estimate.
#pragma once

#include "ezImage/ezImage.h"

/// Gamma table of n entries: (n - 1) * (i / (n - 1))^(100 / gamma); 100 is the identity.
void __matrix_gamma(int gamma, unsigned char* table, int n);
/// Contrast table of n entries: a line through 128 whose slope angle is 44 degrees at 128.
void __matrix_contrast(int contrast, unsigned char* table, int n);
/// Level stretch of n entries: low maps to 0, high and above to n - 1, linear in between.
void __matrix_stretch(int low, int high, unsigned char* table, int n);
/// Saturation table of n x n entries, row x (the green reference) first: entry [x][v] moves v
/// away from x by saturation / 100.
void __matrix_saturation(int saturation, unsigned char* table, int n);
/// Digital-gain table of n entries: i * gain / 64, limited to n - 1; 64 is unity.
void __matrix_channel(int gain, unsigned char* table, int n);

/// Estimates white-balance gains (64 = unity) from the mid-tones of an 8-bit image (one or
/// three channels). Returns 0 with gains[0..2] written, -1 when too few pixels qualify, -2 for
/// a bad argument, -3 when the working copies cannot be allocated.
int __white_balance(_ezImage* image, int* gains);
/// Gains that equalise the channel means of the pixels whose mask value is non-zero. Returns 0,
/// -1 (fewer than 10 pixels, gains untouched) or -2 for a bad argument.
int _color_temperature(_ezImage* image, _ezImage* mask, int* gains);
