#pragma once

// The sampler's state compared to the bit, for the tests that run the fast
// kernels beside the reference kernels (the sampler's and the processor's).

#include "libqor/dsp/blockUpDownsampling.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

namespace samplertest
{

inline uint64_t bitsOf(double x)
{
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline uint32_t bitsOf(float x)
{
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Keeps the first difference found between two samplers' state.
struct StateDiff
{
    template <typename T>
    void check(const std::string& what, T a, T b)
    {
        if (first.empty() && bitsOf(a) != bitsOf(b))
        {
            std::ostringstream s;
            s.precision(17);
            s << what << ": " << a << " vs " << b;
            first = s.str();
        }
    }

    std::string first;
};

// Everything that carries over from block to block except lane 1 of the down
// filters' pair histories (no kept value depends on it, and the fast down
// kernels do not compute it). The work pairs are scratch.
inline void compareFilter(StateDiff& d, const std::string& name, const libqor::CHalfBandFilter& f,
                          const libqor::CHalfBandFilter& r, bool down)
{
    const libqor::CAllPassFilterCascade* fc[] = { f.cascadeA, f.cascadeB };
    const libqor::CAllPassFilterCascade* rc[] = { r.cascadeA, r.cascadeB };
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < 6; ++k)
        {
            const auto& fs = *fc[c]->sections[k];
            const auto& rs = *rc[c]->sections[k];
            const std::string at = name + (c == 0 ? " A" : " B") + " section " + std::to_string(k + 1);
            for (int lane = 0; lane < (down ? 1 : 2); ++lane)
            {
                d.check(at + " pairIn[" + std::to_string(lane) + "]", fs.pairIn[lane], rs.pairIn[lane]);
                d.check(at + " pairOut[" + std::to_string(lane) + "]", fs.pairOut[lane], rs.pairOut[lane]);
            }
            for (int i = 0; i < 3; ++i)
            {
                d.check(at + " xHist", fs.xHist[i], rs.xHist[i]);
                d.check(at + " yHist", fs.yHist[i], rs.yHist[i]);
            }
            d.check(at + " blockXm2", fs.blockXm2, rs.blockXm2);
            d.check(at + " blockXm1", fs.blockXm1, rs.blockXm1);
            d.check(at + " blockYm2", fs.blockYm2, rs.blockYm2);
            d.check(at + " blockYm1", fs.blockYm1, rs.blockYm1);
        }
    d.check(name + " savedElement1", f.savedElement1, r.savedElement1);
    d.check(name + " previousOutput", f.previousOutput, r.previousOutput);
}

inline ::testing::AssertionResult sameLiveState(const libqor::blockUpDownsampling& f,
                                                const libqor::blockUpDownsampling& r)
{
    if (f.factor != r.factor)
        return ::testing::AssertionFailure() << "factor " << f.factor << " vs " << r.factor;
    StateDiff d;
    compareFilter(d, "up1", f.up1, r.up1, false);
    compareFilter(d, "up2", f.up2, r.up2, false);
    compareFilter(d, "up3", f.up3, r.up3, false);
    compareFilter(d, "down1", f.down1, r.down1, true);
    compareFilter(d, "down2", f.down2, r.down2, true);
    compareFilter(d, "down3", f.down3, r.down3, true);
    for (int l = 0; l < 3; ++l)
    {
        d.check("interpIn[" + std::to_string(l) + "]", f.interpIn[l], r.interpIn[l]);
        d.check("interpOut[" + std::to_string(l) + "]", f.interpOut[l], r.interpOut[l]);
    }
    if (!d.first.empty())
        return ::testing::AssertionFailure() << d.first;
    return ::testing::AssertionSuccess();
}

} // namespace samplertest
