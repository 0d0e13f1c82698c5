#pragma once
// A small non-validating XML reader for the package file: elements, attributes with quoted
// values, character data with the five predefined entities and numeric character references.
// Comments, processing instructions, CDATA sections and a document type declaration are skipped;
// the pseudo-attributes of the XML declaration are kept as they are. No namespaces and no
// encoding conversion: the bytes of the file pass into names and values unchanged.
//
// The parser itself uses the standard C library only, so that it also builds natively for the
// sanitizer and fuzzing builds; reading a file is the one part that calls Windows.

#include <new>
#include <stddef.h>

#include "support/PointerList.h"

enum {
    kXmlNameBytes = 260,  // a name has at most kXmlNameBytes - 1 bytes
};

enum XmlNodeKind {
    kXmlAttributeNode = 1,
    kXmlElementNode = 2,
};

// Result codes besides 0 and the Windows codes of a failed read.
enum {
    kXmlSyntaxError = -1,            // also: a node could not be allocated
    kXmlInvalidData = 13,            // ERROR_INVALID_DATA: empty, tiny, or no declaration
    kXmlNotEnoughMemory = 8,         // ERROR_NOT_ENOUGH_MEMORY
    kXmlReadFault = 30,              // ERROR_READ_FAULT: the file came back short
    kXmlEncodingNotSupported = 50,   // ERROR_NOT_SUPPORTED: UTF-16, UCS-4 or EBCDIC
    kXmlInvalidParameter = 87,       // ERROR_INVALID_PARAMETER
};

struct XmlElement;

struct XmlNode {
    XmlElement* Parent;  // null for the root element and the declaration's attributes
    int Kind;            // XmlNodeKind
    char* Name;          // heap copy; null only when memory was short
    char* Text;          // decoded value or character data; null until set

    virtual ~XmlNode();

    // Nodes live on the C heap: a failed allocation gives null (new (std::nothrow)), never an
    // exception.
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* node) noexcept;
    static void operator delete(void* node, const std::nothrow_t&) noexcept;

    XmlNode(const XmlNode&) = delete;
    XmlNode& operator=(const XmlNode&) = delete;

protected:
    explicit XmlNode(int kind);
};

struct XmlAttribute : XmlNode {
    XmlAttribute();
};

struct XmlElement : XmlNode {
    PointerList Attributes;  // XmlAttribute*, in document order
    PointerList Children;    // XmlElement*, in document order

    XmlElement();
    // Deletes the whole subtree without recursing, so that any depth of nesting is safe.
    ~XmlElement() override;

    // Text of the first attribute called name (exact bytes), or null.
    const char* GetAttribute(const char* name) const;

    // The first direct child element called name (exact bytes), or null.
    XmlElement* FindChild(const char* name) const;
};

struct XmlDocument {
    XmlElement* Root;         // null until a start tag has been read
    PointerList Declaration;  // XmlAttribute*, the XML declaration's pseudo-attributes

    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Reads and parses the file at path. 0 on success; the Windows code of a failed open or
    // read; 13 for an empty file, one under 4 bytes or one without "<?xml" and without the
    // UTF-8 mark; 50 for UTF-16, UCS-4 and EBCDIC; 8, 30, 87 or -1 as the names above say.
    int LoadFile(const char* path);

    // Parses a NUL-terminated text (not modified). 0 on success, -1 on a syntax error, 87 when
    // the text is null, empty or does not begin with "<". A document is loaded once: a parse
    // into a document that already holds a root is refused with -1.
    int Parse(const char* text);
};
