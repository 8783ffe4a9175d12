#pragma once

#include <memory>

#include <juce_gui_basics/juce_gui_basics.h>

#include "libqor/Parameter.h"

namespace libqor::gfx
{

// The value panel: shows a parameter's value, default and range and takes a typed value.
class PopupEditComponent : public juce::PopupMenu::CustomComponent,
                           public juce::TextEditor::Listener,
                           public juce::Button::Listener
{
public:
    // Characters a typed value loses before it is read.
    static const juce::String& inputFilter();

    explicit PopupEditComponent(libqor::Parameter* p);
    ~PopupEditComponent() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void getIdealSize(int& idealWidth, int& idealHeight) override;
    void textEditorTextChanged(juce::TextEditor& editor) override;
    void textEditorReturnKeyPressed(juce::TextEditor& editor) override;
    void textEditorEscapeKeyPressed(juce::TextEditor& editor) override;
    void textEditorFocusLost(juce::TextEditor& editor) override;
    void buttonClicked(juce::Button* b) override;

    // The three lines paint draws, top to bottom.
    juce::String valueLine() const;
    juce::String defaultLine() const;
    juce::String rangeLine() const;

    libqor::Parameter* parameter;
    juce::TextEditor valueEditor;
    std::unique_ptr<juce::TextButton> okButton;

private:
    double displayValue(double x) const;
    double displayDefault(double x) const;
    double decibels(double x) const;

    JUCE_DECLARE_NON_COPYABLE(PopupEditComponent)
};

} // namespace libqor::gfx
