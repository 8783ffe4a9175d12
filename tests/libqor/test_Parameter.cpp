#include "libqor/Parameter.h"

#include "NotificationGate.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

namespace
{

using libqor::Parameter;
using libqor::ParamObserver;

uint64_t bitsOf(double d)
{
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// Writes every notification it gets into a shared journal.
struct Recorder : ParamObserver
{
    explicit Recorder(std::vector<Recorder*>* j = nullptr) : journal(j) {}

    void notifyParamChange(Parameter* p) override
    {
        ++calls;
        last = p;
        if (journal != nullptr)
            journal->push_back(this);
        if (onNotify)
            onNotify();
    }

    void parameterCheck(Parameter*) override {}

    int calls = 0;
    Parameter* last = nullptr;
    std::vector<Recorder*>* journal;
    std::function<void()> onNotify;
};

using qortest::Watchdog;
using namespace std::chrono_literals;

enum class Kind
{
    Bypass,
    Quality,
    Drive,
    Input
};

void initAs(Parameter& p, Kind kind)
{
    switch (kind)
    {
    case Kind::Bypass:
        p.InitBool("KYM_Bypass", "Bypass", "");
        break;
    case Kind::Quality:
        p.InitInt("KYM_Quality", "Quality", 0, 1, 0, "");
        break;
    case Kind::Drive:
        p.InitDouble("KYM_Drive", "Drive", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
        break;
    case Kind::Input:
        p.InitDouble("KYM_Input", "Input", 1.0, 0.0, 2.0, 0.0001, "", 1.0);
        break;
    }
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

struct SetCase
{
    const char* what;
    Kind kind;
    double x;
    double expected;
    bool notifies;
};

std::ostream& operator<<(std::ostream& os, const SetCase& c)
{
    return os << c.what;
}

class SetNormalisedTest : public ::testing::TestWithParam<SetCase>
{};

TEST_P(SetNormalisedTest, StoresRoundedClampedValueAndNotifiesOnChange)
{
    const SetCase& c = GetParam();
    Parameter p;
    initAs(p, c.kind);
    Recorder r;
    p.AddObserver(&r);

    p.SetNormalised(c.x);

    EXPECT_EQ(bitsOf(p.value.load()), bitsOf(c.expected)) << c.what << ": got " << p.value.load();
    EXPECT_EQ(r.calls, c.notifies ? 1 : 0) << c.what;
    if (c.notifies)
    {
        EXPECT_EQ(r.last, &p);
    }
}

// Each parameter starts at its default (Bypass and Quality 0, Drive 5, Input 1).
INSTANTIATE_TEST_SUITE_P(
    Table, SetNormalisedTest,
    ::testing::Values(SetCase { "Bypass half rounds up", Kind::Bypass, 0.5, 1.0, true },
                      SetCase { "Bypass just below half", Kind::Bypass, 0.49, 0.0, false },
                      SetCase { "Bypass 1.7 rounds to 2, capped", Kind::Bypass, 1.7, 1.0, true },
                      SetCase { "Bypass -0.7 rounds to -1, raised", Kind::Bypass, -0.7, 0.0, false },
                      SetCase { "Quality half rounds up", Kind::Quality, 0.5, 1.0, true },
                      SetCase { "Drive is not rounded", Kind::Drive, 0.123456789, 10.0 * 0.123456789, true },
                      SetCase { "Drive above 1 capped", Kind::Drive, 1.2, 10.0, true },
                      SetCase { "Drive below 0 raised to min", Kind::Drive, -0.5, 0.0, true },
                      SetCase { "Drive +inf capped", Kind::Drive, inf, 10.0, true },
                      SetCase { "Drive -inf raised to min", Kind::Drive, -inf, 0.0, true },
                      SetCase { "Drive NaN ignored", Kind::Drive, nan, 5.0, false },
                      SetCase { "Drive already there", Kind::Drive, 0.5, 5.0, false },
                      SetCase { "Input quarter", Kind::Input, 0.25, 0.5, true },
                      SetCase { "Input already there", Kind::Input, 0.5, 1.0, false }));

struct SmallChangeCase
{
    double start;
    double x;
    bool changes;
};

std::ostream& operator<<(std::ostream& os, const SmallChangeCase& c)
{
    return os << "from " << c.start << " to " << c.x;
}

class ChangeThresholdTest : public ::testing::TestWithParam<SmallChangeCase>
{};

// On a 0..1 continuous parameter the candidate equals x, so x sets the step.
TEST_P(ChangeThresholdTest, ChangesOfAtMost1e16KeepTheOldBits)
{
    const SmallChangeCase& c = GetParam();
    Parameter p;
    p.InitDouble("t", "t", c.start, 0.0, 1.0, 0.0001, "", 1.0);
    Recorder r;
    p.AddObserver(&r);

    p.SetNormalised(c.x);

    EXPECT_EQ(bitsOf(p.value.load()), bitsOf(c.changes ? c.x : c.start));
    EXPECT_EQ(r.calls, c.changes ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ChangeThresholdTest,
                         ::testing::Values(SmallChangeCase { 0.25, std::nextafter(0.25, 1.0), false },
                                           SmallChangeCase { 0.25, std::nextafter(0.25, 0.0), false },
                                           SmallChangeCase { 0.0, 1e-16, false },
                                           SmallChangeCase { 0.0, std::nextafter(1e-16, 1.0), true },
                                           SmallChangeCase { 0.25, 0.25 + 2e-16, true }));

TEST(ApplyValueTest, IsOnlyTheChangeTestAndNotification)
{
    Parameter p;
    p.InitBool("KYM_Bypass", "Bypass", "");
    Recorder a, b;
    p.AddObserver(&a);
    p.AddObserver(&b);

    p.ApplyValue(0.7, &a); // neither rounded nor clamped
    EXPECT_EQ(p.value.load(), 0.7);
    EXPECT_EQ(a.calls, 0);
    EXPECT_EQ(b.calls, 1);

    p.ApplyValue(nan);
    p.ApplyValue(0.7 + 1e-17);
    EXPECT_EQ(bitsOf(p.value.load()), bitsOf(0.7));
    EXPECT_EQ(b.calls, 1);
}

TEST(NormalisedTest, ClampsTheValueButNotTheDefault)
{
    Parameter p;
    p.InitDouble("t", "t", 20.0, 0.0, 10.0, 0.0001, "", 1.0);
    EXPECT_EQ(p.value.load(), 20.0); // the default is not clamped into the range
    EXPECT_EQ(p.GetNormalised(), 1.0);
    EXPECT_EQ(p.GetNormalisedDefault(), 2.0);

    p.InitDouble("t", "t", -1.0, 0.0, 10.0, 0.0001, "", 1.0);
    EXPECT_EQ(p.GetNormalised(), 0.0);
    EXPECT_EQ(p.GetNormalisedDefault(), -0.1);
}

TEST(NormalisedTest, SkewBendsBothDirections)
{
    Parameter p;
    p.InitDouble("t", "t", 0.25, 0.0, 1.0, 0.0001, "", 2.0);
    EXPECT_EQ(p.GetNormalised(), 0.5); // 0.25 ^ (1 / 2)

    p.SetNormalised(0.3);
    EXPECT_EQ(p.value.load(), 0.0 + 1.0 * std::pow(0.3, 2.0));
}

// --- initialisers ---------------------------------------------------------

struct InitCase
{
    const char* what;
    std::function<void(Parameter&)> init;
    int32_t type;
};

std::ostream& operator<<(std::ostream& os, const InitCase& c)
{
    return os << c.what;
}

class InitTypeTest : public ::testing::TestWithParam<InitCase>
{};

TEST_P(InitTypeTest, FirstInitialiserDecidesTheType)
{
    Parameter p;
    EXPECT_EQ(p.type, Parameter::TypeUnset);
    GetParam().init(p);
    EXPECT_EQ(p.type, GetParam().type) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, InitTypeTest,
    ::testing::Values(InitCase { "InitBool", [](Parameter& p) { p.InitBool("b", "b", ""); }, Parameter::TypeSwitch },
                      InitCase { "InitInt", [](Parameter& p) { p.InitInt("i", "i", 0, 3, 1, ""); },
                                 Parameter::TypeInteger },
                      InitCase { "InitDouble", [](Parameter& p) { p.InitDouble("d", "d", 0, 0, 1, 0.1, "", 1); },
                                 Parameter::TypeContinuous },
                      InitCase { "InitBool then InitDouble",
                                 [](Parameter& p) {
                                     p.InitBool("b", "b", "");
                                     p.InitDouble("d", "d", 0, 0, 1, 0.1, "", 1);
                                 },
                                 Parameter::TypeSwitch },
                      InitCase { "InitInt then InitBool",
                                 [](Parameter& p) {
                                     p.InitInt("i", "i", 0, 3, 1, "");
                                     p.InitBool("b", "b", "");
                                 },
                                 Parameter::TypeInteger }));

TEST(InitTest, InitBoolGivesTheSwitchRange)
{
    Parameter p;
    p.InitBool("KYM_Bypass", "Bypass", "");
    EXPECT_EQ(p.id, "KYM_Bypass");
    EXPECT_EQ(p.name, "Bypass");
    EXPECT_EQ(p.minValue, 0.0);
    EXPECT_EQ(p.maxValue, 1.0);
    EXPECT_EQ(p.defaultValue, 0.0);
    EXPECT_EQ(p.value.load(), 0.0);
    EXPECT_EQ(p.interval, 1.0);
    EXPECT_EQ(p.skew, 1.0);
    EXPECT_EQ(p.displayRange, juce::Range<double>(0.0, 1.0));
}

TEST(InitTest, MaximumIsKeptOneIntervalAboveMinimum)
{
    Parameter p;
    p.InitDouble("t", "t", 0.0, 0.0, 0.0, 0.5, "", 1.0);
    EXPECT_EQ(p.maxValue, 0.5);
    EXPECT_EQ(p.displayRange.getStart(), 0.0);
    EXPECT_EQ(p.displayRange.getEnd(), 0.5);
    EXPECT_EQ(p.GetNormalised(), 0.0);
}

TEST(InitTest, ReinitialisingKeepsObserversAndTextsAndNotifiesNobody)
{
    Parameter p;
    p.InitBool("KYM_Bypass", "Bypass", "");
    p.SetDisplayText(0, "off");
    p.SetDisplayText(1, "on");
    p.SetDisplayText(1, "again");
    Recorder r;
    p.AddObserver(&r);

    p.InitDouble("x", "X", 3.0, 0.0, 4.0, 1.0, "u", 1.0);

    EXPECT_EQ(r.calls, 0);
    EXPECT_EQ(p.value.load(), 3.0);
    ASSERT_EQ(p.observers.size(), 1);
    ASSERT_EQ(p.displayTexts.size(), 3);
    EXPECT_EQ(p.displayTexts[0].value, 0);
    EXPECT_EQ(p.displayTexts[0].text, "off");
    EXPECT_EQ(p.displayTexts[1].text, "on"); // an earlier pair for the same value stays first
    EXPECT_EQ(p.displayTexts[2].text, "again");
}

// --- observer list --------------------------------------------------------

class ObserverListTest : public ::testing::Test
{
protected:
    void SetUp() override { p.InitDouble("t", "t", 0.0, 0.0, 1.0, 0.0001, "", 1.0); }

    std::vector<Recorder*> journal;
    Recorder a { &journal }, b { &journal }, c { &journal }, d { &journal };
    Parameter p;
};

TEST_F(ObserverListTest, NotifiesInRegistrationOrderAndSkipsTheGivenOne)
{
    p.AddObserver(&a);
    p.AddObserver(&b);
    p.AddObserver(&c);

    p.SetNormalised(0.5);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &b, &c }));

    journal.clear();
    p.SetNormalised(0.6, &b);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &c }));
}

TEST_F(ObserverListTest, AddedTwiceIsNotifiedOnce)
{
    p.AddObserver(&a);
    p.AddObserver(&a);
    EXPECT_EQ(p.observers.size(), 1);

    p.SetNormalised(0.5);
    EXPECT_EQ(a.calls, 1);
}

TEST_F(ObserverListTest, NullIsNeverKept)
{
    p.AddObserver(nullptr);
    EXPECT_EQ(p.observers.size(), 0);

    p.AddObserver(&a);
    p.AddObserver(nullptr);
    p.RemoveObserver(nullptr);
    ASSERT_EQ(p.observers.size(), 1);
    EXPECT_EQ(p.observers[0], &a);

    p.SetNormalised(0.5);
    EXPECT_EQ(a.calls, 1);
}

TEST_F(ObserverListTest, RemoveKeepsTheOrderOfTheRest)
{
    p.AddObserver(&a);
    p.AddObserver(&b);
    p.AddObserver(&c);
    p.RemoveObserver(&b);
    p.RemoveObserver(&d); // not registered: nothing happens

    p.SetNormalised(0.5);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &c }));
}

TEST_F(ObserverListTest, ListGrowingPastItsFirstStorageKeepsOrder)
{
    std::vector<std::unique_ptr<Recorder>> many;
    std::vector<Recorder*> expected;
    for (int i = 0; i < 20; ++i)
    {
        many.push_back(std::make_unique<Recorder>(&journal));
        p.AddObserver(many.back().get());
        if (i % 3 != 0)
            expected.push_back(many.back().get());
    }
    for (int i = 0; i < 20; i += 3)
        p.RemoveObserver(many[(size_t) i].get());

    p.SetNormalised(0.5);
    EXPECT_EQ(journal, expected);
}

// The walk re-reads the list at each step, so an observer that removes itself
// moves its successor into the slot already visited.
TEST_F(ObserverListTest, ObserverRemovingItselfDuringTheWalk)
{
    p.AddObserver(&a);
    p.AddObserver(&b);
    p.AddObserver(&c);
    b.onNotify = [this] { p.RemoveObserver(&b); };

    p.SetNormalised(0.5);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &b }));

    journal.clear();
    p.SetNormalised(0.6);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &c }));
}

// Edits made from inside a notification, directly or through a notification
// of another parameter, never wait for the walk that their own thread is in.
TEST_F(ObserverListTest, EditsFromInsideTheWalkDoNotWaitForIt)
{
    Parameter q;
    q.InitDouble("q", "q", 0.0, 0.0, 1.0, 0.0001, "", 1.0);
    Recorder onQ { &journal };
    q.AddObserver(&onQ);
    p.AddObserver(&a);
    p.AddObserver(&b);
    p.AddObserver(&c);

    const Watchdog watchdog("edits from inside a notification", 60s);
    a.onNotify = [this] { p.RemoveObserver(&c); };
    p.SetNormalised(0.5);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &b }));

    // a is still being called on this thread when the nested walk removes it;
    // the outer walk then reads the shortened list.
    journal.clear();
    a.onNotify = [&] { q.SetNormalised(0.5); };
    onQ.onNotify = [this] { p.RemoveObserver(&a); };
    p.SetNormalised(0.6);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &onQ }));

    journal.clear();
    p.SetNormalised(0.7);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &b }));
}

TEST_F(ObserverListTest, ObserverAddedDuringTheWalkIsToldInTheSameWalk)
{
    p.AddObserver(&a);
    p.AddObserver(&b);
    a.onNotify = [this] { p.AddObserver(&d); };

    p.SetNormalised(0.5);
    EXPECT_EQ(journal, (std::vector<Recorder*> { &a, &b, &d }));
}

// --- threads --------------------------------------------------------------

// An observer must never be called once RemoveObserver has returned, even
// while another thread keeps writing the parameter.
struct Sentinel : ParamObserver
{
    void notifyParamChange(Parameter*) override
    {
        if (removed.load())
            lateCalls.fetch_add(1);
    }
    void parameterCheck(Parameter*) override {}

    std::atomic<bool> removed { false };
    static std::atomic<int> lateCalls;
};

std::atomic<int> Sentinel::lateCalls { 0 };

// Counts notifications from any number of threads.
struct Counter : ParamObserver
{
    void notifyParamChange(Parameter*) override { calls.fetch_add(1); }
    void parameterCheck(Parameter*) override {}

    std::atomic<long> calls { 0 };
};

using Gate = qortest::NotificationGate;

// Removes the observer on a thread of its own, so that the test sees whether
// the removal is still waiting.
class Removal
{
public:
    Removal(Parameter& p, ParamObserver* observer)
        : thread([this, &p, observer] {
              p.RemoveObserver(observer);
              returned = true;
          })
    {}
    ~Removal() { join(); }

    bool hasReturned() const { return returned.load(); }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }

private:
    std::atomic<bool> returned { false };
    std::thread thread;
};

// One notification is held inside an observer on another thread: edits that
// cannot reach that call return at once, a removed observer is not told
// afterwards, and removing the observer being called waits for its call.
TEST(ParameterThreadsTest, RemovalWaitsOnlyForACallOfTheRemovedObserver)
{
    Parameter p;
    p.InitDouble("t", "t", 0.0, 0.0, 1.0, 0.0001, "", 1.0);
    Recorder before, after, added;
    Gate gate;
    p.AddObserver(&before);
    p.AddObserver(&gate);
    p.AddObserver(&after);
    std::thread writer([&] { p.SetNormalised(0.5); });
    gate.waitUntilInside(1);

    {
        Watchdog watchdog("edits beside a notification held open", 60s);
        p.RemoveObserver(&after);
        p.AddObserver(&added);
        p.RemoveObserver(&added);
        p.RemoveObserver(&before); // already told: its call is over
    }

    Removal removal(p, &gate);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removal.hasReturned());

    gate.release();
    writer.join();
    removal.join();
    EXPECT_TRUE(removal.hasReturned());
    EXPECT_EQ(before.calls, 1);
    EXPECT_EQ(gate.calls, 1);
    EXPECT_EQ(after.calls, 0);
    EXPECT_EQ(added.calls, 0);
    EXPECT_EQ(p.observers.size(), 0);
}

// More notifications at once than the parameter keeps slots for: the ones
// without a slot still hold up the removal of the observer they call, and
// copies of the list replaced meanwhile are freed safely.
TEST(ParameterThreadsTest, NotificationsBeyondTheSlotsStillHoldUpTheirObserversRemoval)
{
    constexpr int walks = Parameter::walkSlotCount + 2;
    Parameter p;
    p.InitDouble("t", "t", 0.0, 0.0, 1.0, 0.0001, "", 1.0);
    Gate gate;
    p.AddObserver(&gate);
    std::vector<std::thread> writers;
    for (int i = 0; i < walks; ++i)
        writers.emplace_back([&p, i] { p.SetNormalised(0.01 * (i + 1)); });
    gate.waitUntilInside(walks);

    std::vector<std::unique_ptr<Counter>> late;
    {
        Watchdog watchdog("additions beside notifications held open", 60s);
        for (int i = 0; i < 20; ++i)
        {
            late.push_back(std::make_unique<Counter>());
            p.AddObserver(late.back().get());
        }
    }

    Removal removal(p, &gate);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removal.hasReturned());

    gate.release();
    for (auto& w : writers)
        w.join();
    removal.join();
    EXPECT_EQ(gate.calls, walks);
    ASSERT_EQ(p.observers.size(), 20);

    p.SetNormalised(0.9);
    for (const auto& r : late)
        EXPECT_GE(r->calls.load(), 1);
}

// With one writer and with several (who then share the parameter's slots).
TEST(ParameterThreadsTest, ObserverChurnWhileOtherThreadsWrite)
{
    for (const int writerCount : { 1, Parameter::walkSlotCount / 2 })
    {
        SCOPED_TRACE(writerCount);
        Sentinel::lateCalls = 0;
        Parameter p;
        p.InitDouble("t", "t", 0.0, 0.0, 1.0, 0.0001, "", 1.0);
        Counter steady;
        p.AddObserver(&steady);

        std::atomic<bool> stop { false };
        std::atomic<long> writes { 0 };
        std::vector<std::thread> writers;
        for (int w = 0; w < writerCount; ++w)
            writers.emplace_back([&, w] {
                // Values of its own, alternating, so that every write is a change.
                for (long i = 0; !stop.load(); ++i)
                {
                    p.SetNormalised((2 * w + (i & 1)) / 16.0 + 0.01);
                    writes.fetch_add(1);
                }
            });

        std::vector<std::unique_ptr<Sentinel>> retired;
        for (int round = 0; round < 2000; ++round)
        {
            retired.push_back(std::make_unique<Sentinel>());
            Sentinel* s = retired.back().get();
            p.AddObserver(s);
            std::this_thread::yield();
            p.RemoveObserver(s);
            s->removed.store(true);
        }

        stop.store(true);
        for (auto& w : writers)
            w.join();

        EXPECT_EQ(Sentinel::lateCalls.load(), 0);
        EXPECT_EQ(steady.calls.load(), writes.load());
        ASSERT_EQ(p.observers.size(), 1);
    }
}

} // namespace
