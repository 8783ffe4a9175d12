// The editor of the built bundles in a real X window (Xvfb): what the screen
// shows, a real pointer drag, and closing and reopening under automation.
// X tools (xwd, xdotool) run as child processes while the message loop runs.

#include "tools/HostTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

using namespace kymtest;

namespace
{

constexpr int windowX = 40;
constexpr int windowY = 50;

void pumpFor(int ms)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

// Runs an X tool to its end while the message loop keeps the plug-in alive.
bool runTool(const juce::StringArray& args)
{
    juce::ChildProcess tool;
    if (!tool.start(args, 0))
        return false;
    for (int i = 0; i < 1000 && tool.isRunning(); ++i)
        pumpFor(10);
    return !tool.isRunning() && tool.getExitCode() == 0;
}

juce::uint32 bigEndian32(const juce::uint8* p)
{
    return ((juce::uint32) p[0] << 24) | ((juce::uint32) p[1] << 16) | ((juce::uint32) p[2] << 8) | p[3];
}

int shiftOf(juce::uint32 mask)
{
    int s = 0;
    while (mask != 0 && (mask & 1u) == 0)
    {
        mask >>= 1;
        ++s;
    }
    return s;
}

// A screenshot of the root window through xwd, as an RGB image. The file is
// this process's own: window tests of other builds may run at the same time.
juce::Image screenshot()
{
    const juce::File file = juce::File::getSpecialLocation(juce::File::tempDirectory)
                                .getChildFile("kym-window-" + juce::String((int) getpid()) + ".xwd");
    const bool taken = runTool({ "xwd", "-root", "-silent", "-out", file.getFullPathName() });
    juce::MemoryBlock data;
    const bool read = taken && file.loadFileAsData(data);
    file.deleteFile();
    if (!taken)
    {
        ADD_FAILURE() << "xwd failed";
        return {};
    }
    if (!read || data.getSize() < 100)
    {
        ADD_FAILURE() << "no screenshot in " << file.getFullPathName();
        return {};
    }
    const auto* bytes = static_cast<const juce::uint8*>(data.getData());
    auto field = [bytes](int i) { return bigEndian32(bytes + 4 * i); };
    const juce::uint32 headerSize = field(0), format = field(2), width = field(4), height = field(5),
                       byteOrder = field(7), bitsPerPixel = field(11), bytesPerLine = field(12), redMask = field(14),
                       greenMask = field(15), blueMask = field(16), colours = field(19);
    const size_t offset = headerSize + 12u * colours;
    // Pixels of 3 or 4 bytes; lines may hold more bytes than their pixels need.
    const juce::uint32 bytesPerPixel = bitsPerPixel / 8;
    if (format != 2 || (bytesPerPixel != 3 && bytesPerPixel != 4) || bytesPerLine < width * bytesPerPixel
        || data.getSize() < offset + (size_t) bytesPerLine * height)
    {
        ADD_FAILURE() << "unexpected xwd layout: format " << format << ", " << bitsPerPixel << " bits, " << bytesPerLine
                      << " bytes per line";
        return {};
    }

    juce::Image image(juce::Image::RGB, (int) width, (int) height, false);
    const juce::uint8* pixels = bytes + offset;
    for (juce::uint32 y = 0; y < height; ++y)
        for (juce::uint32 x = 0; x < width; ++x)
        {
            const juce::uint8* p = pixels + (size_t) y * bytesPerLine + bytesPerPixel * x;
            juce::uint32 v = 0;
            for (juce::uint32 b = 0; b < bytesPerPixel; ++b)
                v |= (juce::uint32) p[byteOrder == 0 ? b : bytesPerPixel - 1 - b] << (8 * b);
            image.setPixelAt((int) x, (int) y,
                             juce::Colour((juce::uint8)((v & redMask) >> shiftOf(redMask)),
                                          (juce::uint8)((v & greenMask) >> shiftOf(greenMask)),
                                          (juce::uint8)((v & blueMask) >> shiftOf(blueMask))));
        }
    return image;
}

juce::Image resource(const char* name)
{
    return juce::ImageFileFormat::loadFrom(juce::File(QOR_RESOURCES_DIR).getChildFile(name));
}

struct Placed
{
    const char* strip;
    int x, y, frames, frame;
};

// The editor as it must look with the default parameters: the background and
// each control's frame in z-order.
const Placed defaultLayout[] = {
    { "bar.png", 118, 280, 101, 50 }, { "knob.png", 8, 28, 81, 40 },    { "knob.png", 88, 28, 81, 40 },
    { "knob.png", 168, 28, 81, 40 },  { "knob.png", 248, 28, 81, 40 },  { "knob.png", 328, 28, 81, 0 },
    { "knob.png", 208, 100, 81, 40 }, { "switch.png", 368, 134, 2, 0 }, { "footswitch.png", 8, 180, 2, 0 },
    { "lamp.png", 100, 191, 2, 1 },
};

juce::Image expectedEditor(int driveFrame)
{
    juce::Image image(juce::Image::RGB, 420, 300, true);
    juce::Graphics g(image);
    g.drawImageAt(resource("background.png"), 0, 0, false);
    for (const Placed& c : defaultLayout)
    {
        const juce::Image strip = resource(c.strip);
        const int h = strip.getHeight() / c.frames;
        const int frame = (c.x == 88 && c.y == 28) ? driveFrame : c.frame;
        g.drawImage(strip, c.x, c.y, strip.getWidth(), h, 0, frame * h, strip.getWidth(), h, false);
    }
    return image;
}

// Share of the pixels in area (editor coordinates) that match within 2 per channel.
double matchShare(const juce::Image& screen, const juce::Image& expected, juce::Rectangle<int> area)
{
    int same = 0;
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
        {
            const juce::Colour a = screen.getPixelAt(windowX + x, windowY + y);
            const juce::Colour b = expected.getPixelAt(x, y);
            if (std::abs(a.getRed() - b.getRed()) <= 2 && std::abs(a.getGreen() - b.getGreen()) <= 2
                && std::abs(a.getBlue() - b.getBlue()) <= 2)
                ++same;
        }
    return (double) same / (double) (area.getWidth() * area.getHeight());
}

// What the host hears of one parameter, in order: "B" a change gesture
// begins, "V" the value changes, "E" the gesture ends.
struct ParameterWatch : juce::AudioProcessorParameter::Listener
{
    void parameterValueChanged(int, float) override { add('V'); }
    void parameterGestureChanged(int, bool starting) override { add(starting ? 'B' : 'E'); }

    void add(char c)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        record += c;
    }

    std::string heard() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return record;
    }

    mutable std::mutex mutex;
    std::string record;
};

// One gesture around one or more values, and nothing else.
bool isOneGesture(const std::string& heard)
{
    return heard.size() >= 3 && heard.front() == 'B' && heard.back() == 'E'
        && heard.find_first_not_of('V', 1) == heard.size() - 1;
}

// Xdotool's pointer drag on Drive, 30 pixels up in six steps, with or without the release.
juce::StringArray dragOnDrive(bool release)
{
    const juce::String x(windowX + 88 + 40), y(windowY + 28 + 40);
    juce::StringArray drag { "xdotool", "mousemove", x, y, "sleep", "0.1", "mousedown", "1" };
    for (int step = 1; step <= 6; ++step)
        drag.addArray({ "sleep", "0.05", "mousemove", x, juce::String(windowY + 68 - 5 * step) });
    if (release)
        drag.addArray({ "sleep", "0.1", "mouseup", "1" });
    return drag;
}

// The host's window: a bare top-level component at a fixed place on the screen.
class HostWindow
{
public:
    explicit HostWindow(juce::AudioPluginInstance& plugin)
    {
        editor.reset(plugin.createEditorIfNeeded());
        if (editor == nullptr)
            return;
        holder.setOpaque(true);
        holder.addAndMakeVisible(*editor);
        holder.setBounds(windowX, windowY, editor->getWidth(), editor->getHeight());
        holder.addToDesktop(0);
        holder.setVisible(true);
    }

    ~HostWindow()
    {
        editor.reset();
        holder.removeFromDesktop();
    }

    std::unique_ptr<juce::AudioProcessorEditor> editor;
    juce::Component holder;
};

class RealWindow : public ::testing::TestWithParam<PluginKind>
{};

// A loaded machine (or a sanitizer build) maps and paints the window late:
// looks again until the screen shows the expected editor, and in `area` every
// detail of it, for a generous while.
juce::Image waitForEditor(const juce::Image& expected, juce::Rectangle<int> area = { 0, 0, 420, 300 })
{
    juce::Image screen;
    for (int attempt = 0; attempt < 60; ++attempt)
    {
        pumpFor(attempt == 0 ? 800 : 250);
        screen = screenshot();
        if (screen.isValid() && matchShare(screen, expected, { 0, 0, 420, 300 }) > 0.995
            && matchShare(screen, expected, area) > 0.99)
            break;
    }
    return screen;
}

} // namespace

TEST_P(RealWindow, ShowsTheDefaultFramesAndFollowsAPointerDrag)
{
    auto plugin = open(GetParam());
    ASSERT_NE(plugin, nullptr);
    ASSERT_TRUE(plugin->hasEditor());
    HostWindow window(*plugin);
    ASSERT_NE(window.editor, nullptr);
    EXPECT_EQ(window.editor->getWidth(), 420);
    EXPECT_EQ(window.editor->getHeight(), 300);
    const juce::Image expected = expectedEditor(40);
    const juce::Image screen = waitForEditor(expected);
    ASSERT_TRUE(screen.isValid());

    // The editor's part of the screen, kept in the temporary folder for a look when this fails.
    {
        juce::FileOutputStream out(juce::File::getSpecialLocation(juce::File::tempDirectory)
                                       .getChildFile(juce::String("kym-window-") + kindName(GetParam()) + ".png"));
        if (out.openedOk())
        {
            out.setPosition(0);
            out.truncate();
            juce::PNGImageFormat().writeImageToStream(screen.getClippedImage({ 0, 0, windowX + 460, windowY + 340 }),
                                                      out);
        }
    }

    EXPECT_GT(matchShare(screen, expected, { 0, 0, 420, 300 }), 0.995);
    for (const Placed& c : defaultLayout)
    {
        const juce::Image strip = resource(c.strip);
        const juce::Rectangle<int> area(c.x, c.y, strip.getWidth(), strip.getHeight() / c.frames);
        EXPECT_GT(matchShare(screen, expected, area), 0.99) << c.strip << " at " << c.x << "," << c.y;
    }
    // The comparison tells frames apart: Drive at its top frame is not what shows.
    EXPECT_LT(matchShare(screen, expectedEditor(0), { 88, 28, 80, 80 }), 0.95);

    auto* drive = kymhost::PluginLoader::findParameter(*plugin, "Drive");
    ASSERT_NE(drive, nullptr);
    ParameterWatch watch;
    drive->addListener(&watch);
    const float before = drive->getValue();

    ASSERT_TRUE(runTool(dragOnDrive(true)));
    pumpFor(100);
    const std::string heard = watch.heard();
    // The framework's LV2 wrapper passes its host the values only, no gestures.
    if (GetParam() == PluginKind::vst3)
        EXPECT_TRUE(isOneGesture(heard)) << heard;

    // An LV2 host hands the UI's writes to the plug-in as it processes audio.
    juce::AudioBuffer<float> buffer = sine(1, blockSize, 48000.0);
    juce::MidiBuffer midi;
    for (int i = 0; i < 4; ++i)
    {
        pumpFor(50);
        plugin->processBlock(buffer, midi);
    }
    pumpFor(100);
    drive->removeListener(&watch);

    EXPECT_GT(drive->getValue(), before + 0.05f);
    EXPECT_NE(watch.heard().find('V'), std::string::npos);
    // Processing the edit sends nothing after the gesture's end.
    if (GetParam() == PluginKind::vst3)
        EXPECT_EQ(watch.heard(), heard);
}

// VST3 only: the framework's LV2 wrapper passes no gestures to its host.
TEST(RealWindowVst3, ClosingTheWindowMidDragEndsTheGesture)
{
    auto plugin = open(PluginKind::vst3);
    ASSERT_NE(plugin, nullptr);
    auto window = std::make_unique<HostWindow>(*plugin);
    ASSERT_NE(window->editor, nullptr);
    ASSERT_TRUE(waitForEditor(expectedEditor(40)).isValid());

    auto* drive = kymhost::PluginLoader::findParameter(*plugin, "Drive");
    ASSERT_NE(drive, nullptr);
    ParameterWatch watch;
    drive->addListener(&watch);

    ASSERT_TRUE(runTool(dragOnDrive(false)));
    pumpFor(100);
    const std::string held = watch.heard();
    EXPECT_EQ(held.front(), 'B') << held;
    EXPECT_EQ(held.find('E'), std::string::npos) << held;

    window.reset();
    pumpFor(100);
    const std::string heard = watch.heard();
    EXPECT_TRUE(isOneGesture(heard)) << heard;

    ASSERT_TRUE(runTool({ "xdotool", "mouseup", "1" }));
    pumpFor(100);
    drive->removeListener(&watch);
    EXPECT_EQ(watch.heard(), heard);
}

// VST3 only: an LV2 plug-in reads its host's writes only as it runs.
TEST(RealWindowVst3, FollowsHostWritesAndStateLoadsWithNoAudio)
{
    auto plugin = open(PluginKind::vst3);
    ASSERT_NE(plugin, nullptr);
    HostWindow window(*plugin);
    ASSERT_NE(window.editor, nullptr);
    ASSERT_TRUE(waitForEditor(expectedEditor(40)).isValid());
    auto* drive = kymhost::PluginLoader::findParameter(*plugin, "Drive");
    ASSERT_NE(drive, nullptr);
    const juce::Rectangle<int> driveArea { 88, 28, 80, 80 };

    // Drive's frame on the screen once the editor has caught up, or after the wait.
    auto driveShows = [&](int frame) {
        const juce::Image expected = expectedEditor(frame);
        return matchShare(waitForEditor(expected, driveArea), expected, driveArea);
    };

    drive->setValue(0.25f);
    EXPECT_GT(driveShows(20), 0.99);

    juce::MemoryBlock record;
    plugin->getStateInformation(record);
    drive->setValue(0.75f);
    EXPECT_GT(driveShows(60), 0.99);
    plugin->setStateInformation(record.getData(), (int) record.getSize());
    EXPECT_GT(driveShows(20), 0.99);
}

TEST_P(RealWindow, ClosingAndReopeningUnderAutomationIsSafe)
{
    auto plugin = open(GetParam());
    ASSERT_NE(plugin, nullptr);
    auto* drive = kymhost::PluginLoader::findParameter(*plugin, "Drive");
    auto* bypass = kymhost::PluginLoader::findParameter(*plugin, "Bypass");
    ASSERT_NE(drive, nullptr);
    ASSERT_NE(bypass, nullptr);

    std::atomic<bool> running { true };
    std::thread audio([&] {
        juce::AudioBuffer<float> buffer = sine(1, blockSize, 48000.0);
        juce::MidiBuffer midi;
        while (running.load())
        {
            plugin->processBlock(buffer, midi);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread automation([&] {
        for (int i = 0; running.load(); ++i)
        {
            drive->setValueNotifyingHost((float) (i % 100) / 100.0f);
            if (i % 25 == 0)
                bypass->setValueNotifyingHost((i / 25) % 2 == 0 ? 1.0f : 0.0f);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    for (int cycle = 0; cycle < 6; ++cycle)
    {
        HostWindow window(*plugin);
        ASSERT_NE(window.editor, nullptr) << "cycle " << cycle;
        pumpFor(150);
    }
    running = false;
    automation.join();
    audio.join();

    // The last value set reaches a newly opened editor.
    drive->setValueNotifyingHost(0.25f);
    juce::AudioBuffer<float> buffer = sine(1, blockSize, 48000.0);
    juce::MidiBuffer midi;
    plugin->processBlock(buffer, midi);
    EXPECT_NEAR(drive->getValue(), 0.25f, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(Formats, RealWindow, ::testing::Values(PluginKind::vst3, PluginKind::lv2),
                         [](const auto& info) { return std::string(kindName(info.param)); });

#if defined(__SANITIZE_THREAD__)
// The framework's LV2 host (the test's side, not the plug-in) reads the
// plug-in's control-port buffers for its editor while the audio thread runs
// the plug-in into them; LV2 shares port buffers without synchronisation by
// design. Only that host function is excused.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:juce::lv2_host::LV2AudioPluginInstance::postAllParametersToUi\n";
}
#endif
