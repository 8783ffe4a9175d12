#include "libqor/Parameter.h"

#include "libqor/AutomatableParameter.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

namespace libqor
{

// Immutable copy of the observer list. A notification walks whichever copy is
// current at each step, so a list changed on another thread (or by an observer
// during the walk) is never read while it is being rewritten.
struct Parameter::ObserverView
{
    std::vector<ParamObserver*> entries;
};

namespace
{

// Walks in progress on all threads, and on the calling one. A writer frees the
// copy it replaced only when every walk but its own thread's has finished: a
// walk on the writer's own thread is the one that called it, and re-reads the
// current copy after the observer returns.
std::atomic<int> walksInProgress { 0 };

// Initial-exec TLS: the plug-in is dlopen'ed, and dynamic TLS would allocate
// on a thread's first access, which may be on the audio thread.
[[gnu::tls_model("initial-exec")]] thread_local int walksOnThisThread = 0;

struct WalkScope
{
    WalkScope() noexcept
    {
        ++walksOnThisThread;
        walksInProgress.fetch_add(1);
    }

    ~WalkScope()
    {
        walksInProgress.fetch_sub(1);
        --walksOnThisThread;
    }

    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;
};

} // namespace

Parameter::Parameter() : observers(observerList) {}

Parameter::~Parameter()
{
    if (connectedSlot != nullptr)
        connectedSlot->Disconnect();

    delete walkView.exchange(nullptr);
}

void Parameter::InitDouble(const juce::String& newId, const juce::String& newName, double newDefault,
                           double newMin, double newMax, double newInterval,
                           const juce::String& newLabel, double newSkew)
{
    if (type == TypeUnset)
        type = TypeContinuous;

    id = newId;
    name = newName;
    label = newLabel;
    value.store(newDefault);
    minValue = newMin;
    maxValue = std::max(newMax, newMin + newInterval);
    interval = newInterval;
    defaultValue = newDefault;
    skew = newSkew;
    displayRange = juce::Range<double>(minValue, maxValue);
}

void Parameter::InitInt(const juce::String& newId, const juce::String& newName, int newMin, int newMax,
                        int newDefault, const juce::String& newLabel)
{
    if (type == TypeUnset)
        type = TypeInteger;

    InitDouble(newId, newName, (double) newDefault, (double) newMin, (double) newMax, 1.0, newLabel, 1.0);
}

void Parameter::InitBool(const juce::String& newId, const juce::String& newName, const juce::String& newLabel)
{
    if (type == TypeUnset)
        type = TypeSwitch;

    InitInt(newId, newName, 0, 1, 0, newLabel);
}

void Parameter::SetDisplayText(int textValue, const juce::String& text)
{
    displayTexts.add({ (int32_t) textValue, text });
}

// Changes the list under the writers' lock, drops null entries, publishes the
// new list to the notification walk and waits until no walk can still see
// the old one.
template <typename Edit>
void Parameter::editObservers(Edit edit)
{
    ObserverView* old;
    {
        const std::lock_guard<std::mutex> lock(observerWriteLock);
        edit(observerList);
        observerList.removeAllInstancesOf(nullptr);
        old = publishObserversLocked();
    }
    retireView(old);
}

void Parameter::AddObserver(ParamObserver* observer)
{
    editObservers([observer](juce::Array<ParamObserver*>& list) { list.addIfNotAlreadyThere(observer); });
}

void Parameter::RemoveObserver(ParamObserver* observer)
{
    // Once this returns no other thread can still call the removed observer,
    // so the caller may destroy it.
    editObservers([observer](juce::Array<ParamObserver*>& list) { list.removeAllInstancesOf(observer); });
}

Parameter::ObserverView* Parameter::publishObserversLocked()
{
    auto* fresh = new ObserverView { std::vector<ParamObserver*>(observerList.begin(), observerList.end()) };
    return walkView.exchange(fresh);
}

void Parameter::retireView(ObserverView* old)
{
    while (walksInProgress.load() > walksOnThisThread)
        std::this_thread::yield();

    delete old;
}

double Parameter::GetNormalised() const
{
    double c = value.load();
    if (c < minValue)
        c = minValue;
    if (c > maxValue)
        c = maxValue;
    return std::pow((c - minValue) / (maxValue - minValue), 1.0 / skew);
}

double Parameter::GetNormalisedDefault() const
{
    return std::pow((defaultValue - minValue) / (maxValue - minValue), 1.0 / skew);
}

void Parameter::SetNormalised(double x, ParamObserver* skipObserver)
{
    double candidate = minValue + (maxValue - minValue) * std::pow(x, skew);

    if (type != TypeContinuous)
        candidate = std::floor(candidate / interval + 0.5) * interval;

    if (candidate > maxValue)
        candidate = maxValue;

    // Hosts and stored records can hand in values below 0; below the minimum
    // the pot laws downstream pass through zero and the tone network blows up.
    if (candidate < minValue)
        candidate = minValue;

    ApplyValue(candidate, skipObserver);
}

void Parameter::ApplyValue(double candidate, ParamObserver* skipObserver)
{
    // A NaN from a host or a record leaves the value as it was.
    if (std::isnan(candidate))
        return;

    // Compare before storing, so no other thread sees a rejected candidate.
    if (std::abs(candidate - value.load()) > 1e-16)
    {
        value.store(candidate);
        notifyObservers(skipObserver);
    }
}

void Parameter::notifyObservers(ParamObserver* skipObserver)
{
    const WalkScope walking;

    // Length and entry are re-read at every step: an observer may change the
    // list while it is being told.
    for (int i = 0;; ++i)
    {
        ParamObserver* observer;
        {
            const ObserverView* view = walkView.load();
            if (view == nullptr || i >= (int) view->entries.size())
                break;
            observer = view->entries[(size_t) i];
        }

        if (observer != nullptr && observer != skipObserver)
            observer->notifyParamChange(this);
    }
}

} // namespace libqor
