#pragma once

#include "libqor/ParamObserver.h"
#include "libqor/Parameter.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace libqor
{

// A host-visible automation slot. It answers the host from the parameter it is
// connected to (or from its own "spare" placeholder while disconnected) and
// reports every change of that parameter back through onChange.
//
// The base carries a stable ID per slot ("slot1".."slot9"): JUCE's LV2 wrapper
// names each host parameter by its ID, and without one all nine collapse into
// a single LV2 parameter.
class AutomatableParameter : public ParamObserver, public juce::AudioProcessorParameterWithID
{
public:
    explicit AutomatableParameter(int slotNumber);
    ~AutomatableParameter() override;

    void notifyParamChange(Parameter* parameter) override;
    void parameterCheck(Parameter* parameter) override;

    float getValue() const override;
    void setValue(float newValue) override;
    float getDefaultValue() const override;
    juce::String getName(int maximumStringLength) const override;
    juce::String getLabel() const override;
    int getNumSteps() const override;
    juce::String getText(float normalisedValue, int maximumStringLength) const override;
    float getValueForText(const juce::String& text) const override;
    bool isDiscrete() const override;
    bool isBoolean() const override;
    bool isOrientationInverted() const override;
    bool isAutomatable() const override;
    bool isMetaParameter() const override;

    void ConnectTo(Parameter* parameter, int newKey);
    void Disconnect();
    juce::String ConnectedTo() const;

    const int32_t slotNumber;
    int32_t key = -1;
    // Host calls read it on their own thread while the message thread may
    // connect or disconnect.
    std::atomic<Parameter*> connected { nullptr };
    const std::unique_ptr<Parameter> placeholder;
    std::function<void(int, float)> onChange;

private:
    Parameter& target() const noexcept;
    void resetPlaceholder();
};

} // namespace libqor
