#include "libqor/dsp/CHalfBandFilter.h"

#include <emmintrin.h>

namespace libqor
{

namespace
{

constexpr double steepA[6] = { 0.036681502163648017, 0.2746317593794541, 0.5610989697879195,
                               0.769741833862266,    0.8922608180038789, 0.962094548378084 };
constexpr double steepB[6] = { 0.13654762463195771, 0.42313861743656667, 0.6775400499741616,
                               0.839889624849638,   0.9315419599631839,  0.9878163707328971 };
constexpr double gentleA[6] = { 0.01677466677723562, 0.13902148819717805, 0.3325011117394731,
                                0.53766105314488,    0.7214184024215805,  0.8821858402078155 };
constexpr double gentleB[6] = { 0.06501319274445962, 0.23094129990840923, 0.4364942348420355,
                                0.6329609551399348,  0.8037808679411123,  0.9599687404800694 };

// The pointer is published before its sections are built, so that the
// owner's destructor frees whatever a failed build left behind.
void buildCascade(CAllPassFilterCascade*& cascade, const double* coefficients)
{
    cascade = new CAllPassFilterCascade();
    cascade->sections = new CAllPassFilter*[CAllPassFilterCascade::sectionsPerCascade]();
    for (int i = 0; i < CAllPassFilterCascade::sectionsPerCascade; ++i)
        cascade->sections[i] = new CAllPassFilter(coefficients[i]);
    cascade->count = CAllPassFilterCascade::sectionsPerCascade;
    cascade->scalarSlot = &CAllPassFilterCascade::processOrder12;
    cascade->blockSlot = static_cast<CAllPassFilterCascade::BlockFn>(&CAllPassFilterCascade::processOrder12_SIMD);
    cascade->quadSlot = static_cast<CAllPassFilterCascade::QuadFn>(&CAllPassFilterCascade::processOrder12_SIMD);
    cascade->pairSlot = &CAllPassFilterCascade::processOrder12_SIMDd;
}

void destroyCascade(CAllPassFilterCascade*& cascade) noexcept
{
    delete cascade;
    cascade = nullptr;
}

} // namespace

CHalfBandFilter::CHalfBandFilter()
{
    scratchA = new float[scratchLength];
    try
    {
        scratchB = new float[scratchLength]();
    }
    catch (...)
    {
        delete[] scratchA;
        throw;
    }
}

CHalfBandFilter::~CHalfBandFilter()
{
    destroyCascade(cascadeA);
    destroyCascade(cascadeB);
    delete[] scratchB;
    delete[] scratchA;
}

void CHalfBandFilter::create(int /*order*/, bool steep)
{
    // A second call would leak the first cascades; they are built once.
    if (cascadeA != nullptr || cascadeB != nullptr)
        return;
    savedElement1 = 0.0;
    buildCascade(cascadeA, steep ? steepA : gentleA);
    buildCascade(cascadeB, steep ? steepB : gentleB);
    savedElement1 = 0.0;
}

void CHalfBandFilter::process_simdd(Vec2* v) noexcept
{
    // w = {previous later sample, this earlier sample}
    work.v = _mm_shuffle_pd(_mm_set_sd(savedElement1), v->v, 0x0);
    savedElement1 = (*v)[1];

    (cascadeA->*(cascadeA->pairSlot))(*v);
    (cascadeB->*(cascadeB->pairSlot))(work);

    v->v = _mm_mul_pd(_mm_add_pd(v->v, work.v), _mm_set1_pd(0.5));
}

void CHalfBandFilter::clear() noexcept
{
    if (cascadeA != nullptr)
        cascadeA->clear();
    if (cascadeB != nullptr)
        cascadeB->clear();
}

} // namespace libqor
