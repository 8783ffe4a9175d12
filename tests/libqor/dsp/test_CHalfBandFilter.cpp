#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <ostream>
#include <string>
#include <vector>

#include "libqor/dsp/CHalfBandFilter.h"
#include "SignalSupport.h"

using libqor::CHalfBandFilter;
using libqor::Vec2;

using signal_support::pi;
using signal_support::toneAmplitude;

namespace
{

// The stream through process_simdd, two samples per call.
std::vector<double> filterStream(CHalfBandFilter& h, const std::vector<double>& x)
{
    std::vector<double> y(x.size());
    for (size_t n = 0; n + 1 < x.size(); n += 2)
    {
        Vec2 v(x[n], x[n + 1]);
        h.process_simdd(&v);
        y[n] = v[0];
        y[n + 1] = v[1];
    }
    return y;
}

double gainDb(bool steep, double f)
{
    CHalfBandFilter h;
    h.create(12, steep);
    const int settle = 40000, measure = 40000;
    std::vector<double> x(settle + measure);
    for (size_t n = 0; n < x.size(); ++n)
        x[n] = std::sin(2.0 * pi * f * static_cast<double>(n));
    const auto y = filterStream(h, x);
    return 20.0 * std::log10(toneAmplitude(y, settle, f));
}

constexpr double steepA[6] = { 0.036681502163648017, 0.2746317593794541, 0.5610989697879195,
                               0.769741833862266,    0.8922608180038789, 0.962094548378084 };
constexpr double steepB[6] = { 0.13654762463195771, 0.42313861743656667, 0.6775400499741616,
                               0.839889624849638,   0.9315419599631839,  0.9878163707328971 };
constexpr double gentleA[6] = { 0.01677466677723562, 0.13902148819717805, 0.3325011117394731,
                                0.53766105314488,    0.7214184024215805,  0.8821858402078155 };
constexpr double gentleB[6] = { 0.06501319274445962, 0.23094129990840923, 0.4364942348420355,
                                0.6329609551399348,  0.8037808679411123,  0.9599687404800694 };

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

struct ResponseCase
{
    bool steep;
    double f;     // fraction of the filter's rate
    double minDb; // gain at least this
    double maxDb; // and at most this
};

void PrintTo(const ResponseCase& c, std::ostream* os)
{
    *os << (c.steep ? "steep" : "gentle") << " f=" << c.f << " [" << c.minDb << ", " << c.maxDb << "] dB";
}

class HalfBandResponse : public ::testing::TestWithParam<ResponseCase>
{};

std::string responseName(const ::testing::TestParamInfo<ResponseCase>& info)
{
    std::string f = std::to_string(info.param.f);
    for (auto& ch : f)
        if (ch == '.')
            ch = '_';
    return "f" + f;
}

TEST_P(HalfBandResponse, MeasuredThroughThePairPath)
{
    const auto c = GetParam();
    const double g = gainDb(c.steep, c.f);
    EXPECT_GE(g, c.minDb) << (c.steep ? "steep" : "gentle") << " f=" << c.f;
    EXPECT_LE(g, c.maxDb) << (c.steep ? "steep" : "gentle") << " f=" << c.f;
}

// Stop-band frequencies include the ripple peaks nearest the limits.
INSTANTIATE_TEST_SUITE_P(
    Steep, HalfBandResponse,
    ::testing::Values(ResponseCase { true, 0.01, -0.001, 0.001 }, ResponseCase { true, 0.125, -0.001, 0.001 },
                      ResponseCase { true, 0.2, -0.001, 0.001 }, ResponseCase { true, 0.2475, -0.001, 0.001 },
                      ResponseCase { true, 0.25, -3.02, -3.00 }, ResponseCase { true, 0.255, -400.0, -103.9 },
                      ResponseCase { true, 0.2758, -400.0, -103.9 }, ResponseCase { true, 0.3051, -400.0, -103.9 },
                      ResponseCase { true, 0.3654, -400.0, -103.9 }, ResponseCase { true, 0.4693, -400.0, -103.9 },
                      ResponseCase { true, 0.49, -400.0, -103.9 }),
    responseName);

INSTANTIATE_TEST_SUITE_P(
    Gentle, HalfBandResponse,
    ::testing::Values(ResponseCase { false, 0.01, -0.01, 0.01 }, ResponseCase { false, 0.125, -0.01, 0.01 },
                      ResponseCase { false, 0.2, -0.01, 0.01 }, ResponseCase { false, 0.243, -0.01, 0.01 },
                      ResponseCase { false, 0.25, -3.02, -3.00 }, ResponseCase { false, 0.275, -400.0, -159.4 },
                      ResponseCase { false, 0.2758, -400.0, -159.4 }, ResponseCase { false, 0.2829, -400.0, -159.4 },
                      ResponseCase { false, 0.3272, -400.0, -159.4 }, ResponseCase { false, 0.4401, -400.0, -159.4 },
                      ResponseCase { false, 0.49, -400.0, -159.4 }),
    responseName);

TEST(CHalfBandFilter, CreateBuildsSixSectionsPerCascadeFromTheSet)
{
    struct Case
    {
        bool steep;
        const double* a;
        const double* b;
    };
    const Case cases[] = { { true, steepA, steepB }, { false, gentleA, gentleB } };
    for (const auto& c : cases)
    {
        CHalfBandFilter h;
        h.create(3, c.steep); // the order argument changes nothing
        ASSERT_NE(h.cascadeA, nullptr);
        ASSERT_NE(h.cascadeB, nullptr);
        EXPECT_EQ(h.cascadeA->count, 6);
        EXPECT_EQ(h.cascadeB->count, 6);
        for (int k = 0; k < 6; ++k)
        {
            EXPECT_EQ(h.cascadeA->sections[k]->a, c.a[k]);
            EXPECT_EQ(h.cascadeB->sections[k]->a, c.b[k]);
        }
        EXPECT_EQ(h.savedElement1, 0.0);
        EXPECT_EQ(h.previousOutput, 0.0f);
        for (int k = 0; k < CHalfBandFilter::scratchLength; ++k)
            ASSERT_EQ(h.scratchB[k], 0.0f);
    }
}

// Written out from the filter's definition: A on {s0, s1}, B on {previous s1, s0},
// lane sums halved; each section lane ((a*u + p) - a*q) + 1e-25 - 1e-25.
TEST(CHalfBandFilter, PairPathMatchesTheDefinitionBitForBit)
{
    for (bool steep : { true, false })
    {
        const double* ca = steep ? steepA : gentleA;
        const double* cb = steep ? steepB : gentleB;
        double pa[6][2] = {}, qa[6][2] = {}, pb[6][2] = {}, qb[6][2] = {};
        auto lane = [](const double* c, double(*p)[2], double(*q)[2], int l, double u) {
            for (int k = 0; k < 6; ++k)
            {
                double out = c[k] * u + p[k][l];
                out = out - c[k] * q[k][l];
                out = out + 1e-25;
                out = out + -1e-25;
                p[k][l] = u;
                q[k][l] = out;
                u = out;
            }
            return u;
        };

        CHalfBandFilter h;
        h.create(12, steep);
        std::mt19937 rng(21);
        std::uniform_real_distribution<double> d(-1.0, 1.0);
        double saved = 0.0;
        for (int n = 0; n < 2000; ++n)
        {
            const double s0 = d(rng), s1 = d(rng);
            const double a0 = lane(ca, pa, qa, 0, s0);
            const double a1 = lane(ca, pa, qa, 1, s1);
            const double b0 = lane(cb, pb, qb, 0, saved);
            const double b1 = lane(cb, pb, qb, 1, s0);
            saved = s1;
            const double e0 = (a0 + b0) * 0.5, e1 = (a1 + b1) * 0.5;

            Vec2 v(s0, s1);
            h.process_simdd(&v);
            ASSERT_TRUE(sameBits(v[0], e0)) << (steep ? "steep " : "gentle ") << n;
            ASSERT_TRUE(sameBits(v[1], e1)) << (steep ? "steep " : "gentle ") << n;
        }
    }
}

TEST(CHalfBandFilter, ConstantSettlesToTheConstantAndNyquistToZero)
{
    for (bool steep : { true, false })
    {
        CHalfBandFilter dc, nyq;
        dc.create(12, steep);
        nyq.create(12, steep);
        const double c = 0.37;
        for (int n = 0; n < 5000; ++n)
        {
            Vec2 v(c, c);
            dc.process_simdd(&v);
            Vec2 w(c, -c);
            nyq.process_simdd(&w);
            if (n >= 4000)
            {
                EXPECT_NEAR(v[0], c, 1e-13);
                EXPECT_NEAR(v[1], c, 1e-13);
                EXPECT_NEAR(w[0], 0.0, 1e-13);
                EXPECT_NEAR(w[1], 0.0, 1e-13);
            }
        }
    }
}

// Clearing zeroes the sections only: the saved later sample still feeds
// cascade B on the next call, after which zeros stay exactly zero.
TEST(CHalfBandFilter, ClearingKeepsSavedSampleAndZeroesSections)
{
    CHalfBandFilter h;
    h.create(12, true);
    Vec2 v(0.5, -0.25);
    for (int n = 0; n < 10; ++n)
        h.process_simdd(&v);
    h.previousOutput = 0.125f;
    const double saved = h.savedElement1;
    ASSERT_NE(saved, 0.0);

    h.clear();
    EXPECT_EQ(h.savedElement1, saved);
    EXPECT_EQ(h.previousOutput, 0.125f);
    for (auto* cascade : { h.cascadeA, h.cascadeB })
        for (int k = 0; k < 6; ++k)
        {
            const auto* s = cascade->sections[k];
            EXPECT_EQ(s->pairIn[0], 0.0);
            EXPECT_EQ(s->pairIn[1], 0.0);
            EXPECT_EQ(s->pairOut[0], 0.0);
            EXPECT_EQ(s->pairOut[1], 0.0);
        }

    h.savedElement1 = 0.0;
    for (int n = 0; n < 100; ++n)
    {
        Vec2 z(0.0, 0.0);
        h.process_simdd(&z);
        ASSERT_EQ(z[0], 0.0);
        ASSERT_EQ(z[1], 0.0);
    }
}

// The float block slots of both cascades, combined as in the full-rate form,
// track the pair path to float precision.
TEST(CHalfBandFilter, FloatBlockSlotsAgreeWithThePairPath)
{
    CHalfBandFilter pair, block;
    pair.create(12, true);
    block.create(12, true);
    const int n = 1024;
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i)
        x[i] = 0.8 * std::sin(2.0 * pi * 0.0371 * i) + 0.1 * std::sin(2.0 * pi * 0.31 * i);
    const auto ref = filterStream(pair, x);

    std::vector<float> a(x.begin(), x.end()), b(x.begin(), x.end());
    (block.cascadeA->*(block.cascadeA->blockSlot))(a.data(), n);
    (block.cascadeB->*(block.cascadeB->blockSlot))(b.data(), n);
    for (int k = 0; k < n; ++k)
    {
        const float y = (a[k] + (k > 0 ? b[k - 1] : 0.0f)) * 0.5f;
        ASSERT_NEAR(y, ref[k], 2e-5) << k;
    }
}
