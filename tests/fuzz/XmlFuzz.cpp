// libFuzzer target: any bytes, parsed as a text, must give a known result code and a tree whose
// links and names keep their promises; the sanitizers catch every stray access and leak.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "support/Xml.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        abort();
}

void CheckNode(const XmlNode* node, const XmlElement* parent, int kind)
{
    Check(node != nullptr);
    Check(node->Kind == kind);
    Check(node->Parent == parent);
    Check(node->Name && node->Name[0] && strlen(node->Name) < kXmlNameBytes);
    if (node->Text)
        (void)strlen(node->Text);
}

// Walks the tree without recursion (it may be deep) and asks each element for its first
// attribute and child by name.
void CheckTree(const XmlElement* root)
{
    CheckNode(root, nullptr, kXmlElementNode);
    std::vector<const XmlElement*> pending{root};
    while (!pending.empty()) {
        const XmlElement* element = pending.back();
        pending.pop_back();
        for (int i = 0; i < element->Attributes.Count; ++i)
            CheckNode((const XmlNode*)element->Attributes.Items[i], element, kXmlAttributeNode);
        for (int i = 0; i < element->Children.Count; ++i) {
            const XmlElement* child = (const XmlElement*)element->Children.Items[i];
            CheckNode(child, element, kXmlElementNode);
            pending.push_back(child);
        }
        if (element->Attributes.Count) {
            const XmlNode* first = (const XmlNode*)element->Attributes.Items[0];
            Check(element->GetAttribute(first->Name) == first->Text);
        }
        if (element->Children.Count) {
            const XmlElement* first = (const XmlElement*)element->Children.Items[0];
            Check(element->FindChild(first->Name) == first);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* text = (char*)malloc(size + 1);
    Check(text != nullptr);
    memcpy(text, data, size);
    text[size] = '\0';

    XmlDocument document;
    int result = document.Parse(text);
    Check(result == 0 || result == -1 || result == kXmlInvalidParameter);
    Check(result != kXmlInvalidParameter || text[0] != '<');
    for (int i = 0; i < document.Declaration.Count; ++i)
        CheckNode((const XmlNode*)document.Declaration.Items[i], nullptr, kXmlAttributeNode);
    if (document.Root)
        CheckTree(document.Root);
    if (document.Root)
        Check(document.Parse("<again/>") == -1);

    free(text);
    return 0;
}
