#pragma once

// Which instruction set the fast block kernels are compiled for. Every
// variant does the same double operations on the same operands in the same
// order, so they all give the same bits; they differ only in how many
// independent values one instruction carries. `reference` is the plain
// per-sample code the fast kernels are checked against.
//
// The choice is made once, when the object that holds the kernels is built,
// never per sample.

#include <initializer_list>

namespace libqor::dsp
{

enum class SimdLevel : int
{
    reference = 0,
    sse2,
    avx2,
    avx512
};

inline const char* simdLevelName(SimdLevel level) noexcept
{
    switch (level)
    {
    case SimdLevel::reference:
        return "reference";
    case SimdLevel::sse2:
        return "sse2";
    case SimdLevel::avx2:
        return "avx2";
    case SimdLevel::avx512:
        return "avx512";
    }
    return "unknown";
}

// Whether this processor can run the variant.
inline bool simdLevelSupported(SimdLevel level) noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init(); // cheap, and needed if this runs before the runtime's own constructors
    switch (level)
    {
    case SimdLevel::reference:
        return true;
    case SimdLevel::sse2:
        return __builtin_cpu_supports("sse2");
    case SimdLevel::avx2:
        return __builtin_cpu_supports("avx2");
    case SimdLevel::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
            && __builtin_cpu_supports("avx512dq");
    }
    return false;
#else
    return level == SimdLevel::reference;
#endif
}

// The variant a new engine and sampler start with: AVX2 where the processor
// has it. The AVX-512 variants gain nothing over it on the whole audio road
// (a 512-frame block took 5 to 10 % longer at 2x and at 4x on a Zen 4 core),
// and 512-bit work lowers the clock on some processors; they stay selectable
// through setSimdLevel.
inline SimdLevel bestSimdLevel() noexcept
{
    for (SimdLevel level : { SimdLevel::avx2, SimdLevel::avx512, SimdLevel::sse2 })
        if (simdLevelSupported(level))
            return level;
    return SimdLevel::reference;
}

} // namespace libqor::dsp
