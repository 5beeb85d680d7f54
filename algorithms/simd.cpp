// Run-time detection of the instruction sets the vector kernels use, and the switch that turns
// them all off or caps them at AVX2.
#include "algorithms/simd.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace hx::algorithms {

namespace {

/// True when value, in any case, is one of words.
bool isWord(const char* value, std::initializer_list<const char*> words) {
    if (!value) return false;
    char word[8] = {};
    for (size_t i = 0; value[i]; ++i) {
        if (i + 1 >= sizeof(word)) return false; // longer than any word of the switch
        word[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(value[i])));
    }
    for (const char* w : words)
        if (std::strcmp(word, w) == 0) return true;
    return false;
}

} // namespace

bool simdSwitchedOff(const char* value) {
    return isWord(value, {"off", "0", "no", "false"});
}

bool simdCappedAtAvx2(const char* value) {
    return isWord(value, {"avx2"});
}

bool avx512Allowed() {
    static const bool allowed = simdEnabled() && !simdCappedAtAvx2(std::getenv("HALVEX_SIMD"));
    return allowed;
}

bool simdEnabled() {
    static const bool enabled = !simdSwitchedOff(std::getenv("HALVEX_SIMD"));
    return enabled;
}

#if defined(__x86_64__) || defined(__i386__)
// __builtin_cpu_init makes the answers safe before static constructors have run.
bool useSsse3() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return simdEnabled() && __builtin_cpu_supports("ssse3");
    }();
    return yes;
}
bool useAvx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return simdEnabled() && __builtin_cpu_supports("avx2");
    }();
    return yes;
}
bool useAvx2Fma() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return useAvx2() && __builtin_cpu_supports("fma");
    }();
    return yes;
}
bool useAvx512Vbmi() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return avx512Allowed() && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
    }();
    return yes;
}
#else
bool useSsse3() {
    return false;
}
bool useAvx2() {
    return false;
}
bool useAvx2Fma() {
    return false;
}
bool useAvx512Vbmi() {
    return false;
}
#endif

} // namespace hx::algorithms
