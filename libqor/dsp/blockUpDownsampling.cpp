#include "libqor/dsp/blockUpDownsampling.h"

namespace libqor
{

namespace
{

inline double interpolate(double x, double& prevIn, double& prevOut) noexcept
{
    const double y = ((x - prevOut) * blockUpDownsampling::interpCoefficient) + prevIn;
    prevOut = y;
    prevIn = x;
    return y;
}

// Largest float block the scratch blocks take in one pass.
constexpr int floatChunk = CHalfBandFilter::scratchLength / 2;

// Up and down kernels by variant (rows in SimdLevel order) and factor
// (columns 1, 2, 4, 8).
struct KernelPair
{
    blockUpDownsampling::Kernel up;
    blockUpDownsampling::Kernel down;
};

using S = blockUpDownsampling;
const KernelPair kernelTable[4][4] = {
    { { &S::noUpsample, &S::noDownsample },
      { &S::upsampleSIMDd2x, &S::downsampleSIMDd2x },
      { &S::upsampleSIMDd4x, &S::downsampleSIMDd4x },
      { &S::upsampleSIMDd8x, &S::downsampleSIMDd8x } },
    { { &S::noUpsample, &S::noDownsample },
      { &S::upsample2x_sse2, &S::downsample2x_sse2 },
      { &S::upsample4x_sse2, &S::downsample4x_sse2 },
      { &S::upsample8x_sse2, &S::downsample8x_sse2 } },
    { { &S::noUpsample, &S::noDownsample },
      { &S::upsample2x_avx2, &S::downsample2x_avx2 },
      { &S::upsample4x_avx2, &S::downsample4x_avx2 },
      { &S::upsample8x_avx2, &S::downsample8x_avx2 } },
    { { &S::noUpsample, &S::noDownsample },
      { &S::upsample2x_avx512, &S::downsample2x_avx512 },
      { &S::upsample4x_avx512, &S::downsample4x_avx512 },
      { &S::upsample8x_avx512, &S::downsample8x_avx512 } },
};

int factorColumn(int32_t factor) noexcept
{
    return factor == 2 ? 1 : factor == 4 ? 2 : factor == 8 ? 3 : 0;
}

} // namespace

blockUpDownsampling::blockUpDownsampling() : level(dsp::bestSimdLevel())
{
    up1.create(12, true);
    up2.create(12, false);
    up3.create(12, false);
    down3.create(12, true);
    down2.create(12, true);
    down1.create(12, true);

    floatUpSlot = &blockUpDownsampling::upsample2x_sse;
    useKernels();

    clearSections();
}

void blockUpDownsampling::useKernels() noexcept
{
    const KernelPair& k = kernelTable[static_cast<int>(level)][factorColumn(factor)];
    upSlot = k.up;
    downSlot = k.down;
}

void blockUpDownsampling::clearSections() noexcept
{
    up1.clear();
    up2.clear();
    up3.clear();
    down1.clear();
    down2.clear();
    down3.clear();
}

void blockUpDownsampling::reset() noexcept
{
    clearSections();
    for (int k = 0; k < 3; ++k)
    {
        interpIn[k] = 0.0;
        interpOut[k] = 0.0;
    }
    for (CHalfBandFilter* filter : { &up1, &up2, &up3, &down1, &down2, &down3 })
    {
        filter->savedElement1 = 0.0;
        filter->previousOutput = 0.0f;
    }
}

void blockUpDownsampling::setFactor(int n) noexcept
{
    const int32_t previous = factor;
    factor = (n == 2 || n == 4 || n == 8) ? n : 1;
    if (factor == 2)
        floatUpSlot = &blockUpDownsampling::upsample2x_sse;
    useKernels();
    if (factor != previous)
        clearSections();
}

bool blockUpDownsampling::setSimdLevel(dsp::SimdLevel newLevel) noexcept
{
    if (!dsp::simdLevelSupported(newLevel))
        return false;
    level = newLevel;
    useKernels();
    return true;
}

void blockUpDownsampling::noUpsample(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        out[i] = in[i];
}

void blockUpDownsampling::noDownsample(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        out[i] = in[i];
}

void blockUpDownsampling::upLevel1(double x, double& r0, double& r1) noexcept
{
    const double y = interpolate(x, interpIn[0], interpOut[0]);
    work[0] = Vec2(y, x);
    up1.process_simdd(&work[0]);
    r0 = work[0][0];
    r1 = work[0][1];
}

void blockUpDownsampling::upLevel2(double r0, double r1, double* o) noexcept
{
    const double y0 = interpolate(r0, interpIn[1], interpOut[1]);
    const double y1 = interpolate(r1, interpIn[1], interpOut[1]);
    work[1] = Vec2(y0, r0);
    work[2] = Vec2(y1, r1);
    up2.process_simdd(&work[1]);
    up2.process_simdd(&work[2]);
    o[0] = work[1][0];
    o[1] = work[1][1];
    o[2] = work[2][0];
    o[3] = work[2][1];
}

void blockUpDownsampling::upsampleSIMDd2x(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        upLevel1(in[i], out[2 * i], out[2 * i + 1]);
}

void blockUpDownsampling::upsampleSIMDd4x(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        double r0, r1;
        upLevel1(in[i], r0, r1);
        upLevel2(r0, r1, out + 4 * i);
    }
}

void blockUpDownsampling::upsampleSIMDd8x(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        double r0, r1;
        upLevel1(in[i], r0, r1);
        double s[4];
        upLevel2(r0, r1, s);

        for (int k = 0; k < 4; ++k)
        {
            const double yk = interpolate(s[k], interpIn[2], interpOut[2]);
            work[3 + k] = Vec2(yk, s[k]);
        }
        for (int k = 0; k < 4; ++k)
            up3.process_simdd(&work[3 + k]);

        double* o = out + 8 * i;
        for (int k = 0; k < 4; ++k)
        {
            o[2 * k] = work[3 + k][0];
            o[2 * k + 1] = work[3 + k][1];
        }
    }
}

void blockUpDownsampling::downsampleSIMDd2x(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        work[0] = Vec2(in[2 * i], in[2 * i + 1]);
        down1.process_simdd(&work[0]);
        out[i] = work[0][0];
    }
}

void blockUpDownsampling::downsampleSIMDd4x(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        const double* x = in + 4 * i;
        work[0] = Vec2(x[0], x[1]);
        work[1] = Vec2(x[2], x[3]);
        down2.process_simdd(&work[0]);
        down2.process_simdd(&work[1]);

        work[2] = Vec2(work[0][0], work[1][0]);
        down1.process_simdd(&work[2]);
        out[i] = work[2][0];
    }
}

void blockUpDownsampling::downsampleSIMDd8x(double* in, double* out, int n) noexcept
{
    for (int i = 0; i < n; ++i)
    {
        const double* x = in + 8 * i;
        for (int k = 0; k < 4; ++k)
        {
            work[k] = Vec2(x[2 * k], x[2 * k + 1]);
            down3.process_simdd(&work[k]);
        }

        work[4] = Vec2(work[0][0], work[1][0]);
        work[5] = Vec2(work[2][0], work[3][0]);
        down2.process_simdd(&work[4]);
        down2.process_simdd(&work[5]);

        work[6] = Vec2(work[4][0], work[5][0]);
        down1.process_simdd(&work[6]);
        out[i] = work[6][0];
    }
}

void blockUpDownsampling::upsample2x_sse(float* in, float* out, int n) noexcept
{
    // Longer blocks go in chunks the scratch blocks hold; every stage keeps
    // its state, so the stream is the same as in one pass.
    while (n > 0)
    {
        const int m = n < floatChunk ? n : floatChunk;
        const int len = 2 * m;

        double& p = interpIn[0];
        double& q = interpOut[0];
        for (int i = 0; i < m; ++i)
        {
            const double x = in[i];
            const float y = static_cast<float>(((x - q) * floatInterpCoefficient) + p);
            out[2 * i] = y;
            out[2 * i + 1] = in[i];
            q = y;
            p = x;
        }

        float* a = up1.scratchA;
        float* b = up1.scratchB;
        for (int k = 0; k < len; ++k)
        {
            a[k] = out[k];
            b[k] = out[k];
        }
        (up1.cascadeA->*(up1.cascadeA->blockSlot))(a, len);
        (up1.cascadeB->*(up1.cascadeB->blockSlot))(b, len);

        out[0] = (a[0] + up1.previousOutput) * 0.5f;
        for (int k = 1; k < len; ++k)
            out[k] = (a[k] + b[k - 1]) * 0.5f;
        up1.previousOutput = b[len - 1];

        in += m;
        out += len;
        n -= m;
    }
}

} // namespace libqor
