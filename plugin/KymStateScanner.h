#pragma once

#include "plugin/KymParameterTable.h"

#include <cstddef>
#include <string>

// Reads the XML text of a state record in one pass, without recursion and
// without the framework's reader, and accepts only what a record can be: a
// strict subset of XML 1.0 in strict UTF-8. That is an optional leading XML
// declaration, then one element whose names are ASCII, with attribute values
// in single or double quotes, character data, the five predefined entities
// and character references to characters XML allows, each element closed by
// a tag of its own name, white space around. Comments, CDATA, document types,
// processing instructions, other entities, unquoted values, a byte order
// mark, controls and anything past the limits refuse the text.
//
// On the way it notes where the values a record is read for stand: the
// Product attribute of the root's first ProductInfo child and the nine
// settings attributes of its first Settings child. Tag names are compared
// without ASCII case, attribute names exactly, and of duplicate attributes
// the first is kept. Nothing is copied or interned; a value is decoded only
// when asked for.
class KymStateScanner
{
public:
    // A genuine record is 183 bytes at the defaults and under 400 with the
    // longest numbers: a root and two children, so two levels, three
    // elements and eleven attributes. The limits leave a later version room
    // for far more (other parameters, a preset name, a level of grouping)
    // and keep every text small and shallow, for this reader and for any
    // other a record might be handed to. Within them a load takes about a
    // millisecond at most, and no more stack than a genuine record.
    static constexpr size_t maxTextLength = size_t(64) << 10;
    static constexpr int maxDepth = 8;
    static constexpr int maxElements = 256;
    static constexpr int maxAttributes = 1024;

    // An attribute value as it stands between its quotes, references not yet
    // replaced; only ever one the scan accepted.
    struct Value
    {
        const char* raw = nullptr; // null: the attribute is absent
        size_t length = 0;

        bool isPresent() const noexcept { return raw != nullptr; }

        // The value with its references replaced, in UTF-8.
        std::string decoded() const;
    };

    // Whether the text is accepted; what was found is of use only then.
    bool scan(const char* text, size_t length) noexcept;

    bool hasProductInfo = false;
    bool hasSettings = false;
    Value product;
    Value settings[kym::parameterCount]; // in parameter index order
};
