#pragma once

// Helpers for in-process GUI tests: one MessageManager for the whole program,
// a way to run its queued messages, synthesised mouse events and film strips
// whose frames can be told apart by a single pixel.

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace juce
{
// The Linux message loop's step; public API only offers it with modal loops.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
} // namespace juce

namespace guitest
{

class JuceEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { gui = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    void TearDown() override { gui.reset(); }

private:
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> gui;
};

// Runs every message that is already queued (async slider notifications,
// text editor changes, command messages).
inline void runPendingMessages()
{
    for (int i = 0; i < 1000 && juce::dispatchNextMessageOnSystemQueue(true); ++i)
    {}
}

// Runs messages for about ms milliseconds, for timers.
inline void runMessagesFor(int ms)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) ms;
    while (juce::Time::getMillisecondCounter() < end)
    {
        runPendingMessages();
        juce::Thread::sleep(2);
    }
    runPendingMessages();
}

inline juce::Time nextEventTime()
{
    // Distinct times: the slider ignores a wheel event with the previous one's time.
    static juce::int64 ms = 1000000;
    ms += 10;
    return juce::Time(ms);
}

inline juce::MouseEvent mouseEvent(juce::Component& c, juce::ModifierKeys mods, juce::Point<float> pos,
                                   juce::Point<float> downPos, int clicks = 1, bool dragged = false)
{
    const juce::Time t = nextEventTime();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), pos, mods,
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, t, downPos, t,
                            clicks, dragged);
}

inline juce::MouseEvent press(juce::Component& c, int mods = juce::ModifierKeys::leftButtonModifier)
{
    const juce::Point<float> centre = c.getLocalBounds().getCentre().toFloat();
    return mouseEvent(c, juce::ModifierKeys(mods), centre, centre);
}

constexpr int leftButton = juce::ModifierKeys::leftButtonModifier;
constexpr int rightButton = juce::ModifierKeys::rightButtonModifier;
constexpr int ctrlKey = juce::ModifierKeys::ctrlModifier;

// A strip of `frames` frames of w x h, frame k filled with a colour whose red
// and green bytes spell k.
inline juce::Image codedStrip(int w, int h, int frames)
{
    juce::Image strip(juce::Image::ARGB, w, h * frames, true);
    juce::Graphics g(strip);
    for (int k = 0; k < frames; ++k)
    {
        g.setColour(
            juce::Colour((juce::uint8)(k & 0xff), (juce::uint8)(k >> 8), (juce::uint8) 0x5a, (juce::uint8) 0xff));
        g.fillRect(0, k * h, w, h);
    }
    return strip;
}

// The coded frame a component paints at its centre, or -1 if it drew none.
inline int codedFrameShown(juce::Component& c)
{
    const int w = juce::jmax(1, c.getWidth());
    const int h = juce::jmax(1, c.getHeight());
    juce::Image canvas(juce::Image::ARGB, w, h, true);
    {
        juce::Graphics g(canvas);
        c.paint(g);
    }
    const juce::Colour px = canvas.getPixelAt(w / 2, h / 2);
    if (px.getAlpha() != 0xff || px.getBlue() != 0x5a)
        return -1;
    return px.getRed() | (px.getGreen() << 8);
}

} // namespace guitest
