#include "plugin/KymAudioProcessor.h"
#include "plugin/KymParameterTable.h"

#if __has_include("KymAudioProcessorEditor.h")
#include "KymAudioProcessorEditor.h"
#define QOR_KYM_HAS_EDITOR 1
#else
#define QOR_KYM_HAS_EDITOR 0
#endif

#include <algorithm>
#include <charconv>
#include <cmath>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace
{

constexpr int slotKey = 593953;

// Element starts allowed in a record before it is refused (see isSafeToParse).
constexpr int maxElementStarts = 256;

// %.20g in the C locale, whatever the process locale: to_chars with a
// precision is specified as printf's %g in the "C" locale.
juce::String formatNormalised(double x)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text), x, std::chars_format::general, 20);
    return juce::String::fromUTF8(text, static_cast<int>(result.ptr - text));
}

// The framework's reader gathers an exponent's digits in an int without a
// bound, and adds the count of integer digits beyond its precision to it, so
// a long exponent or a huge integer part overflows an int: undefined
// behaviour, from nothing but record text. Past five significant exponent
// digits or a million integer digits the C library reads the number alone; it
// saturates to infinity or zero, as the framework does for any exponent out
// of double's range.
bool readOutsizedNumber(const char* text, double& value) noexcept
{
    const char* p = text;
    if (*p == '+' || *p == '-')
        ++p;
    size_t integerDigits = 0;
    size_t fractionDigits = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        ++integerDigits;
    if (*p == '.')
        for (++p; *p >= '0' && *p <= '9'; ++p)
            ++fractionDigits;
    if (integerDigits + fractionDigits == 0)
        return false;

    int exponentDigits = 0;
    if (*p == 'e' || *p == 'E')
    {
        ++p;
        if (*p == '+' || *p == '-')
            ++p;
        while (*p == '0')
            ++p;
        for (; *p >= '0' && *p <= '9' && exponentDigits <= 5; ++p)
            ++exponentDigits;
    }
    if (exponentDigits <= 5 && integerDigits <= 1000000)
        return false;

    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    value = cLocale != nullptr ? strtod_l(text, nullptr, cLocale) : 0.0;
    return true;
}

// The framework's reader decides what counts as a number (the leading number
// of the text, 0 when there is none), but it keeps only 18 digits, leading
// zeros after the point included, so a small value written with 20 digits
// would come back a step off. The span it accepted is read again, correctly
// rounded, so a saved record loads back to exactly what was saved.
double readStateValue(const juce::String& text) noexcept
{
    auto chars = text.getCharPointer();
    const auto start = chars.findEndOfWhitespace();
    double outsized;
    if (readOutsizedNumber(start.getAddress(), outsized))
        return outsized;
    const double framework = juce::CharacterFunctions::readDoubleValue(chars);
    if (!std::isfinite(framework) || framework == 0.0)
        return framework;

    const char* first = start.getAddress();
    const char* last = chars.getAddress();
    if (first < last && *first == '+') // from_chars takes a minus sign, not a plus
        ++first;
    double exact = 0.0;
    const auto result = std::from_chars(first, last, exact, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != last || !std::isfinite(exact))
        return framework;
    return exact;
}

uint32_t readLittleEndian32(const uint8_t* bytes) noexcept
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8)
           | (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// strcasecmp in the C locale: ASCII letters only, so no other character can
// fold onto a tag name.
bool equalsIgnoringAsciiCase(const juce::String& text, const char* expected) noexcept
{
    const char* s = text.toRawUTF8();
    for (;; ++s, ++expected)
    {
        char a = *s;
        char b = *expected;
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
        if (a == '\0')
            return true;
    }
}

// Refuses what the framework's parser cannot take safely. It recurses once
// per nesting level, so a crafted record could exhaust the host thread's
// stack; nesting is bounded by the number of element starts, whatever hides
// them (a genuine record has three). And its UTF-8 reader steps over a
// sequence's continuation bytes without looking, so a sequence cut short at
// the end of the text would take it past the terminator.
bool isSafeToParse(const char* text, size_t length) noexcept
{
    int elementStarts = 0;
    for (size_t i = 0; i < length; ++i)
    {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte >= 0x80)
        {
            size_t continuation;
            if (byte >= 0xC0 && byte < 0xE0)
                continuation = 1;
            else if (byte >= 0xE0 && byte < 0xF0)
                continuation = 2;
            else if (byte >= 0xF0 && byte < 0xF8)
                continuation = 3;
            else
                return false; // a stray continuation byte or no lead byte at all
            if (continuation > length - 1 - i)
                return false;
            for (size_t k = 1; k <= continuation; ++k)
                if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80)
                    return false;
            i += continuation;
            continue;
        }
        if (byte != '<' || i + 1 >= length)
            continue;
        const char next = text[i + 1];
        if (next != '/' && next != '!' && next != '?' && ++elementStarts > maxElementStarts)
            return false;
    }
    return true;
}

// Bit mask instead of a test: any finite sample passes with its bits intact,
// Inf and NaN become 0.
inline float finiteOrZero(float sample) noexcept
{
    uint32_t bits;
    std::memcpy(&bits, &sample, sizeof(bits));
    const uint32_t finite = static_cast<uint32_t>((bits & 0x7f800000u) != 0x7f800000u);
    bits &= 0u - finite;
    std::memcpy(&sample, &bits, sizeof(bits));
    return sample;
}

// A finite sample beyond 24 dB over full scale is a host fault, not a signal.
// Held there, it can neither drive the linear dry path past float's range nor
// leave the filters ringing with it for seconds.
constexpr float maxInputSample = 16.0f;

// Above 192 kHz x 4 the tone stage's sixth-order section loses its poles to
// rounding and rings up to infinity (it does from about 0.9 MHz); the engine
// is never given a higher rate.
constexpr double maxEngineRate = 768000.0;

} // namespace

void Job::operator()() const noexcept
{
    if (kind == Kind::parameter)
        processor->runParameterJob(parameter);
    else
        processor->runRecheckJob(factor);
}

// Buses active by default: hosts may leave an optional bus unconnected (LV2
// marks the ports of an inactive one connectionOptional), and the wrappers
// then read and write null buffers. The wrappers replace this layout with the
// first of JucePlugin_PreferredChannelConfigurations and offer only those.
KymAudioProcessor::KymAudioProcessor()
    : juce::AudioProcessor(BusesProperties()
                               .withInput("Input", juce::AudioChannelSet::stereo(), true)
                               .withOutput("Output", juce::AudioChannelSet::stereo(), true))
{
    inputBuffer = std::make_unique<libqor::StereoSampleBuffer<double>>(maxBlockSize);
    oversampledBuffer = std::make_unique<libqor::StereoSampleBuffer<double>>(maxBlockSize * 8);
    outputBuffer = std::make_unique<libqor::StereoSampleBuffer<double>>(maxBlockSize);

    for (int i = 0; i < kym::parameterCount; ++i)
    {
        auto* slot = automationSlots.add(new libqor::AutomatableParameter(i + 1));
        slot->onChange = [this](int index, float value) { sendParamChangeMessage(index, value); };
        parameters.add(new libqor::Parameter());
    }

    for (int i = 0; i < kym::parameterCount; ++i)
    {
        const auto& row = kym::parameterTable[i];
        auto* parameter = parameters[i];
        switch (row.kind)
        {
        case kym::ParameterKind::continuous:
            parameter->InitDouble(row.id, row.name, row.defaultValue, row.minValue, row.maxValue, row.interval,
                                  juce::String(), 1.0);
            break;
        case kym::ParameterKind::toggle:
            parameter->InitBool(row.id, row.name, juce::String());
            parameter->SetDisplayText(0, "off");
            parameter->SetDisplayText(1, "on");
            break;
        case kym::ParameterKind::integer:
            parameter->InitInt(row.id, row.name, static_cast<int>(row.minValue), static_cast<int>(row.maxValue),
                               static_cast<int>(row.defaultValue), juce::String());
            break;
        }
    }

    sampler.setFactor(static_cast<int>(oversamplingFactor + 0.5));
    engine.updateSamplerate(currentSampleRate * oversamplingFactor);
    engine.updateParameters();

    // From addParameter on the framework owns a slot; if anything below
    // throws, the slots it already owns must leave this array undeleted.
    int handedOver = 0;
    try
    {
        for (int i = 0; i < kym::parameterCount; ++i)
        {
            parameters[i]->AddObserver(this);
            addParameter(automationSlots[i]);
            ++handedOver;
            automationSlots[i]->ConnectTo(parameters[i], slotKey);
        }
    }
    catch (...)
    {
        for (int i = handedOver; --i >= 0;)
            automationSlots.removeObject(automationSlots[i], false);
        throw;
    }
}

KymAudioProcessor::~KymAudioProcessor()
{
    automationSlots.clear(false);
    // The members then go in reverse order: queue (unrun jobs and all),
    // parameters last first, engine, sampler, then the buffers.
}

const juce::String KymAudioProcessor::getName() const { return "QOR KYM v2"; }

void KymAudioProcessor::prepareToPlay(double, int) {}

void KymAudioProcessor::releaseResources() {}

const juce::String KymAudioProcessor::getInputChannelName(int channelIndex) const
{
    if (channelIndex == 0)
        return "Left";
    if (channelIndex == 1)
        return "Right";
    return juce::String(channelIndex + 1);
}

const juce::String KymAudioProcessor::getOutputChannelName(int channelIndex) const
{
    return getInputChannelName(channelIndex);
}

bool KymAudioProcessor::isInputChannelStereoPair(int) const { return true; }
bool KymAudioProcessor::isOutputChannelStereoPair(int) const { return true; }
bool KymAudioProcessor::silenceInProducesSilenceOut() const { return false; }
double KymAudioProcessor::getTailLengthSeconds() const { return 0.0; }
bool KymAudioProcessor::acceptsMidi() const { return false; }
bool KymAudioProcessor::producesMidi() const { return false; }

juce::AudioProcessorEditor* KymAudioProcessor::createEditor()
{
#if QOR_KYM_HAS_EDITOR
    auto* editor = new KymAudioProcessorEditor(*this);
    editor->loadParamsFromProcessor();
    return editor;
#else
    return nullptr;
#endif
}

bool KymAudioProcessor::hasEditor() const { return QOR_KYM_HAS_EDITOR != 0; }

int KymAudioProcessor::getNumPrograms() { return 1; }
int KymAudioProcessor::getCurrentProgram() { return 0; }
void KymAudioProcessor::setCurrentProgram(int) {}
const juce::String KymAudioProcessor::getProgramName(int) { return {}; }
void KymAudioProcessor::changeProgramName(int, const juce::String&) {}

//==============================================================================
// Jobs

void KymAudioProcessor::notifyParamChange(libqor::Parameter* parameter)
{
    parameterCheck(parameter);
}

void KymAudioProcessor::parameterCheck(libqor::Parameter* parameter)
{
    if (parameter != nullptr)
        post(Job::forParameter(this, parameter));
}

void KymAudioProcessor::post(const Job& job) noexcept
{
    while (postLock.test_and_set(std::memory_order_acquire))
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    // A failed growth drops the job, as a full queue without memory must.
    if (!messageQueue.try_enqueue(job))
        messageQueue.enqueue(job);
    postLock.clear(std::memory_order_release);
}

void KymAudioProcessor::runPendingJobs() noexcept
{
    Job job;
    while (messageQueue.try_dequeue(job))
        job();
}

void KymAudioProcessor::runParameterJob(libqor::Parameter* parameter) noexcept
{
    const double v = parameter->value.load(std::memory_order_relaxed);
    const juce::String& id = parameter->id;

    if (id == "KYM_Input")
        inputGain = v;
    else if (id == "KYM_Output")
        engine.setParameterSlot(1, v / 10.0);
    else if (id == "KYM_Drive")
        engine.setParameterSlot(4, v / 10.0);
    else if (id == "KYM_Bass")
        engine.setParameterSlot(2, v / 10.0);
    else if (id == "KYM_Treble")
        engine.setParameterSlot(3, v / 10.0);
    else if (id == "KYM_Blend")
        engine.setParameterSlot(6, v / 10.0);
    else if (id == "KYM_Presence")
        engine.setParameterSlot(5, v / 10.0);
    else if (id == "KYM_Quality")
    {
        // Truncation in double: no float-to-int conversion that a stray value could make undefined.
        oversamplingFactor = std::trunc(v + 0.5) <= 0.0 ? 2.0 : 4.0;
        sampler.setFactor(static_cast<int>(oversamplingFactor));
        audioInfoDirty = true;
    }
    else if (id == "KYM_Bypass")
        bypass = v >= 0.5;

    engine.updateParameters();
    requestEditorRefresh();
}

void KymAudioProcessor::runRecheckJob(double factor) noexcept
{
    engine.updateSamplerate(std::min(currentSampleRate * factor, maxEngineRate));
}

//==============================================================================
// Audio road

void KymAudioProcessor::recheckAudioInformation(double hostSampleRate) noexcept
{
    const double r = hostSampleRate;
    // Only a real rate is adopted: a host that has not given one yet (0) or a
    // non-finite value would otherwise leave the engine without coefficients.
    const bool usable = r > 0.0 && r <= std::numeric_limits<double>::max();

    if (std::abs(r - currentSampleRate) > 50.0 && r >= 44100.0 && usable)
    {
        currentSampleRate = r;
        audioInfoDirty = false;
    }
    else if (audioInfoDirty)
    {
        if (usable)
            currentSampleRate = r;
        audioInfoDirty = false;
    }
    else
    {
        return;
    }

    post(Job::forRecheck(this, oversamplingFactor));
    sampler.setFactor(static_cast<int>(oversamplingFactor));
}

namespace
{

// The half-band sections set flush-to-zero only on the thread that built the
// processor; a host's audio thread is usually another. Without it, silence
// from the start leaves the input network circling on subnormal products
// (three times the CPU per block) and subnormal floats reach the host. Only
// flush-to-zero, as on the building thread, so every thread computes the same
// bits; the host's own MXCSR comes back at the end of the block.
class ScopedFlushToZero
{
public:
#if defined(__SSE__) || defined(_M_X64)
    ScopedFlushToZero() noexcept : saved(_mm_getcsr()) { _mm_setcsr(saved | 0x8000u); }
    ~ScopedFlushToZero() { _mm_setcsr(saved); }

private:
    unsigned saved;
#endif
};

} // namespace

void KymAudioProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const ScopedFlushToZero flushToZero;
    runPendingJobs();

    recheckAudioInformation(getSampleRate());

    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();
    const int numOutputs = std::min(getTotalNumOutputChannels(), numChannels);

    if (bypass)
    {
        // Outputs without an input of their own would stay silent on one side
        // while the processed sound is on both; give them the dry channel 0.
        const int numInputs = getTotalNumInputChannels();
        if (numInputs >= 1 && numSamples > 0)
            for (int c = numInputs; c < numOutputs; ++c)
                buffer.copyFrom(c, 0, buffer, 0, 0, numSamples);
        return;
    }

    if (numChannels < 1)
        return;

    // Longer host blocks are served in pieces the buffers can hold.
    for (int start = 0; start < numSamples; start += maxBlockSize)
        processPiece(buffer, start, std::min(maxBlockSize, numSamples - start), numOutputs);
}

void KymAudioProcessor::processPiece(juce::AudioBuffer<float>& buffer, int start, int count,
                                     int numOutputs) noexcept
{
    const float* in = buffer.getReadPointer(0, start);
    double* gained = inputBuffer->channels[0];
    double* oversampled = oversampledBuffer->channels[0];
    double* result = outputBuffer->channels[0];

    const double gain = inputGain;
    for (int i = 0; i < count; ++i)
        gained[i] = static_cast<double>(std::clamp(finiteOrZero(in[i]), -maxInputSample, maxInputSample)) * gain;

    (sampler.*sampler.upSlot)(gained, oversampled, count);

    const int oversampledCount = count * sampler.factor;
    for (int j = 0; j < oversampledCount; ++j)
        oversampled[j] = engine.processSample(oversampled[j]);

    (sampler.*sampler.downSlot)(oversampled, result, count);

    for (int c = 0; c < numOutputs; ++c)
    {
        float* out = buffer.getWritePointer(c, start);
        for (int i = 0; i < count; ++i)
            out[i] = static_cast<float>(result[i]);
    }
}

//==============================================================================
// Host messages

void KymAudioProcessor::sendParamChangeMessage(int index, float value)
{
    if (auto* slot = getParameters()[index])
        slot->sendValueChangedMessageToListeners(value);
}

//==============================================================================
// State record

void KymAudioProcessor::getStateInformation(juce::MemoryBlock& destData)
{
    juce::XmlElement root("ZOVARIDU");
    auto* productInfo = root.createNewChildElement("ProductInfo");
    productInfo->setAttribute("Product", "KYM");
    productInfo->setAttribute("Version", "2.1");
    auto* settings = root.createNewChildElement("Settings");
    for (const int index : kym::stateOrder)
        settings->setAttribute(kym::parameterTable[index].stateWord, formatNormalised(parameters[index]->GetNormalised()));

    {
        juce::MemoryOutputStream out(destData, false);
        out.writeInt(static_cast<int>(stateMagic));
        out.writeInt(0);
        root.writeTo(out, juce::XmlElement::TextFormat().singleLine().withoutHeader());
        out.writeByte(0);
    }

    const auto length = static_cast<uint32_t>(destData.getSize() - 9);
    auto* bytes = static_cast<uint8_t*>(destData.getData());
    bytes[4] = static_cast<uint8_t>(length);
    bytes[5] = static_cast<uint8_t>(length >> 8);
    bytes[6] = static_cast<uint8_t>(length >> 16);
    bytes[7] = static_cast<uint8_t>(length >> 24);
}

void KymAudioProcessor::setStateInformation(const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes < 9)
        return;

    const auto* bytes = static_cast<const uint8_t*>(data);
    if (readLittleEndian32(bytes) != stateMagic)
        return;

    const auto storedLength = static_cast<int32_t>(readLittleEndian32(bytes + 4));
    if (storedLength < 1)
        return;

    const auto* text = reinterpret_cast<const char*>(bytes + 8);
    const size_t available = std::min(static_cast<size_t>(sizeInBytes) - 8, static_cast<size_t>(storedLength));
    const auto* end = static_cast<const char*>(std::memchr(text, 0, available));
    const size_t textLength = end != nullptr ? static_cast<size_t>(end - text) : available;

    if (!isSafeToParse(text, textLength))
        return;

    const auto xml = juce::XmlDocument::parse(juce::String::fromUTF8(text, static_cast<int>(textLength)));
    if (xml == nullptr)
        return;

    const juce::XmlElement* settings = nullptr;
    const juce::XmlElement* productInfo = nullptr;
    for (auto* child : xml->getChildIterator())
    {
        if (settings == nullptr && equalsIgnoringAsciiCase(child->getTagName(), "Settings"))
            settings = child;
        if (productInfo == nullptr && equalsIgnoringAsciiCase(child->getTagName(), "ProductInfo"))
            productInfo = child;
    }

    if (productInfo == nullptr)
        return;
    if (productInfo->getStringAttribute("Product") != "KYM" || settings == nullptr)
        return;

    for (const int index : kym::stateOrder)
    {
        const auto& row = kym::parameterTable[index];
        double x = row.missingNormalised;
        if (settings->hasAttribute(row.stateWord))
            x = readStateValue(settings->getStringAttribute(row.stateWord));
        parameters[index]->SetNormalised(x);
    }

    std::fputs("Settings loaded\n", stderr);
    std::fflush(stderr);
}
