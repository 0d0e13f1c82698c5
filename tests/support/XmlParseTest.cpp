// The XML parser on texts: result codes, the tree it builds, references, character data, the
// skipped constructs and the limits. Uses no Windows calls, so that the native hardening build
// runs the same cases under the sanitizers.
#include <gtest/gtest.h>

#include <string>

#include "support/Xml.h"

namespace {

struct ResultRow {
    const char* Label;
    const char* Text;
    int Expected;
};

int ParseText(XmlDocument& document, const std::string& text)
{
    return document.Parse(text.c_str());
}

XmlElement* Child(const XmlElement* element, int index)
{
    return static_cast<XmlElement*>(element->Children.Items[index]);
}

XmlAttribute* Attribute(const XmlElement* element, int index)
{
    return static_cast<XmlAttribute*>(element->Attributes.Items[index]);
}

void ExpectResults(const ResultRow* rows, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        XmlDocument document;
        EXPECT_EQ(rows[i].Expected, document.Parse(rows[i].Text)) << rows[i].Label << ": " << rows[i].Text;
    }
}

}  // namespace

TEST(XmlParse, ReadsThePackageExample)
{
    XmlDocument document;
    ASSERT_EQ(0, ParseText(document,
                           "<?xml version=\"1.0\" ?>\r\n<!-- written by the packager -->\r\n"
                           "<Package GUID=\"G\"><Company>A &amp; B</Company></Package>"));

    ASSERT_EQ(1, document.Declaration.Count);
    XmlAttribute* version = static_cast<XmlAttribute*>(document.Declaration.Items[0]);
    EXPECT_STREQ("version", version->Name);
    EXPECT_STREQ("1.0", version->Text);
    EXPECT_EQ(nullptr, version->Parent);
    EXPECT_EQ(kXmlAttributeNode, version->Kind);

    XmlElement* root = document.Root;
    ASSERT_NE(nullptr, root);
    EXPECT_STREQ("Package", root->Name);
    EXPECT_EQ(kXmlElementNode, root->Kind);
    EXPECT_EQ(nullptr, root->Parent);
    EXPECT_EQ(nullptr, root->Text);
    EXPECT_STREQ("G", root->GetAttribute("GUID"));
    EXPECT_EQ(root, Attribute(root, 0)->Parent);

    XmlElement* company = root->FindChild("Company");
    ASSERT_NE(nullptr, company);
    EXPECT_STREQ("A & B", company->Text);
    EXPECT_EQ(root, company->Parent);
    EXPECT_EQ(0, company->Children.Count);
}

TEST(XmlParse, AcceptsWellFormedTexts)
{
    const ResultRow rows[] = {
        {"empty-element root", "<Package/>", 0},
        {"declaration, single quotes", "<?xml version='1.0' encoding=\"UTF-8\"?>\n<a/>", 0},
        {"declaration without attributes", "<?xml ?><a/>", 0},
        {"declaration name is case-sensitive: a processing instruction", "<?XML version=\"1\"?><a/>", 0},
        {"comment and blanks before the root", "<!-- c -->\r\n\t <a></a>", 0},
        {"anything after the root", "<a></a>garbage < & >", 0},
        {"another element after the root", "<a/><b>", 0},
        {"closing names ignore case", "<A></a>", 0},
        {"blank before the closing >", "<a></a \t\r\n>", 0},
        {"attributes without blanks between", "<a b='1'c=\"2\"/>", 0},
        {"blanks around =", "<a b \t= \n'1'/>", 0},
        {"document type with an internal subset", "<!DOCTYPE a [<!ELEMENT a ANY>]><a/>", 0},
        {"text that ends right after < with nothing open", "<?xml version=\"1.0\"?>\n<", 0},
        {"a lone <", "<", 0},
    };
    ExpectResults(rows, sizeof(rows) / sizeof(rows[0]));
}

TEST(XmlParse, RejectsMalformedTexts)
{
    const ResultRow rows[] = {
        {"empty text", "", kXmlInvalidParameter},
        {"blank before <", " <a/>", kXmlInvalidParameter},
        {"no markup", "a", kXmlInvalidParameter},
        {"no blank after <?xml", "<?xml?><a/>", -1},
        {"pseudo-attribute without =", "<?xml version\"1.0\"?><a/>", -1},
        {"pseudo-attribute without quotes", "<?xml version=1.0?><a/>", -1},
        {"pseudo-attribute without closing quote", "<?xml version=\"1.0?><a/>", -1},
        {"text ends inside the declaration", "<?xml version=\"1.0\"", -1},
        {"empty pseudo-attribute name", "<?xml =\"1\"?><a/>", -1},
        {"unterminated pseudo-attribute name", "<?xml version", -1},
        {"slash in the declaration", "<?xml / ?><a/>", -1},
        {"one element left open", "<a>", -1},
        {"two elements left open", "<a><b>", -1},
        {"root left open after a child", "<a><b></b>", -1},
        {"text stops after < inside an element", "<a><", -1},
        {"character data before the root", "<!-- c -->text<a/>", -1},
        {"character data without a following <", "<a>x", -1},
        {"closing name differs", "<a></b>", -1},
        {"blank between slash and name", "<a></ a>", -1},
        {"closing tag without >", "<a></a", -1},
        {"closing tag with nothing open", "</a>", -1},
        {"empty element name", "<>", -1},
        {"blank before the element name", "< a/>", -1},
        {"unterminated element name", "<a", -1},
        {"attribute without value", "<a b>", -1},
        {"attribute with = but no value", "<a b=>", -1},
        {"unquoted value", "<a b=c>", -1},
        {"missing closing quote", "<a b=\"c></a>", -1},
        {"empty attribute name", "<a =\"x\"/>", -1},
        {"< in place of an attribute name", "<a <b/>", -1},
        {"slash not followed by >", "<a / >", -1},
        {"text ends inside a start tag", "<a b='1'", -1},
        {"unterminated comment", "<a><!-- never closed", -1},
        {"unterminated processing instruction", "<a><? pi", -1},
        {"unterminated CDATA section", "<a><![CDATA[ x", -1},
        {"document type without ]>", "<!DOCTYPE a><a/>", -1},
    };
    ExpectResults(rows, sizeof(rows) / sizeof(rows[0]));

    XmlDocument document;
    EXPECT_EQ(kXmlInvalidParameter, document.Parse(nullptr));
}

TEST(XmlParse, KeepsTheLastNonBlankRunOfCharacterData)
{
    const struct {
        const char* Text;
        const char* RootText;  // null: no text
    } rows[] = {
        {"<a>x<b/>y</a>", "y"},
        {"<a>  \r\n\t </a>", nullptr},
        {"<a> x </a>", "x "},
        {"<a><![CDATA[text]]></a>", nullptr},
        {"<a><!CDATA text]]></a>", nullptr},
        {"<a>before<!-- c -->after</a>", "after"},
        {"<a>x<b>inner</b> </a>", "x"},
        {"<a>1 &lt; 2 &amp;&amp; 3 &gt; 2</a>", "1 < 2 && 3 > 2"},
        {"<a>q&quot;&apos;</a>", "q\"'"},
    };
    for (const auto& row : rows) {
        XmlDocument document;
        ASSERT_EQ(0, document.Parse(row.Text)) << row.Text;
        if (row.RootText)
            EXPECT_STREQ(row.RootText, document.Root->Text) << row.Text;
        else
            EXPECT_EQ(nullptr, document.Root->Text) << row.Text;
    }

    XmlDocument nested;
    ASSERT_EQ(0, nested.Parse("<a>x<b>inner</b></a>"));
    EXPECT_STREQ("inner", nested.Root->FindChild("b")->Text);
}

TEST(XmlParse, DecodesReferences)
{
    const struct {
        const char* Raw;
        const char* Decoded;
    } rows[] = {
        {"&lt;&amp;&gt;&quot;&apos;", "<&>\"'"},
        {"&#65;&#x41;&#x4a;&#x4A;", "AAJJ"},
        {"&#X41;", ")"},         // X is no hex marker: a decimal digit 0
        {"&#321;", "A"},         // low 8 bits of 321
        {"&#a;", "\n"},          // letters count as digits in decimal too
        {"&#z42;", "*"},         // other bytes count 0: 0, 4, 2
        {"&#4294967361;", "A"},  // wraps around, low byte 0x41
        {"a&#66", "a"},          // no ";": the text ends before "&"
        {"a&nbsp;b", "a"},       // unknown entity ends the text
        {"a&", "a"},
        {"a&amp", "a"},
        {"x&l", "x"},
        {"a&#0;b", "a"},         // a value of 0 ends the text
        {"a&#x100;b", "a"},
        {"&#;b", ""},
        {"&#65;&#x", "A"},
        {"&AMP;", ""},           // entity names are case-sensitive
    };
    for (const auto& row : rows) {
        for (const std::string& text : {std::string("<a v=\"") + row.Raw + "\"/>",
                                        std::string("<a>") + row.Raw + "</a>",
                                        std::string("<?xml v='") + row.Raw + "'?><a/>"}) {
            XmlDocument document;
            ASSERT_EQ(0, ParseText(document, text)) << text;
            const char* decoded = document.Declaration.Count
                                      ? static_cast<XmlNode*>(document.Declaration.Items[0])->Text
                                      : document.Root->Attributes.Count ? document.Root->GetAttribute("v")
                                                                        : document.Root->Text;
            ASSERT_NE(nullptr, decoded) << text;
            EXPECT_EQ(std::string(row.Decoded), decoded) << text;
        }
    }
}

TEST(XmlParse, ReferencesNeverReachPastTheirValue)
{
    // The ";" that would complete each reference lies outside the value.
    XmlDocument attribute;
    ASSERT_EQ(0, attribute.Parse("<a v=\"x&#65\" w=';'/>"));
    EXPECT_STREQ("x", attribute.Root->GetAttribute("v"));

    XmlDocument text;
    ASSERT_EQ(0, text.Parse("<a>x&lt<b>;</b></a>"));
    EXPECT_STREQ("x", text.Root->Text);
    EXPECT_STREQ(";", text.Root->FindChild("b")->Text);
}

TEST(XmlParse, ReadsAttributesInOrder)
{
    XmlDocument document;
    ASSERT_EQ(0, document.Parse("<a id='\"q\"' id=\"second\" Id='x'\tempty=\"\"\r\nb = '1'c='2'/>"));
    XmlElement* root = document.Root;
    ASSERT_EQ(6, root->Attributes.Count);
    const char* names[] = {"id", "id", "Id", "empty", "b", "c"};
    const char* values[] = {"\"q\"", "second", "x", "", "1", "2"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(names[i], Attribute(root, i)->Name);
        EXPECT_STREQ(values[i], Attribute(root, i)->Text);
        EXPECT_EQ(root, Attribute(root, i)->Parent);
        EXPECT_EQ(kXmlAttributeNode, Attribute(root, i)->Kind);
    }
    EXPECT_STREQ("\"q\"", root->GetAttribute("id")) << "the first of duplicates";
    EXPECT_STREQ("x", root->GetAttribute("Id"));
    EXPECT_EQ(nullptr, root->GetAttribute("ID"));
    EXPECT_EQ(nullptr, root->GetAttribute("missing"));
    EXPECT_EQ(nullptr, root->GetAttribute(nullptr));
}

TEST(XmlParse, FindChildTakesTheFirstDirectChildByExactName)
{
    XmlDocument document;
    ASSERT_EQ(0, document.Parse("<r><A/><a>1</a><x><b/></x><a>2</a></r>"));
    XmlElement* root = document.Root;
    ASSERT_EQ(4, root->Children.Count);
    EXPECT_EQ(Child(root, 1), root->FindChild("a"));
    EXPECT_EQ(Child(root, 0), root->FindChild("A"));
    EXPECT_EQ(nullptr, root->FindChild("b")) << "grandchildren are not searched";
    EXPECT_EQ(nullptr, root->FindChild("r"));
    EXPECT_EQ(nullptr, root->FindChild(nullptr));
    EXPECT_EQ(Child(root, 2), Child(Child(root, 2), 0)->Parent);

    XmlDocument empty;
    ASSERT_EQ(0, empty.Parse("<Package/><Company/>"));
    EXPECT_STREQ("Package", empty.Root->Name);
    EXPECT_EQ(0, empty.Root->Children.Count);
    EXPECT_EQ(nullptr, empty.Root->FindChild("Company")) << "nothing after the root is read";
}

TEST(XmlParse, SkipsConstructsWithTheirContent)
{
    const char* constructs[] = {
        "<?pi <b/> ?>",
        "<!DOCTYPE r [<!ELEMENT b ANY>]>",
        "<!doctype r [ ]>",
        "<!CDATA <b/> ]]>",
        "<![CDATA[<b/>]]>",
        "<!-- <b/> -->",
        "<!---->",
    };
    for (const char* construct : constructs) {
        std::string text = std::string(construct) + "<r>" + construct + "</r>";
        XmlDocument document;
        ASSERT_EQ(0, ParseText(document, text)) << text;
        EXPECT_STREQ("r", document.Root->Name) << text;
        EXPECT_EQ(0, document.Root->Children.Count) << text;
        EXPECT_EQ(nullptr, document.Root->Text) << text;
    }
}

TEST(XmlParse, NamesUpTo259BytesFit)
{
    const std::string fits(259, 'n');
    const std::string tooLong(260, 'n');
    const struct {
        std::string Text;
        int Expected;
    } rows[] = {
        {"<" + fits + "/>", 0},
        {"<" + tooLong + "/>", -1},
        {"<" + fits + "></" + fits + "  >", 0},
        {"<a></" + tooLong + ">", -1},
        {"<a " + fits + "='1'/>", 0},
        {"<a " + tooLong + "='1'/>", -1},
        {"<?xml " + fits + "='1'?><a/>", 0},
        {"<?xml " + tooLong + "='1'?><a/>", -1},
        {"<" + std::string(100000, 'n'), -1},
    };
    for (const auto& row : rows) {
        XmlDocument document;
        EXPECT_EQ(row.Expected, ParseText(document, row.Text))
            << row.Text.substr(0, 20) << "... (" << row.Text.size() << " bytes)";
    }
}

TEST(XmlParse, DeepNestingNeedsNoStack)
{
    // Far deeper than a recursive reader (or destructor) could go on a 1 MB stack.
    const int depth = 200000;
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<e>";
    std::string open = text;
    for (int i = 0; i < depth; ++i)
        text += "</e>";

    {
        XmlDocument document;
        ASSERT_EQ(0, ParseText(document, text));
        int levels = 0;
        const XmlElement* element = document.Root;
        while (element) {
            ++levels;
            EXPECT_LE(element->Children.Count, 1);
            element = element->Children.Count ? Child(element, 0) : nullptr;
        }
        EXPECT_EQ(depth, levels);
    }
    {
        XmlDocument unclosed;
        EXPECT_EQ(-1, ParseText(unclosed, open));
        EXPECT_NE(nullptr, unclosed.Root) << "the partial tree is kept and freed with the document";
    }
}

TEST(XmlParse, FailedParseKeepsWhatWasAttached)
{
    XmlDocument document;
    ASSERT_EQ(-1, document.Parse("<r><a x='1'/><b y=></r>"));
    ASSERT_NE(nullptr, document.Root);
    ASSERT_EQ(1, document.Root->Children.Count);
    EXPECT_STREQ("a", Child(document.Root, 0)->Name);
    EXPECT_STREQ("1", Child(document.Root, 0)->GetAttribute("x"));
}

TEST(XmlParse, DocumentIsParsedOnce)
{
    XmlDocument document;
    ASSERT_EQ(0, document.Parse("<first/>"));
    XmlElement* root = document.Root;
    EXPECT_EQ(-1, document.Parse("<second><x/></second>"));
    EXPECT_EQ(root, document.Root);
    EXPECT_STREQ("first", document.Root->Name);
}

TEST(XmlParse, EmptyDocumentHasNoTree)
{
    XmlDocument document;
    EXPECT_EQ(nullptr, document.Root);
    EXPECT_EQ(0, document.Declaration.Count);
    EXPECT_EQ(nullptr, document.Declaration.Items);
    EXPECT_EQ(10, document.Declaration.GrowBy);

    XmlDocument declarationOnly;
    ASSERT_EQ(0, declarationOnly.Parse("<?xml a='1' b='2' c='3'?><"));
    EXPECT_EQ(nullptr, declarationOnly.Root);
    EXPECT_EQ(3, declarationOnly.Declaration.Count);
}
