#include "libqor/Parameter.h"

#include "libqor/AutomatableParameter.h"

#include <algorithm>
#include <cmath>
#include <memory>
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

// The notifications in progress on one thread, innermost first: an editor
// must not wait for a call that its own thread is making.
struct Parameter::WalkFrame
{
    const Parameter* parameter;
    WalkSlot* slot; // null when the walk found every slot taken
    WalkFrame* outer;
};

namespace
{

// Initial-exec TLS: the plug-in is dlopen'ed, and dynamic TLS would allocate
// on a thread's first access, which may be on the audio thread.
[[gnu::tls_model("initial-exec")]] thread_local void* innermostWalk = nullptr;

} // namespace

// Takes a free slot for one walk (or counts it among the unslotted ones) and
// records the walk on its thread, for as long as the walk runs.
class Parameter::WalkScope
{
public:
    explicit WalkScope(Parameter& p) noexcept : owner(p)
    {
        frame.parameter = &p;
        frame.slot = nullptr;
        for (auto& slot : p.walkSlots)
            if (!slot.taken.load(std::memory_order_relaxed) && !slot.taken.exchange(true, std::memory_order_acquire))
            {
                frame.slot = &slot;
                break;
            }
        if (frame.slot == nullptr)
            p.unslottedWalks.fetch_add(1);
        frame.outer = static_cast<WalkFrame*>(innermostWalk);
        innermostWalk = &frame;
    }

    ~WalkScope()
    {
        innermostWalk = frame.outer;
        if (frame.slot != nullptr)
        {
            frame.slot->calling.store(nullptr, std::memory_order_release);
            frame.slot->taken.store(false, std::memory_order_release);
        }
        else
            owner.unslottedWalks.fetch_sub(1);
    }

    WalkScope(const WalkScope&) = delete;
    WalkScope& operator=(const WalkScope&) = delete;

    WalkSlot* slot() const noexcept { return frame.slot; }

private:
    Parameter& owner;
    WalkFrame frame;
};

Parameter::Parameter() : observers(observerList) {}

Parameter::~Parameter()
{
    if (connectedSlot != nullptr)
        connectedSlot->Disconnect();

    // No notification can be running on a parameter that is being destroyed.
    delete walkView.exchange(nullptr);
    for (int i = 0; i < retiredCount; ++i)
        delete retired[i];
}

void Parameter::InitDouble(const juce::String& newId, const juce::String& newName, double newDefault, double newMin,
                           double newMax, double newInterval, const juce::String& newLabel, double newSkew)
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

void Parameter::InitInt(const juce::String& newId, const juce::String& newName, int newMin, int newMax, int newDefault,
                        const juce::String& newLabel)
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

// Changes the list under the writers' lock, drops null entries and publishes
// a copy of the new list to the notification walk. The copy it replaces is
// freed once no step is reading it, by this edit or a later one.
template <typename Edit>
void Parameter::editObservers(Edit edit)
{
    const std::lock_guard<std::mutex> lock(observerWriteLock);
    // Room first: once the list has changed, nothing may fail before the walk
    // sees the change.
    auto fresh = std::make_unique<ObserverView>();
    fresh->entries.reserve((size_t) observerList.size() + 1);
    edit(observerList);
    observerList.removeAllInstancesOf(nullptr);
    fresh->entries.assign(observerList.begin(), observerList.end());
    retireLocked(walkView.exchange(fresh.release()));
}

void Parameter::AddObserver(ParamObserver* observer)
{
    editObservers([observer](juce::Array<ParamObserver*>& list) { list.addIfNotAlreadyThere(observer); });
}

void Parameter::RemoveObserver(ParamObserver* observer)
{
    editObservers([observer](juce::Array<ParamObserver*>& list) { list.removeAllInstancesOf(observer); });
    // Outside the writers' lock: another edit never waits behind this one.
    if (observer != nullptr)
        awaitCallsOf(observer);
}

void Parameter::retireLocked(ObserverView* old)
{
    freeRetiredLocked();
    if (old == nullptr)
        return;
    // Only a step's few instructions of reading hold a copy, never an
    // observer's call, so this wait is short and cannot close a cycle.
    while (retiredCount == retiredCapacity)
    {
        std::this_thread::yield();
        freeRetiredLocked();
    }
    retired[retiredCount++] = old;
    freeRetiredLocked();
}

void Parameter::freeRetiredLocked()
{
    int kept = 0;
    for (int i = 0; i < retiredCount; ++i)
    {
        if (isBeingRead(retired[i]))
            retired[kept++] = retired[i];
        else
            delete retired[i];
    }
    retiredCount = kept;
}

bool Parameter::isBeingRead(const ObserverView* view) const
{
    if (unslottedReaders.load() != 0)
        return true;
    for (const auto& slot : walkSlots)
        if (slot.reading.load() == view)
            return true;
    return false;
}

// Returns once no walk of this parameter on another thread is calling the
// observer, or can still call it from a copy that holds it. A walk that
// checked its copy before the removal was published has announced its call;
// one that checks later sees the new copy and skips the observer.
void Parameter::awaitCallsOf(const ParamObserver* observer) const
{
    int ownUnslotted = 0;
    const auto ownsSlot = [&](const WalkSlot* slot) {
        for (auto* f = static_cast<const WalkFrame*>(innermostWalk); f != nullptr; f = f->outer)
            if (f->slot == slot)
                return true;
        return false;
    };
    for (auto* f = static_cast<const WalkFrame*>(innermostWalk); f != nullptr; f = f->outer)
        if (f->parameter == this && f->slot == nullptr)
            ++ownUnslotted;

    for (const auto& slot : walkSlots)
        if (!ownsSlot(&slot))
            while (slot.calling.load() == observer)
                std::this_thread::yield();

    // A walk without a slot says only that it runs: wait until it ends.
    while (unslottedWalks.load() > ownUnslotted)
        std::this_thread::yield();
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

// The observer at index, read from the copy current at this step, or null
// past its end. With a slot, the copy is announced before it is read and the
// call before it is made, each checked against the current copy afterwards:
// an edit publishes its copy before it looks at the slots, so either it sees
// the announcement or the walk sees its copy (seq_cst on both sides). Ending
// an announcement needs only release.
ParamObserver* Parameter::nextObserver(WalkSlot* slot, int index)
{
    if (slot == nullptr)
    {
        unslottedReaders.fetch_add(1);
        const ObserverView* view = walkView.load();
        ParamObserver* observer = nullptr;
        if (view != nullptr && index < (int) view->entries.size())
            observer = view->entries[(size_t) index];
        unslottedReaders.fetch_sub(1);
        return observer;
    }

    for (;;)
    {
        const ObserverView* view = walkView.load();
        slot->reading.store(view);
        if (walkView.load() != view)
            continue;

        ParamObserver* observer = nullptr;
        if (view != nullptr && index < (int) view->entries.size())
            observer = view->entries[(size_t) index];
        slot->calling.store(observer);
        const bool current = walkView.load() == view;
        slot->reading.store(nullptr, std::memory_order_release);
        if (current)
            return observer;
    }
}

void Parameter::notifyObservers(ParamObserver* skipObserver)
{
    const WalkScope walking(*this);

    // Length and entry are re-read at every step: an observer may change the
    // list while it is being told.
    for (int i = 0;; ++i)
    {
        ParamObserver* observer = nextObserver(walking.slot(), i);
        if (observer == nullptr)
            break;
        if (observer != skipObserver)
            observer->notifyParamChange(this);
        if (walking.slot() != nullptr)
            walking.slot()->calling.store(nullptr, std::memory_order_release);
    }
}

} // namespace libqor
