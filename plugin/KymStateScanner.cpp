#include "plugin/KymStateScanner.h"

#include <cstdint>
#include <cstring>

namespace
{

using Byte = unsigned char;

struct Span
{
    const Byte* begin = nullptr;
    size_t length = 0;
};

bool startsWith(const Byte* p, const Byte* end, const char* s) noexcept
{
    const size_t n = std::strlen(s);
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, s, n) == 0;
}

bool equals(Span a, const char* s) noexcept
{
    return a.length == std::strlen(s) && std::memcmp(a.begin, s, a.length) == 0;
}

bool equals(Span a, Span b) noexcept
{
    return a.length == b.length && std::memcmp(a.begin, b.begin, a.length) == 0;
}

Byte asciiLower(Byte c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<Byte>(c - 'A' + 'a') : c;
}

// strcasecmp in the C locale; names are ASCII, so nothing else can fold.
bool equalsIgnoringAsciiCase(Span a, const char* s) noexcept
{
    if (a.length != std::strlen(s))
        return false;
    for (size_t i = 0; i < a.length; ++i)
        if (asciiLower(a.begin[i]) != asciiLower(static_cast<Byte>(s[i])))
            return false;
    return true;
}

// XML's white space. Other readers take more (vertical tab, form feed), but
// those are not characters XML allows anywhere.
bool isSpace(Byte c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skipSpace(const Byte*& p, const Byte* end) noexcept
{
    while (p < end && isSpace(*p))
        ++p;
}

bool isDigit(Byte c) noexcept
{
    return c >= '0' && c <= '9';
}

bool isNameStart(Byte c) noexcept
{
    return (asciiLower(c) >= 'a' && asciiLower(c) <= 'z') || c == '_' || c == ':';
}

bool isNameCharacter(Byte c) noexcept
{
    return isNameStart(c) || isDigit(c) || c == '-' || c == '.';
}

bool isXmlCharacter(uint64_t c) noexcept
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

int digitValue(Byte c, bool hex) noexcept
{
    if (isDigit(c))
        return c - '0';
    if (hex && asciiLower(c) >= 'a' && asciiLower(c) <= 'f')
        return asciiLower(c) - 'a' + 10;
    return -1;
}

// Steps over one character of text that is not markup, in strict UTF-8, and
// answers whether it is one XML allows. Each lead byte admits its own range
// for the byte after it (Unicode's table of well-formed sequences), which
// leaves out every overlong form, the surrogates and all beyond U+10FFFF: a
// byte that reads as '<' or '&' to a lenient decoder is refused here, never
// let through as something else.
bool skipCharacter(const Byte*& p, const Byte* end) noexcept
{
    const Byte lead = *p;
    if (lead < 0x80)
    {
        if (lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r')
            return false;
        ++p;
        return true;
    }

    size_t continuation;
    uint32_t c;
    Byte low = 0x80;
    Byte high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        continuation = 1;
        c = lead & 0x1Fu;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        continuation = 2;
        c = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        continuation = 3;
        c = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    }
    else
        return false;

    if (static_cast<size_t>(end - p) <= continuation || p[1] < low || p[1] > high)
        return false;
    for (size_t k = 1; k <= continuation; ++k)
    {
        if ((p[k] & 0xC0) != 0x80)
            return false;
        c = (c << 6) | (p[k] & 0x3Fu);
    }
    if (!isXmlCharacter(c))
        return false; // U+FFFE and U+FFFF
    p += continuation + 1;
    return true;
}

// The length of the reference at p ('&') and the character it stands for, or
// 0 when it is not one a record may hold: the five predefined entities as XML
// spells them, and character references to characters XML allows. Digits are
// limited to what any value needs with room for leading zeros (8 hexadecimal,
// 12 decimal), so the number never overflows.
size_t referenceAt(const Byte* p, const Byte* end, uint32_t& character) noexcept
{
    static const struct
    {
        const char* text;
        char character;
    } predefined[] = { { "&amp;", '&' }, { "&lt;", '<' }, { "&gt;", '>' }, { "&quot;", '"' }, { "&apos;", '\'' } };
    for (const auto& entity : predefined)
        if (startsWith(p, end, entity.text))
        {
            character = static_cast<Byte>(entity.character);
            return std::strlen(entity.text);
        }

    if (!startsWith(p, end, "&#"))
        return 0;
    const bool hex = startsWith(p, end, "&#x");
    const size_t maxDigits = hex ? 8 : 12;
    const Byte* q = p + (hex ? 3 : 2);
    size_t digits = 0;
    uint64_t code = 0;
    for (; q < end && *q != ';'; ++q)
    {
        const int d = digitValue(*q, hex);
        if (d < 0 || ++digits > maxDigits)
            return 0;
        code = code * (hex ? 16u : 10u) + static_cast<uint64_t>(d);
    }
    if (q == end || digits == 0 || !isXmlCharacter(code))
        return 0;
    character = static_cast<uint32_t>(code);
    return static_cast<size_t>(q + 1 - p);
}

bool skipReference(const Byte*& p, const Byte* end) noexcept
{
    uint32_t character;
    const size_t n = referenceAt(p, end, character);
    p += n;
    return n > 0;
}

bool readName(const Byte*& p, const Byte* end, Span& name) noexcept
{
    if (p == end || !isNameStart(*p))
        return false;
    name.begin = p;
    while (++p < end && isNameCharacter(*p))
    {}
    name.length = static_cast<size_t>(p - name.begin);
    return true;
}

// S? '=' S?
bool skipEquals(const Byte*& p, const Byte* end) noexcept
{
    skipSpace(p, end);
    if (p == end || *p != '=')
        return false;
    ++p;
    skipSpace(p, end);
    return true;
}

// An attribute value in either quotes: characters and references, no '<'.
bool readValue(const Byte*& p, const Byte* end, Span& value) noexcept
{
    if (p == end || (*p != '"' && *p != '\''))
        return false;
    const Byte quote = *p++;
    value.begin = p;
    while (p < end && *p != quote)
    {
        if (*p == '<')
            return false;
        if (!(*p == '&' ? skipReference(p, end) : skipCharacter(p, end)))
            return false;
    }
    if (p == end)
        return false;
    value.length = static_cast<size_t>(p - value.begin);
    ++p;
    return true;
}

// Character data up to the next '<' or the end: characters and references,
// and never "]]>", which XML keeps for the end of CDATA.
bool skipCharacterData(const Byte*& p, const Byte* end) noexcept
{
    while (p < end && *p != '<')
    {
        if (*p == ']' && startsWith(p, end, "]]>"))
            return false;
        if (!(*p == '&' ? skipReference(p, end) : skipCharacter(p, end)))
            return false;
    }
    return true;
}

// One pseudo-attribute of the XML declaration, S name Eq value, where the
// value is made of name characters; p moves only when it is there.
bool readPseudoAttribute(const Byte*& p, const Byte* end, const char* name, Span& value) noexcept
{
    const Byte* q = p;
    if (q == end || !isSpace(*q))
        return false;
    skipSpace(q, end);
    if (!startsWith(q, end, name))
        return false;
    q += std::strlen(name);
    if (!skipEquals(q, end) || q == end || (*q != '"' && *q != '\''))
        return false;
    const Byte quote = *q++;
    value.begin = q;
    while (q < end && isNameCharacter(*q))
        ++q;
    if (q == end || *q != quote)
        return false;
    value.length = static_cast<size_t>(q - value.begin);
    p = q + 1;
    return true;
}

// At "<?xml": the declaration as XML has it, version 1.x, and if an encoding
// is named, UTF-8, the only one a record is read in.
bool skipDeclaration(const Byte*& p, const Byte* end) noexcept
{
    p += 5;
    Span value;
    if (!readPseudoAttribute(p, end, "version", value) || value.length < 3 || !startsWith(value.begin, end, "1."))
        return false;
    for (size_t i = 2; i < value.length; ++i)
        if (!isDigit(value.begin[i]))
            return false;
    if (readPseudoAttribute(p, end, "encoding", value) && !equalsIgnoringAsciiCase(value, "UTF-8"))
        return false;
    if (readPseudoAttribute(p, end, "standalone", value) && !equals(value, "yes") && !equals(value, "no"))
        return false;
    skipSpace(p, end);
    if (!startsWith(p, end, "?>"))
        return false;
    p += 2;
    return true;
}

} // namespace

std::string KymStateScanner::Value::decoded() const
{
    std::string out;
    out.reserve(length);
    const auto* p = reinterpret_cast<const Byte*>(raw);
    const auto* end = p + length;
    while (p < end)
    {
        uint32_t c = *p;
        const size_t n = c == '&' ? referenceAt(p, end, c) : 0;
        if (n == 0)
        {
            out.push_back(static_cast<char>(*p++));
            continue;
        }
        p += n;
        if (c < 0x80)
            out.push_back(static_cast<char>(c));
        else if (c < 0x800)
        {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        else if (c < 0x10000)
        {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        else
        {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool KymStateScanner::scan(const char* text, size_t length) noexcept
{
    *this = KymStateScanner();
    if (text == nullptr || length > maxTextLength)
        return false;

    const auto* p = reinterpret_cast<const Byte*>(text);
    const auto* const end = p + length;
    skipSpace(p, end);
    if (startsWith(p, end, "<?xml") && end - p > 5 && isSpace(p[5]))
    {
        if (!skipDeclaration(p, end))
            return false;
        skipSpace(p, end);
    }
    if (p == end || *p != '<')
        return false;

    // The names of the open elements, the root's first: what their closing
    // tags must repeat.
    Span open[maxDepth];
    int depth = 0;
    int elements = 0;
    int attributes = 0;
    for (;;)
    {
        ++p; // past '<'
        if (p < end && *p == '/')
        {
            ++p;
            Span name;
            if (depth == 0 || !readName(p, end, name) || !equals(name, open[depth - 1]))
                return false;
            skipSpace(p, end);
            if (p == end || *p != '>')
                return false;
            ++p;
            if (--depth == 0)
                break;
        }
        else
        {
            Span name;
            if (depth == maxDepth || ++elements > maxElements || !readName(p, end, name))
                return false;

            enum class Role
            {
                other,
                productInfo,
                settings
            } role = Role::other;
            if (depth == 1 && !hasProductInfo && equalsIgnoringAsciiCase(name, "ProductInfo"))
            {
                hasProductInfo = true;
                role = Role::productInfo;
            }
            else if (depth == 1 && !hasSettings && equalsIgnoringAsciiCase(name, "Settings"))
            {
                hasSettings = true;
                role = Role::settings;
            }

            bool empty = false;
            for (;;)
            {
                const Byte* const afterLast = p;
                skipSpace(p, end);
                if (p == end)
                    return false;
                if (*p == '>')
                {
                    ++p;
                    break;
                }
                if (*p == '/')
                {
                    if (end - p < 2 || p[1] != '>')
                        return false;
                    p += 2;
                    empty = true;
                    break;
                }

                // Each attribute is set off by white space, as XML has it.
                Span attribute;
                Span value;
                if (p == afterLast || !readName(p, end, attribute) || !skipEquals(p, end) || !readValue(p, end, value)
                    || ++attributes > maxAttributes)
                    return false;

                const Value found { reinterpret_cast<const char*>(value.begin), value.length };
                if (role == Role::productInfo && !product.isPresent() && equals(attribute, "Product"))
                    product = found;
                else if (role == Role::settings)
                    for (int index = 0; index < kym::parameterCount; ++index)
                        if (!settings[index].isPresent() && equals(attribute, kym::parameterTable[index].stateWord))
                            settings[index] = found;
            }

            if (!empty)
                open[depth++] = name;
            else if (depth == 0)
                break;
        }

        if (!skipCharacterData(p, end) || p == end)
            return false;
    }

    skipSpace(p, end);
    return p == end;
}
