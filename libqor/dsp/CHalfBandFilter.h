#pragma once

#include "libqor/dsp/CAllPassFilterCascade.h"
#include "libqor/dsp/Vec.h"

namespace libqor
{

// Polyphase IIR half-band low-pass, H(z) = 1/2 (A(z) + z^-1 B(z)), running at
// the rate of the stream it is fed; cut-off at a quarter of that rate.
class CHalfBandFilter
{
public:
    static constexpr int scratchLength = 4096;

    CHalfBandFilter();
    ~CHalfBandFilter();

    CHalfBandFilter(const CHalfBandFilter&) = delete;
    CHalfBandFilter& operator=(const CHalfBandFilter&) = delete;

    // Builds both cascades once; steep selects the sharper of the two
    // coefficient sets. The order argument is ignored: always six sections.
    void create(int order, bool steep);

    // Two consecutive samples {earlier, later} in, the two filtered out.
    void process_simdd(Vec2* v) noexcept;

    // Zeroes the section histories of both cascades; the saved input and
    // the float previous output stay as they are.
    void clear() noexcept;

    float* scratchA = nullptr; // uninitialised
    float* scratchB = nullptr; // zero-filled
    CAllPassFilterCascade* cascadeA = nullptr;
    CAllPassFilterCascade* cascadeB = nullptr;
    Vec2 work;
    double savedElement1 = 0.0;
    float previousOutput = 0.0f;
};

} // namespace libqor
