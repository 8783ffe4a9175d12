#include "kym-host/PluginLoader.h"

#include <cstdlib>

// JUCE's LV2 host runs lilv's load-all again on every search after the one
// in its constructor, and lilv then drops its plug-in class list and the old
// search path without freeing them. The leak is the library's; LeakSanitizer
// reads this list in sanitizer builds of every program using this loader.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:lilv_world_load_plugin_classes\n"
           "leak:lilv_world_set_option\n";
}

namespace kymhost
{

namespace
{

// JUCE's LV2 format loads ~/.lv2 as soon as it exists, and lilv keeps the
// first bundle it meets for a URI: an installed copy would then shadow the
// bundle asked for. HOME points at an empty folder while the format starts.
class ScopedEmptyHome
{
public:
    ScopedEmptyHome()
    {
        if (const char* home = std::getenv("HOME"))
        {
            hadHome = true;
            previous = home;
        }

        ::setenv("HOME", folder.getFile().getFullPathName().toRawUTF8(), 1);
        folder.getFile().createDirectory();
    }

    ~ScopedEmptyHome()
    {
        if (hadHome)
            ::setenv("HOME", previous.c_str(), 1);
        else
            ::unsetenv("HOME");

        folder.getFile().deleteRecursively();
    }

    ScopedEmptyHome(const ScopedEmptyHome&) = delete;
    ScopedEmptyHome& operator=(const ScopedEmptyHome&) = delete;

private:
    juce::TemporaryFile folder;
    bool hadHome = false;
    std::string previous;
};

// Other bundles in the same folder may hold other plug-ins: only the URIs
// the bundle's own manifest names count.
bool bundleHolds(const juce::File& bundle, const juce::String& uri)
{
    return bundle.getChildFile("manifest.ttl").loadFileAsString().contains("<" + uri + ">");
}

} // namespace

PluginLoader::PluginLoader()
{
    const ScopedEmptyHome emptyHome;
    lv2 = std::make_unique<juce::LV2PluginFormat>();
}

PluginLoader::~PluginLoader() = default;

bool PluginLoader::parseKind(const juce::String& text, PluginKind& kind)
{
    if (text.equalsIgnoreCase("vst3"))
        kind = PluginKind::vst3;
    else if (text.equalsIgnoreCase("lv2"))
        kind = PluginKind::lv2;
    else
        return false;

    return true;
}

juce::String PluginLoader::kindName(PluginKind kind)
{
    return kind == PluginKind::vst3 ? "vst3" : "lv2";
}

bool PluginLoader::describe(PluginKind kind, const juce::File& bundle, juce::PluginDescription& description,
                            juce::String& error)
{
    if (!bundle.isDirectory())
    {
        error = "no plug-in bundle at " + bundle.getFullPathName();
        return false;
    }

    juce::OwnedArray<juce::PluginDescription> found;

    if (kind == PluginKind::vst3)
    {
        vst3.findAllTypesForFile(found, bundle.getFullPathName());
    }
    else
    {
        // LV2 plug-ins are found by URI among the bundles of the folders
        // searched so far; the bundle's own folder is added to them.
        // A folder is searched once: searching again makes lilv reload every
        // bundle it already knows.
        const auto folder = bundle.getParentDirectory().getFullPathName();

        if (lv2Folders.addIfNotAlreadyThere(folder))
        {
            juce::FileSearchPath path;

            for (const auto& f : lv2Folders)
                path.add(juce::File(f));

            lv2Uris = lv2->searchPathsForPlugins(path, false, false);
        }

        for (const auto& uri : lv2Uris)
        {
            juce::OwnedArray<juce::PluginDescription> candidates;
            lv2->findAllTypesForFile(candidates, uri);

            for (auto* candidate : candidates)
                if (candidate->fileOrIdentifier == uri && bundleHolds(bundle, uri))
                    found.add(new juce::PluginDescription(*candidate));
        }
    }

    if (found.isEmpty())
    {
        error = "no " + kindName(kind) + " plug-in found in " + bundle.getFullPathName();
        return false;
    }

    description = *found.getFirst();
    return true;
}

std::unique_ptr<juce::AudioPluginInstance> PluginLoader::load(PluginKind kind, const juce::File& bundle,
                                                              double sampleRate, int blockSize, juce::String& error)
{
    juce::PluginDescription description;

    if (!describe(kind, bundle, description, error))
        return nullptr;

    juce::AudioPluginFormat& format = kind == PluginKind::vst3 ? static_cast<juce::AudioPluginFormat&>(vst3)
                                                               : static_cast<juce::AudioPluginFormat&>(*lv2);

    auto instance = format.createInstanceFromDescription(description, sampleRate, blockSize, error);

    if (instance == nullptr && error.isEmpty())
        error = "the host could not create an instance of " + description.name;

    return instance;
}

bool PluginLoader::prepare(juce::AudioPluginInstance& plugin, int ins, int outs, double sampleRate, int blockSize,
                           juce::String& error)
{
    const auto set = [](int n) {
        return n == 1 ? juce::AudioChannelSet::mono()
            : n == 2  ? juce::AudioChannelSet::stereo()
                      : juce::AudioChannelSet::discreteChannels(n);
    };

    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add(set(ins));
    layout.outputBuses.add(set(outs));

    if (!plugin.setBusesLayout(layout))
    {
        error = juce::String(ins) + " in / " + juce::String(outs) + " out is not offered by " + plugin.getName();
        return false;
    }

    plugin.setRateAndBufferSizeDetails(sampleRate, blockSize);
    plugin.prepareToPlay(sampleRate, blockSize);
    return true;
}

juce::AudioProcessorParameter* PluginLoader::findParameter(juce::AudioPluginInstance& plugin, const juce::String& name)
{
    // The format's own bypass (VST3 wrapper, LV2 enabled port) is also called
    // "Bypass"; the plug-in's parameters are the others.
    for (auto* p : plugin.getParameters())
        if (p != plugin.getBypassParameter() && p->getName(1024) == name)
            return p;

    return nullptr;
}

} // namespace kymhost
