#include "support/Xml.h"

#include <new>
#include <stdlib.h>
#include <string.h>

namespace {

bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A name ends at whitespace or one of these; the end of the text before that means no name.
bool EndsName(char c)
{
    return IsXmlSpace(c) || c == '/' || c == '=' || c == '<' || c == '>';
}

const char* SkipSpace(const char* p)
{
    while (IsXmlSpace(*p))
        ++p;
    return p;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(const char* text, const char* prefix)
{
    for (; *prefix; ++text, ++prefix) {
        if (LowerAscii(*text) != LowerAscii(*prefix))
            return false;  // also stops at the end of text
    }
    return true;
}

// First occurrence of pattern (a few bytes long) in text, or null.
const char* FindText(const char* text, const char* pattern)
{
    size_t length = strlen(pattern);
    for (const char* p = strchr(text, pattern[0]); p; p = strchr(p + 1, pattern[0])) {
        if (strncmp(p, pattern, length) == 0)
            return p;
    }
    return nullptr;
}

char* CopyBytes(const char* bytes, size_t length)
{
    char* copy = (char*)malloc(length + 1);
    if (copy) {
        memcpy(copy, bytes, length);
        copy[length] = '\0';
    }
    return copy;
}

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

struct NamedReference {
    const char* Name;  // after the "&"
    char Value;
};

const NamedReference kNamedReferences[] = {
    {"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''},
};

// Decodes the references in raw[0, length) into out (room for length + 1 bytes); returns the
// decoded length. An unknown or unterminated reference ends the text there, and so does a
// numeric reference whose low byte is 0.
size_t DecodeReferences(const char* raw, size_t length, char* out)
{
    const char* end = raw + length;
    size_t written = 0;
    const char* p = raw;
    while (p < end) {
        if (*p != '&') {
            out[written++] = *p++;
            continue;
        }
        const char* after = p + 1;
        size_t rest = (size_t)(end - after);
        bool decoded = false;
        for (const NamedReference& reference : kNamedReferences) {
            size_t nameLength = strlen(reference.Name);
            if (rest >= nameLength && memcmp(after, reference.Name, nameLength) == 0) {
                out[written++] = reference.Value;
                p = after + nameLength;
                decoded = true;
                break;
            }
        }
        if (decoded)
            continue;
        if (rest == 0 || *after != '#')
            break;
        const char* semicolon = (const char*)memchr(after, ';', rest);
        if (!semicolon)
            break;
        const char* digit = after + 1;
        unsigned base = 10;
        if (digit < semicolon && *digit == 'x') {
            base = 16;
            ++digit;
        }
        unsigned value = 0;  // wraps; only the low byte counts
        for (; digit < semicolon; ++digit)
            value = value * base + (unsigned)DigitValue(*digit);
        if ((value & 0xFF) == 0)
            break;
        out[written++] = (char)(value & 0xFF);
        p = semicolon + 1;
    }
    out[written] = '\0';
    return written;
}

// New heap text with the references of raw[0, length) decoded, or null when memory is short.
char* DecodeText(const char* raw, size_t length)
{
    char* text = (char*)malloc(length + 1);  // decoding never lengthens
    if (!text)
        return nullptr;
    size_t decodedLength = DecodeReferences(raw, length, text);
    if (decodedLength < length) {
        char* shrunk = (char*)realloc(text, decodedLength + 1);
        if (shrunk)
            text = shrunk;
    }
    return text;
}

void ReplaceHeapText(char*& field, char* value)
{
    free(field);
    field = value;
}

// Reads a name at *cursor and moves past it. False when the text ends first, or the name is
// empty or longer than the name buffer allows.
bool ReadName(const char** cursor, const char** name, size_t* length)
{
    const char* start = *cursor;
    const char* p = start;
    while (*p && !EndsName(*p) && (size_t)(p - start) < kXmlNameBytes)
        ++p;
    if (!*p || p == start || (size_t)(p - start) >= kXmlNameBytes)
        return false;
    *name = start;
    *length = (size_t)(p - start);
    *cursor = p;
    return true;
}

// Reads name = "value" (or 'value') at *cursor into a new attribute; null on a syntax error or
// when the attribute cannot be allocated. A name or value that cannot be copied stays null.
XmlAttribute* ReadAttribute(const char** cursor)
{
    const char* p = *cursor;
    const char* name;
    size_t nameLength;
    if (!ReadName(&p, &name, &nameLength))
        return nullptr;
    p = SkipSpace(p);
    if (*p != '=')
        return nullptr;
    p = SkipSpace(p + 1);
    char quote = *p;
    if (quote != '"' && quote != '\'')
        return nullptr;
    const char* value = p + 1;
    const char* closing = strchr(value, quote);
    if (!closing)
        return nullptr;
    XmlAttribute* attribute = new (std::nothrow) XmlAttribute();
    if (!attribute)
        return nullptr;
    attribute->Name = CopyBytes(name, nameLength);
    attribute->Text = DecodeText(value, (size_t)(closing - value));
    *cursor = closing + 1;
    return attribute;
}

// Appends a node to a list that owns it; the node is dropped when the list cannot grow.
void AppendOwned(PointerList* list, XmlNode* node)
{
    if (AppendPointer(list, node) < 0)
        delete node;
}

enum TagEnd { kTagFailed, kOpenTag, kEmptyElementTag };

// Reads the attributes of a start tag up to and including its ">" or "/>".
TagEnd ReadStartTagAttributes(const char** cursor, XmlElement* element)
{
    const char* p = *cursor;
    for (;;) {
        p = SkipSpace(p);
        if (*p == '/') {
            if (p[1] != '>')
                return kTagFailed;
            *cursor = p + 2;
            return kEmptyElementTag;
        }
        if (*p == '>') {
            *cursor = p + 1;
            return kOpenTag;
        }
        XmlAttribute* attribute = ReadAttribute(&p);
        if (!attribute)
            return kTagFailed;
        attribute->Parent = element;
        AppendOwned(&element->Attributes, attribute);
    }
}

// Reads the XML declaration's pseudo-attributes after "<?xml" and its "?>".
int ReadDeclaration(const char** cursor, PointerList* declaration)
{
    const char* p = *cursor;
    if (!IsXmlSpace(*p))
        return kXmlSyntaxError;
    for (;;) {
        p = SkipSpace(p);
        if (p[0] == '?' && p[1] == '>') {
            *cursor = p + 2;
            return 0;
        }
        XmlAttribute* attribute = ReadAttribute(&p);
        if (!attribute)
            return kXmlSyntaxError;
        AppendOwned(declaration, attribute);
    }
}

struct SkippedConstruct {
    const char* Opening;     // compared without regard to case
    const char* Terminator;  // searched from the "<" on
};

const SkippedConstruct kSkippedConstructs[] = {
    {"<?", "?>"}, {"<!DOCTYPE", "]>"}, {"<!CDATA", "]]>"}, {"<![", "]]>"}, {"<!--", "-->"},
};

// At a "<": skips a comment, processing instruction, CDATA section or document type
// declaration. 1 when one was skipped, 0 when none opens here, -1 when one is unterminated.
int SkipConstruct(const char** cursor)
{
    for (const SkippedConstruct& construct : kSkippedConstructs) {
        if (!StartsWithNoCase(*cursor, construct.Opening))
            continue;
        const char* terminator = FindText(*cursor, construct.Terminator);
        if (!terminator)
            return -1;
        *cursor = terminator + strlen(construct.Terminator);
        return 1;
    }
    return 0;
}

// The closing tag's name after "</" matches the open element's name, letters compared without
// regard to case and trailing whitespace ignored. Moves past the ">".
bool ReadClosingTag(const char** cursor, const XmlElement* current)
{
    const char* name = *cursor;
    const char* closing = strchr(name, '>');
    if (!closing || !current || !current->Name)
        return false;
    const char* end = closing;
    while (end > name && IsXmlSpace(end[-1]))
        --end;
    size_t length = (size_t)(end - name);
    if (length >= kXmlNameBytes || length != strlen(current->Name))
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (LowerAscii(name[i]) != LowerAscii(current->Name[i]))
            return false;
    }
    *cursor = closing + 1;
    return true;
}

}  // namespace

void* XmlNode::operator new(size_t size, const std::nothrow_t&) noexcept
{
    return malloc(size);
}

void XmlNode::operator delete(void* node) noexcept
{
    free(node);
}

void XmlNode::operator delete(void* node, const std::nothrow_t&) noexcept
{
    free(node);
}

XmlNode::XmlNode(int kind) : Parent(nullptr), Kind(kind), Name(nullptr), Text(nullptr) {}

XmlNode::~XmlNode()
{
    free(Name);
    free(Text);
}

XmlAttribute::XmlAttribute() : XmlNode(kXmlAttributeNode) {}

XmlElement::XmlElement() : XmlNode(kXmlElementNode)
{
    InitPointerList(&Attributes);
    InitPointerList(&Children);
}

XmlElement::~XmlElement()
{
    // Walk down to a leaf, delete it, climb back by the parent link, and repeat: every element
    // is deleted when it has no children left, so no destructor ever descends.
    XmlElement* node = this;
    for (;;) {
        if (node->Children.Count > 0) {
            XmlElement* child = (XmlElement*)node->Children.Items[--node->Children.Count];
            if (child) {
                child->Parent = node;
                node = child;
            }
            continue;
        }
        if (node == this)
            break;
        XmlElement* parent = node->Parent;
        delete node;
        node = parent;
    }
    for (int i = 0; i < Attributes.Count; ++i)
        delete (XmlNode*)Attributes.Items[i];
    FreePointerList(&Attributes);
    FreePointerList(&Children);
}

const char* XmlElement::GetAttribute(const char* name) const
{
    if (!name)
        return nullptr;
    for (int i = 0; i < Attributes.Count; ++i) {
        const XmlNode* attribute = (const XmlNode*)Attributes.Items[i];
        if (attribute && attribute->Name && strcmp(attribute->Name, name) == 0)
            return attribute->Text;
    }
    return nullptr;
}

XmlElement* XmlElement::FindChild(const char* name) const
{
    if (!name)
        return nullptr;
    for (int i = 0; i < Children.Count; ++i) {
        XmlElement* child = (XmlElement*)Children.Items[i];
        if (child && child->Name && strcmp(child->Name, name) == 0)
            return child;
    }
    return nullptr;
}

XmlDocument::XmlDocument() : Root(nullptr)
{
    InitPointerList(&Declaration);
}

XmlDocument::~XmlDocument()
{
    delete Root;
    Root = nullptr;
    for (int i = 0; i < Declaration.Count; ++i)
        delete (XmlNode*)Declaration.Items[i];
    FreePointerList(&Declaration);
}

int XmlDocument::Parse(const char* text)
{
    if (!text || text[0] != '<')
        return kXmlInvalidParameter;
    // A second tree would have no owner.
    if (Root)
        return kXmlSyntaxError;

    const char* p = text;
    if (strncmp(p, "<?xml", 5) == 0) {
        p += 5;
        if (ReadDeclaration(&p, &Declaration) != 0)
            return kXmlSyntaxError;
    }

    XmlElement* current = nullptr;
    for (;;) {
        p = SkipSpace(p);
        if (*p != '<') {
            const char* next = strchr(p, '<');
            if (!next || !current)
                return kXmlSyntaxError;
            ReplaceHeapText(current->Text, DecodeText(p, (size_t)(next - p)));
            p = next;
        }

        int skipped = SkipConstruct(&p);
        if (skipped < 0)
            return kXmlSyntaxError;
        if (skipped > 0)
            continue;

        ++p;
        if (!*p) {
            // A text that stops right after "<" is complete only when no element is open.
            return current ? kXmlSyntaxError : 0;
        }

        if (*p == '/') {
            ++p;
            if (!ReadClosingTag(&p, current))
                return kXmlSyntaxError;
            current = current->Parent;
            if (!current)
                return 0;
            continue;
        }

        const char* name;
        size_t nameLength;
        if (!ReadName(&p, &name, &nameLength))
            return kXmlSyntaxError;
        XmlElement* element = new (std::nothrow) XmlElement();
        if (!element)
            return kXmlSyntaxError;
        element->Name = CopyBytes(name, nameLength);
        TagEnd end = ReadStartTagAttributes(&p, element);
        if (end == kTagFailed) {
            delete element;
            return kXmlSyntaxError;
        }
        if (current) {
            // An element that cannot be attached would leave its content without an owner.
            if (AppendPointer(&current->Children, element) < 0) {
                delete element;
                return kXmlSyntaxError;
            }
            element->Parent = current;
        } else {
            Root = element;
        }
        if (end == kOpenTag)
            current = element;
        else if (!current)
            return 0;
    }
}
