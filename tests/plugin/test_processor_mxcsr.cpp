// Building a processor leaves the host thread's floating-point mode as it
// found it: the half-band sections set flush-to-zero on the thread that
// builds them, and construction gives the register back.

#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include <xmmintrin.h>

TEST(ProcessorMxcsr, ConstructionAndDestructionKeepTheThreadsRegister)
{
    const unsigned modes[] = {
        0x1F80u, // the power-on default
        0x9F80u, // flush-to-zero already on
        0x1FC0u, // denormals-are-zero
        0x3F80u, // rounding down
        0x1F81u, // an invalid-operation flag already raised; construction's own flags do not stay
    };
    for (const unsigned mode : modes)
    {
        SCOPED_TRACE(testing::Message() << std::hex << mode);
        unsigned afterConstruction = 0;
        unsigned afterDestruction = 0;
        std::thread([&] {
            _mm_setcsr(mode);
            auto p = std::make_unique<KymAudioProcessor>();
            afterConstruction = _mm_getcsr();
            p.reset();
            afterDestruction = _mm_getcsr();
            _mm_setcsr(0x1F80u);
        }).join();
        EXPECT_EQ(afterConstruction, mode);
        EXPECT_EQ(afterDestruction, mode);
    }
}
