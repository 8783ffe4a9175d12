#include "libqor/gfx/PopupEditComponent.h"

#include "libqor/AutomatableParameter.h"

#include <algorithm>
#include <cmath>

namespace libqor::gfx
{

namespace
{

// The call-out box's own dismiss command.
constexpr int callOutBoxDismissCommand = 0x4f83a04b;

// True when x truncated toward zero is v; never converts an out-of-range double to int.
bool truncatesTo(double x, int32_t v)
{
    return std::trunc(x) == (double) v;
}

// Text of the first display-text pair for x truncated, or nullptr.
const juce::String* displayTextFor(const libqor::Parameter& p, double x)
{
    for (const auto& entry : p.displayTexts)
        if (truncatesTo(x, entry.value))
            return &entry.text;
    return nullptr;
}

} // namespace

const juce::String& PopupEditComponent::inputFilter()
{
    // 72 characters, among them U+00A8 (diaeresis).
    static const juce::String filter =
        juce::String::fromUTF8("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+:;!#$%&/()=?`'^\xc2\xa8*@_");
    return filter;
}

PopupEditComponent::PopupEditComponent(libqor::Parameter* p)
    : juce::PopupMenu::CustomComponent(true), parameter(p), valueEditor(juce::String(), 0)
{
    const juce::String start(displayValue(parameter->value.load()), 3);

    valueEditor.setReadOnly(false);
    valueEditor.setCaretVisible(true);
    valueEditor.setText(start, true);
    valueEditor.setWantsKeyboardFocus(true);
    valueEditor.setVisible(true);
    addChildComponent(valueEditor);

    valueEditor.setColour(juce::TextEditor::textColourId, juce::Colour(0xfffafafau));
    valueEditor.setColour(juce::TextEditor::backgroundColourId, juce::Colour(0x00ffffffu));
    valueEditor.setColour(juce::TextEditor::highlightColourId, juce::Colour(0xff900909u));
    valueEditor.setColour(juce::TextEditor::outlineColourId, juce::Colour(0x7fffffffu));
    valueEditor.setColour(juce::TextEditor::focusedOutlineColourId, juce::Colour(0xf6730004u));
    valueEditor.setColour(juce::CaretComponent::caretColourId, juce::Colour(0xff900000u));

    valueEditor.applyFontToAllText(valueEditor.getFont().withHeight(14.0f));
    valueEditor.addListener(this);

    okButton = std::make_unique<juce::TextButton>("OK", "Sets the new value.");
    okButton->addListener(this);
    okButton->setVisible(true);
    addChildComponent(*okButton);
}

PopupEditComponent::~PopupEditComponent()
{
    okButton.reset();
}

double PopupEditComponent::decibels(double x) const
{
    if (x > 0.0)
        return std::max(20.0 * std::log10(x), -100.0);
    return -100.0;
}

double PopupEditComponent::displayValue(double x) const
{
    if (parameter->showDecibels)
        return decibels(x);
    const double lo = parameter->displayRange.getStart();
    const double hi = parameter->displayRange.getEnd();
    return lo + (hi - lo) * (x - parameter->minValue) / (parameter->maxValue - parameter->minValue);
}

double PopupEditComponent::displayDefault(double x) const
{
    if (parameter->showDecibels)
        return decibels(x);
    const double lo = parameter->displayRange.getStart();
    const double hi = parameter->displayRange.getEnd();
    return lo
        + (hi - lo)
        * std::pow((x - parameter->minValue) / (parameter->maxValue - parameter->minValue), 1.0 / parameter->skew);
}

juce::String PopupEditComponent::valueLine() const
{
    const double v = parameter->value.load();
    const juce::String* text = displayTextFor(*parameter, v);
    return "Value: " + juce::String(displayValue(v), 3) + " "
        + (text != nullptr && text->isNotEmpty() ? *text : parameter->label);
}

juce::String PopupEditComponent::defaultLine() const
{
    const double d = displayDefault(parameter->defaultValue);
    const juce::String* text = displayTextFor(*parameter, d);
    return "Default: " + juce::String(d) + " " + (text != nullptr ? *text : juce::String());
}

juce::String PopupEditComponent::rangeLine() const
{
    double lo = parameter->displayRange.getStart();
    double hi = parameter->displayRange.getEnd();
    if (parameter->showDecibels)
    {
        lo = decibels(parameter->minValue);
        hi = decibels(parameter->maxValue);
    }
    return "Range: " + juce::String(lo) + " to " + juce::String(hi);
}

void PopupEditComponent::paint(juce::Graphics& g)
{
    const int w = getWidth();
    g.fillAll(juce::Colour(0xff242525u));
    g.setFont(getLookAndFeel().getPopupMenuFont().boldened().withHeight(12.0f));
    g.setColour(juce::Colours::white);
    g.drawFittedText(valueLine(), 0, 0, w, 12, juce::Justification::centred, 1);
    g.drawFittedText(defaultLine(), 0, 12, w, 12, juce::Justification::centred, 1);
    g.drawFittedText(rangeLine(), 0, 24, w, 12, juce::Justification::centred, 1);
}

void PopupEditComponent::resized()
{
    const int w = getWidth();
    valueEditor.setBounds(0, 36, w - 33, 18);
    valueEditor.setWantsKeyboardFocus(true);
    okButton->setBounds(w - 32, 36, 32, 18);
}

void PopupEditComponent::getIdealSize(int& idealWidth, int& idealHeight)
{
    idealWidth = 200;
    idealHeight = 72;
}

void PopupEditComponent::textEditorTextChanged(juce::TextEditor& editor)
{
    if (&editor != &valueEditor)
        return;
    // An unchanged text posts no further change message, so this settles.
    valueEditor.setText(valueEditor.getText().removeCharacters(inputFilter()), true);
}

void PopupEditComponent::textEditorReturnKeyPressed(juce::TextEditor&)
{
    juce::String text = valueEditor.getText();
    if (text.isNotEmpty())
    {
        text = text.removeCharacters(inputFilter());
        const int comma = text.indexOfChar(',');
        if (comma >= 0)
            text = text.replaceSection(comma, 1, ".");

        auto start = text.getCharPointer();
        const double x = juce::CharacterFunctions::readDoubleValue(start);

        libqor::Parameter& p = *parameter;
        const double mn = p.minValue;
        const double mx = p.maxValue;
        double t;
        if (p.showDecibels)
        {
            t = x > -100.0 ? std::pow(10.0, 0.05 * x) : 0.0;
        }
        else
        {
            const double lo = p.displayRange.getStart();
            const double hi = p.displayRange.getEnd();
            double c = x;
            if (c < lo)
                c = lo;
            if (c > hi)
                c = hi;
            t = mn + (mx - mn) * (c - lo) / (hi - lo);
        }
        const double candidate = t < mn ? mn : std::min(t, mx);

        // A typed value is one edit for the host: a gesture on the slot that
        // carries this parameter, if one does.
        libqor::AutomatableParameter* slot = p.connectedSlot;
        if (slot != nullptr && slot->connected.load() != &p)
            slot = nullptr;
        if (slot != nullptr)
            slot->beginChangeGesture();
        p.ApplyValue(candidate);
        if (slot != nullptr)
            slot->endChangeGesture();
    }
    repaint();
}

void PopupEditComponent::textEditorEscapeKeyPressed(juce::TextEditor&) {}

void PopupEditComponent::textEditorFocusLost(juce::TextEditor&) {}

void PopupEditComponent::buttonClicked(juce::Button* b)
{
    if (b != okButton.get())
        return;
    textEditorReturnKeyPressed(valueEditor);
    if (auto* box = findParentComponentOfClass<juce::CallOutBox>())
        box->postCommandMessage(callOutBoxDismissCommand);
}

} // namespace libqor::gfx
