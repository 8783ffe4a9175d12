#include "HostTestSupport.h"

namespace kymtest
{

namespace
{

// JUCE's message thread is the test thread, as in a DAW's main thread; the
// loader lives as long as the program so bundles are scanned once.
class HostEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        juceInit = std::make_unique<juce::ScopedJuceInitialiser_GUI>();
        pluginLoader = std::make_unique<kymhost::PluginLoader>();
    }

    void TearDown() override
    {
        pluginLoader.reset();
        juceInit.reset();
    }

    static std::unique_ptr<juce::ScopedJuceInitialiser_GUI> juceInit;
    static std::unique_ptr<kymhost::PluginLoader> pluginLoader;
};

std::unique_ptr<juce::ScopedJuceInitialiser_GUI> HostEnvironment::juceInit;
std::unique_ptr<kymhost::PluginLoader> HostEnvironment::pluginLoader;

[[maybe_unused]] auto* const environment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

} // namespace

kymhost::PluginLoader& loader()
{
    return *HostEnvironment::pluginLoader;
}

} // namespace kymtest
