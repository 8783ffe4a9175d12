#include "plugin/KymStateRecord.h"
#include "plugin/KymParameterTable.h"
#include "plugin/KymStateScanner.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <signal.h>
#include <system_error>

namespace
{

uint32_t readLittleEndian32(const uint8_t* bytes) noexcept
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8)
        | (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

} // namespace

//==============================================================================
// Numbers

// to_chars with a precision writes what printf's %g writes in the "C" locale.
juce::String KymStateRecord::formatNormalised(double x)
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
bool KymStateRecord::readOutsizedNumber(const char* text, double& value) noexcept
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
double KymStateRecord::readStateValue(const juce::String& text) noexcept
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

//==============================================================================
// Writing and reading

void KymStateRecord::write(const juce::OwnedArray<libqor::Parameter>& parameters, juce::MemoryBlock& destData)
{
    juce::XmlElement root("ZOVARIDU");
    auto* productInfo = root.createNewChildElement("ProductInfo");
    productInfo->setAttribute("Product", "KYM");
    productInfo->setAttribute("Version", "2.1");
    auto* settings = root.createNewChildElement("Settings");
    for (const int index : kym::stateOrder)
        settings->setAttribute(kym::parameterTable[index].stateWord,
                               formatNormalised(parameters[index]->GetNormalised()));

    {
        juce::MemoryOutputStream out(destData, false);
        out.writeInt(static_cast<int>(magic));
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

bool KymStateRecord::readValues(const void* data, int sizeInBytes, std::array<double, kym::parameterCount>& values)
{
    if (data == nullptr || sizeInBytes < 9)
        return false;

    const auto* bytes = static_cast<const uint8_t*>(data);
    if (readLittleEndian32(bytes) != magic)
        return false;

    const auto storedLength = static_cast<int32_t>(readLittleEndian32(bytes + 4));
    if (storedLength < 1)
        return false;

    const auto* text = reinterpret_cast<const char*>(bytes + 8);
    const size_t available = std::min(static_cast<size_t>(sizeInBytes) - 8, static_cast<size_t>(storedLength));
    const auto* end = static_cast<const char*>(std::memchr(text, 0, available));
    const size_t textLength = end != nullptr ? static_cast<size_t>(end - text) : available;

    KymStateScanner scanner;
    if (!scanner.scan(text, textLength) || !scanner.hasProductInfo)
        return false;
    if (scanner.product.decoded() != "KYM" || !scanner.hasSettings)
        return false;

    for (int index = 0; index < kym::parameterCount; ++index)
    {
        const auto& value = scanner.settings[index];
        if (!value.isPresent())
        {
            values[static_cast<size_t>(index)] = kym::parameterTable[index].missingNormalised;
            continue;
        }
        const auto decoded = value.decoded();
        values[static_cast<size_t>(index)] =
            readStateValue(juce::String::fromUTF8(decoded.data(), static_cast<int>(decoded.size())));
    }
    return true;
}

bool KymStateRecord::read(const void* data, int sizeInBytes, const juce::OwnedArray<libqor::Parameter>& parameters)
{
    std::array<double, kym::parameterCount> values;
    if (parameters.size() < kym::parameterCount || !readValues(data, sizeInBytes, values))
        return false;
    for (const int index : kym::stateOrder)
        parameters[index]->SetNormalised(values[static_cast<size_t>(index)]);
    return true;
}

//==============================================================================
// The diagnostic line

// Writing to a pipe whose reader is gone raises SIGPIPE, whose default action
// ends the process: a host started with its standard error on a closed pipe
// would die on loading a project. The signal is blocked on this thread for
// the write; one the write raised is taken off again before the mask comes
// back, so it is never delivered. One that was pending before is left for
// the host.
void KymStateRecord::reportLoaded() noexcept
{
    const int savedErrno = errno;
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previousMask;
    const bool blocked = pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask) == 0;
    sigset_t pending;
    const bool pendingBefore = !blocked || sigpending(&pending) != 0 || sigismember(&pending, SIGPIPE) == 1;

    std::fputs("Settings loaded\n", stderr);
    std::fflush(stderr);

    if (blocked)
    {
        if (!pendingBefore && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1)
        {
            const timespec noWait { 0, 0 };
            while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR)
            {}
        }
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    }
    errno = savedErrno;
}
