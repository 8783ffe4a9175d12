#pragma once

#include "libqor/ParamObserver.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace libqor
{

class AutomatableParameter;

// One adjustable quantity of the plug-in, held in its own units (Drive 0..10).
// Hosts, editor and stored state talk to it in normalised 0..1 values through
// GetNormalised / SetNormalised.
//
// Threads: `value` is read on the audio thread while the host and the editor
// write it, hence atomic. Notifications run on the writer's thread and walk
// the observer list without a lock or an allocation, while the message thread
// may bind or unbind a control; see AddObserver / RemoveObserver.
class Parameter
{
public:
    enum ParamType : int32_t
    {
        TypeUnset = 0,
        TypeSwitch = 1,
        TypeInteger = 2,
        TypeContinuous = 4
    };

    struct DisplayText
    {
        int32_t value;
        juce::String text;
    };

    Parameter();
    ~Parameter();

    // The first, most specific initialiser called decides the type; each one
    // hands on to the more general one. Nobody is notified.
    void InitDouble(const juce::String& id, const juce::String& name, double defaultValue, double minValue,
                    double maxValue, double interval, const juce::String& label, double skew);
    void InitInt(const juce::String& id, const juce::String& name, int minValue, int maxValue, int defaultValue,
                 const juce::String& label);
    void InitBool(const juce::String& id, const juce::String& name, const juce::String& label);

    void SetDisplayText(int value, const juce::String& text);

    // Not for the audio thread: both allocate. Neither waits for a
    // notification of another parameter, and AddObserver waits for none at
    // all. RemoveObserver returns once no other thread is calling, or about
    // to call, the removed observer, so the caller may destroy it; a
    // notification on the caller's own thread (an observer removing itself
    // or another while it is told) reads the new list from its next step.
    void AddObserver(ParamObserver* observer);
    void RemoveObserver(ParamObserver* observer);

    double GetNormalised() const;
    double GetNormalisedDefault() const;

    void SetNormalised(double x, ParamObserver* skipObserver = nullptr);

    // The change test and notification every write ends with, for writers
    // that already hold a value in the parameter's own units.
    void ApplyValue(double candidate, ParamObserver* skipObserver = nullptr);

    bool automatable = true;
    bool showDecibels = false;
    std::atomic<double> value { 0.0 };
    double defaultValue = 0.0;
    double minValue = 0.0;
    double maxValue = 0.0;
    double interval = 0.0;
    double skew = 1.0;
    juce::String name;
    juce::String label;
    juce::String id;
    int32_t type = TypeUnset;
    AutomatableParameter* connectedSlot = nullptr;
    // Read-only view: the list changes only through AddObserver / RemoveObserver,
    // which keep the copy that notifications walk in step with it.
    const juce::Array<ParamObserver*>& observers;
    juce::Array<DisplayText> displayTexts;
    juce::Range<double> displayRange { 0.0, 1.0 };

    // Notifications of one parameter that can be in progress at once with a
    // record of their own (see WalkSlot). While more run, a removal also waits
    // for the extra ones to end, whatever observer they are calling.
    static constexpr int walkSlotCount = 8;

private:
    struct ObserverView;
    struct WalkSlot;
    struct WalkFrame;
    class WalkScope;

    template <typename Edit>
    void editObservers(Edit edit);
    void retireLocked(ObserverView* old);
    void freeRetiredLocked();
    bool isBeingRead(const ObserverView* view) const;
    void awaitCallsOf(const ParamObserver* observer) const;
    ParamObserver* nextObserver(WalkSlot* slot, int index);
    void notifyObservers(ParamObserver* skipObserver);

    // A notification in progress: the list copy it is reading (only for the
    // few instructions of one step) and the observer it is calling. Editors
    // free a copy nobody reads and wait only for a call of the observer they
    // removed.
    struct WalkSlot
    {
        std::atomic<bool> taken { false };
        std::atomic<const ObserverView*> reading { nullptr };
        std::atomic<const ParamObserver*> calling { nullptr };
    };

    // Copies replaced while a step was reading them, freed by a later edit.
    static constexpr int retiredCapacity = 8;

    juce::Array<ParamObserver*> observerList;
    std::mutex observerWriteLock;
    std::atomic<ObserverView*> walkView { nullptr };
    WalkSlot walkSlots[walkSlotCount];
    // Notifications that found every slot taken, and those of them inside a
    // step's read of the list.
    std::atomic<int> unslottedWalks { 0 };
    std::atomic<int> unslottedReaders { 0 };
    ObserverView* retired[retiredCapacity] {};
    int retiredCount = 0;

    JUCE_DECLARE_NON_COPYABLE(Parameter)
};

} // namespace libqor
