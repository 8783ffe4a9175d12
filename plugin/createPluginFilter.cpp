// The entry every JUCE plug-in wrapper (VST3, LV2, and AU, VST, AAX where
// built) calls to make one instance.

#include "plugin/KymAudioProcessor.h"

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new KymAudioProcessor();
}
