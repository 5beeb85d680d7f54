// Run-time choice of the vector kernels: what the processor offers, and the HALVEX_SIMD switch
// that forces the portable code everywhere (so the path that ARM computers run is tested and
// measured on any machine) or caps the vectors at AVX2 (so the kernels of processors without
// AVX-512 are tested and measured on one that has it).
#pragma once

namespace hx::algorithms {

/// False when the environment variable HALVEX_SIMD is "off" (also "0", "no", "false", any
/// case); read once, on first use.
bool simdEnabled();
/// True when value (the content of HALVEX_SIMD, or null when unset) switches vectors off.
bool simdSwitchedOff(const char* value);
/// True when value is "avx2" (any case): the processor's instruction sets up to AVX2, every
/// AVX-512 check false.
bool simdCappedAtAvx2(const char* value);
/// False when HALVEX_SIMD is off or caps the vectors at AVX2; read once, on first use.
bool avx512Allowed();

/// Instruction sets a kernel may use: present in the processor and not switched off.
bool useSsse3();
bool useAvx2();
/// AVX2 together with fused multiply-add.
bool useAvx2Fma();
/// AVX-512 with byte permutes (F, BW, VBMI).
bool useAvx512Vbmi();

} // namespace hx::algorithms
