// Run-time detection of the instruction sets the vector kernels use, and the switch that turns
// them all off.
#include "algorithms/simd.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace hx::algorithms {

bool simdSwitchedOff(const char* value) {
    if (!value) return false;
    char word[8] = {};
    for (size_t i = 0; value[i]; ++i) {
        if (i + 1 >= sizeof(word)) return false; // longer than any word that means off
        word[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(value[i])));
    }
    for (const char* off : {"off", "0", "no", "false"})
        if (std::strcmp(word, off) == 0) return true;
    return false;
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
        return simdEnabled() && __builtin_cpu_supports("avx512f") &&
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
