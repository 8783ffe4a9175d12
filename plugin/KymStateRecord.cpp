#include "plugin/KymStateRecord.h"
#include "plugin/KymParameterTable.h"

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

char asciiLower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// strcasecmp in the C locale: ASCII letters only, so no other character can
// fold onto a tag name.
bool equalsIgnoringAsciiCase(const char* s, const char* expected) noexcept
{
    for (;; ++s, ++expected)
    {
        const char a = asciiLower(*s);
        if (a != asciiLower(*expected))
            return false;
        if (a == '\0')
            return true;
    }
}

// The framework's reader takes spaces and the controls 9 to 13 as white space.
bool isReaderSpace(char c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A character XML lets a character reference stand for.
bool isXmlCharacter(uint64_t c) noexcept
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

int digitValue(char c, bool hex) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (hex && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The length of the reference that starts at text[0] ('&'), or 0 when it is
// not one the framework's reader can take safely. Those are the five
// predefined entities (the reader compares their names without case), and
// character references to a character XML allows, with no more digits than the
// reader counts (8 hexadecimal, 12 decimal). Anything else goes to the
// reader's DTD entity expansion, which recurses without a bound and grows
// without a limit; or it is a malformed character reference, which the reader
// mishandles: "&#x" at the end of the text steps it past the terminator, and
// a code point beyond Unicode becomes invalid UTF-8 in the parsed text.
size_t referenceLength(const char* text, size_t available) noexcept
{
    static const char* const predefined[] = { "amp;", "lt;", "gt;", "quot;", "apos;" };
    for (const char* name : predefined)
    {
        const size_t n = std::strlen(name);
        if (available > n && std::equal(name, name + n, text + 1, [](char a, char b) { return a == asciiLower(b); }))
            return n + 1;
    }

    if (available < 3 || text[1] != '#')
        return 0;
    const bool hex = text[2] == 'x' || text[2] == 'X';
    const size_t maxDigits = hex ? 8 : 12;
    size_t i = hex ? 3 : 2;
    size_t digits = 0;
    uint64_t code = 0;
    for (; i < available && text[i] != ';'; ++i)
    {
        const int d = digitValue(text[i], hex);
        if (d < 0 || ++digits > maxDigits)
            return 0;
        code = code * (hex ? 16u : 10u) + static_cast<uint64_t>(d);
    }
    if (i == available || digits == 0 || !isXmlCharacter(code))
        return 0;
    return i + 1;
}

// The number of UTF-8 continuation bytes a lead byte announces, or -1 for a
// byte that cannot start a sequence.
int continuationBytes(uint8_t byte) noexcept
{
    if (byte >= 0xC0 && byte < 0xE0)
        return 1;
    if (byte >= 0xE0 && byte < 0xF0)
        return 2;
    if (byte >= 0xF0 && byte < 0xF8)
        return 3;
    return -1;
}

} // namespace

//==============================================================================
// The guard in front of juce::XmlDocument (JUCE 7.0.5). A genuine record holds
// the root, its two children with their attributes, white space at most, and
// no declaration; the rules below refuse what the reader cannot take safely:
//
// - "<?" other than a leading XML declaration: in element content the reader
//   skips a processing instruction, finds text, rolls back to before the
//   instruction and stops there, forever.
// - "<!": comments, CDATA, and above all DOCTYPE with its entity
//   definitions, which the reader expands recursively (a self-referencing
//   entity overflows the stack) and exponentially (nested definitions of a
//   few hundred bytes exhaust the memory).
// - '&' other than the references of referenceLength.
// - UTF-8 sequences cut short or without a lead byte: the reader steps over
//   a sequence's continuation bytes without looking, past the terminator.
// - More than maxElementStarts element starts: the reader recurses once per
//   nesting level, so nesting must not exhaust the host thread's stack.
// - Element starts times text length above maxRescanWork: a close tag without
//   its '>' makes every open element scan the rest of the text once.
// - More than maxAttributes '=': each attribute name goes into JUCE's global
//   string pool, a sorted array, so a record of distinct names costs time
//   with the square of their number.
// - More than maxReferences '&': each reference in a value makes the reader
//   copy the value read so far.
// - More than maxTextLength bytes: a genuine record holds a few hundred; the
//   limit bounds everything the reader does in proportion to the text.
//
// Each limit counts characters, never what the reader might make of them, so
// nothing the reader sees escapes the count. A genuine record uses three
// element starts, eleven '=' and no reference.
bool KymStateRecord::isSafeToParse(const char* text, size_t length) noexcept
{
    if (length > maxTextLength)
        return false;

    // The reader skips a leading declaration up to its "?>".
    size_t bodyStart = 0;
    while (bodyStart < length && isReaderSpace(text[bodyStart]))
        ++bodyStart;
    if (length - bodyStart > 5 && std::memcmp(text + bodyStart, "<?xml", 5) == 0 && isReaderSpace(text[bodyStart + 5]))
    {
        size_t close = bodyStart + 6;
        while (close + 1 < length && !(text[close] == '?' && text[close + 1] == '>'))
            ++close;
        if (close + 1 >= length)
            return false;
        bodyStart = close + 2;
    }

    int elementStarts = 0;
    int attributes = 0;
    int references = 0;
    for (size_t i = 0; i < length; ++i)
    {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte >= 0x80)
        {
            const int continuation = continuationBytes(byte);
            if (continuation < 0 || static_cast<size_t>(continuation) > length - 1 - i)
                return false;
            for (size_t k = 1; k <= static_cast<size_t>(continuation); ++k)
                if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80)
                    return false;
            i += static_cast<size_t>(continuation);
            continue;
        }
        if (i < bodyStart)
            continue;

        if (byte == '<' && i + 1 < length)
        {
            const char next = text[i + 1];
            if (next == '!' || next == '?')
                return false;
            if (next != '/' && ++elementStarts > maxElementStarts)
                return false;
        }
        else if (byte == '=')
        {
            if (++attributes > maxAttributes)
                return false;
        }
        else if (byte == '&')
        {
            const size_t n = referenceLength(text + i, length - i);
            if (n == 0 || ++references > maxReferences)
                return false;
            i += n - 1;
        }
    }
    return static_cast<size_t>(elementStarts) * length <= maxRescanWork;
}

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

const juce::XmlElement* KymStateRecord::findChild(const juce::XmlElement& parent, const char* tagName) noexcept
{
    for (auto* child : parent.getChildIterator())
        if (equalsIgnoringAsciiCase(child->getTagName().toRawUTF8(), tagName))
            return child;
    return nullptr;
}

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

bool KymStateRecord::read(const void* data, int sizeInBytes, const juce::OwnedArray<libqor::Parameter>& parameters)
{
    if (data == nullptr || sizeInBytes < 9 || parameters.size() < kym::parameterCount)
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

    if (!isSafeToParse(text, textLength))
        return false;

    const auto xml = juce::XmlDocument::parse(juce::String::fromUTF8(text, static_cast<int>(textLength)));
    if (xml == nullptr)
        return false;

    const auto* settings = findChild(*xml, "Settings");
    const auto* productInfo = findChild(*xml, "ProductInfo");
    if (productInfo == nullptr)
        return false;
    if (productInfo->getStringAttribute("Product") != "KYM" || settings == nullptr)
        return false;

    for (const int index : kym::stateOrder)
    {
        const auto& row = kym::parameterTable[index];
        double x = row.missingNormalised;
        if (settings->hasAttribute(row.stateWord))
            x = readStateValue(settings->getStringAttribute(row.stateWord));
        parameters[index]->SetNormalised(x);
    }
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
