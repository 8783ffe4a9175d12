#pragma once

#include <cstdint>

#include "libqor/dsp/CAllPassFilter.h"
#include "libqor/dsp/Vec.h"

namespace libqor
{

// Six all-pass sections in series. The owner builds the sections and fills
// the slots (CHalfBandFilter::create) and calls the cascade only through them.
class CAllPassFilterCascade
{
public:
    using ScalarFn = void (CAllPassFilterCascade::*)(double&);
    using BlockFn = void (CAllPassFilterCascade::*)(float*, int);
    using QuadFn = void (CAllPassFilterCascade::*)(Vec4&);
    using PairFn = void (CAllPassFilterCascade::*)(Vec2&);

    static constexpr int32_t sectionsPerCascade = 6;

    CAllPassFilterCascade() noexcept = default;
    ~CAllPassFilterCascade();

    CAllPassFilterCascade(const CAllPassFilterCascade&) = delete;
    CAllPassFilterCascade& operator=(const CAllPassFilterCascade&) = delete;

    void processOrder12(double& x) noexcept;
    void processOrder12_SIMD(float* data, int n) noexcept;
    void processOrder12_SIMD(Vec4& v) noexcept;
    void processOrder12_SIMDd(Vec2& v) noexcept;

    // Zeroes every history of every section.
    void clear() noexcept;

    ScalarFn scalarSlot = nullptr;
    BlockFn blockSlot = nullptr;
    QuadFn quadSlot = nullptr;
    PairFn pairSlot = nullptr;

    // Owned; entries stay null until their section is built.
    CAllPassFilter** sections = nullptr;
    int32_t count = 0;
};

} // namespace libqor
