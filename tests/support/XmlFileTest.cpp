// Loading XML files from disk: the encoding signatures, the declaration search, short and empty
// files, and the Windows codes of files that cannot be opened.
#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "support/Xml.h"

using namespace xatest;

namespace {

const std::string kUtf8Mark = "\xEF\xBB\xBF";

std::string Bytes(std::initializer_list<unsigned char> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

TEST(XmlFile, LoadsThePackageExample)
{
    ScratchFolder folder("xml-package");
    std::string path = folder / "Package.xml";
    ASSERT_TRUE(WriteWholeFile(path, "<?xml version=\"1.0\" ?>\r\n<!-- packaged -->\r\n"
                                     "<Package GUID=\"G\" PartitionId=\"P\">\r\n"
                                     "  <Company>A &amp; B</Company>\r\n  <Contact> x </Contact>\r\n"
                                     "</Package>\r\n"));
    XmlDocument document;
    ASSERT_EQ(0, document.LoadFile(path.c_str()));
    ASSERT_NE(nullptr, document.Root);
    EXPECT_STREQ("Package", document.Root->Name);
    EXPECT_STREQ("G", document.Root->GetAttribute("GUID"));
    EXPECT_STREQ("P", document.Root->GetAttribute("PartitionId"));
    ASSERT_NE(nullptr, document.Root->FindChild("Company"));
    EXPECT_STREQ("A & B", document.Root->FindChild("Company")->Text);
    EXPECT_STREQ("x ", document.Root->FindChild("Contact")->Text);
    EXPECT_EQ(1, document.Declaration.Count);
}

TEST(XmlFile, ChoosesByTheFirstBytes)
{
    const std::string declared = "<?xml version=\"1.0\"?><Package/>";
    const struct {
        const char* Label;
        std::string Content;
        int Expected;
        const char* Root;  // expected root name after success; null: none
    } rows[] = {
        {"UTF-8 mark, no declaration", kUtf8Mark + "<Package/>", 0, "Package"},
        {"UTF-8 mark and declaration", kUtf8Mark + declared, 0, "Package"},
        {"UTF-8 mark, line break, declaration", kUtf8Mark + "\r\n" + declared, kXmlInvalidParameter, nullptr},
        {"UTF-8 mark and a lone <", kUtf8Mark + "<", 0, nullptr},
        {"declaration first", declared, 0, "Package"},
        {"junk before the declaration", "junk <a> \r\n" + declared, 0, "Package"},
        {"no mark, no declaration", "<Package/>", kXmlInvalidData, nullptr},
        {"declaration only after a NUL", std::string("<Package/>\0", 11) + declared, kXmlInvalidData, nullptr},
        {"exactly <?xm", "<?xm", -1, nullptr},
        {"NUL ends the text after the root", declared + std::string("\0<", 2), 0, "Package"},
        {"NUL inside the root", std::string("<?xml version=\"1.0\"?><a>b\0</a>", 30), -1, nullptr},
        {"UCS-4 big-endian mark", Bytes({0x00, 0x00, 0xFE, 0xFF}) + declared, kXmlEncodingNotSupported, nullptr},
        {"UCS-4 little-endian mark", Bytes({0xFF, 0xFE, 0x00, 0x00}) + declared, kXmlEncodingNotSupported, nullptr},
        {"UCS-4 2143 mark", Bytes({0x00, 0x00, 0xFF, 0xFE}) + declared, kXmlEncodingNotSupported, nullptr},
        {"UCS-4 3412 mark", Bytes({0xFE, 0xFF, 0x00, 0x00}) + declared, kXmlEncodingNotSupported, nullptr},
        {"UTF-16 little-endian mark", Bytes({0xFF, 0xFE, '<', 0x00, '?', 0x00}), kXmlEncodingNotSupported, nullptr},
        {"UTF-16 big-endian mark", Bytes({0xFE, 0xFF, 0x00, '<', 0x00, '?'}), kXmlEncodingNotSupported, nullptr},
        {"UCS-4 big-endian <", Bytes({0x00, 0x00, 0x00, 0x3C}), kXmlEncodingNotSupported, nullptr},
        {"UCS-4 little-endian <", Bytes({0x3C, 0x00, 0x00, 0x00}), kXmlEncodingNotSupported, nullptr},
        {"UCS-4 2143 <", Bytes({0x00, 0x00, 0x3C, 0x00}), kXmlEncodingNotSupported, nullptr},
        {"UCS-4 3412 <", Bytes({0x00, 0x3C, 0x00, 0x00}), kXmlEncodingNotSupported, nullptr},
        {"UTF-16 big-endian <?", Bytes({0x00, 0x3C, 0x00, 0x3F, 0x00, 0x78}), kXmlEncodingNotSupported, nullptr},
        {"UTF-16 little-endian <?", Bytes({0x3C, 0x00, 0x3F, 0x00, 0x78, 0x00}), kXmlEncodingNotSupported, nullptr},
        {"EBCDIC <?xm", Bytes({0x4C, 0x6F, 0xA7, 0x94, 0x40}), kXmlEncodingNotSupported, nullptr},
        {"empty file", "", kXmlInvalidData, nullptr},
        {"three bytes", "<a>", kXmlInvalidData, nullptr},
        {"UTF-8 mark alone", kUtf8Mark, kXmlInvalidData, nullptr},
        {"four bytes without declaration", "<a/>", kXmlInvalidData, nullptr},
    };
    ScratchFolder folder("xml-signatures");
    int index = 0;
    for (const auto& row : rows) {
        std::string path = folder / ("file" + std::to_string(index++) + ".xml");
        ASSERT_TRUE(WriteWholeFile(path, row.Content)) << row.Label;
        XmlDocument document;
        EXPECT_EQ(row.Expected, document.LoadFile(path.c_str())) << row.Label;
        if (row.Root) {
            ASSERT_NE(nullptr, document.Root) << row.Label;
            EXPECT_STREQ(row.Root, document.Root->Name) << row.Label;
        } else if (row.Expected == 0) {
            EXPECT_EQ(nullptr, document.Root) << row.Label;
        }
    }
}

TEST(XmlFile, PassesOnTheCodesOfFilesThatCannotBeOpened)
{
    ScratchFolder folder("xml-open");
    XmlDocument document;
    EXPECT_EQ(kXmlInvalidParameter, document.LoadFile(nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, document.LoadFile((folder / "missing.xml").c_str()));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, document.LoadFile((folder / "missing\\Package.xml").c_str()));

    // Held open without sharing: the open fails with the sharing violation.
    std::string path = folder / "held.xml";
    ASSERT_TRUE(WriteWholeFile(path, "<?xml version=\"1.0\"?><held/>"));
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(ERROR_SHARING_VIOLATION, document.LoadFile(path.c_str()));
    CloseHandle(holder);
    EXPECT_EQ(nullptr, document.Root);
}

TEST(XmlFile, ReadsAFileThatAnotherProgramIsWriting)
{
    ScratchFolder folder("xml-shared");
    std::string path = folder / "Package.xml";
    ASSERT_TRUE(WriteWholeFile(path, "<?xml version=\"1.0\"?><Package/>"));
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    XmlDocument document;
    EXPECT_EQ(0, document.LoadFile(path.c_str()));
    CloseHandle(writer);
    ASSERT_NE(nullptr, document.Root);
    EXPECT_STREQ("Package", document.Root->Name);
}

TEST(XmlFile, RefusesASizeThatWouldWrapAround)
{
    // 4 GiB - 1 bytes (sparse): the size plus its two terminators does not fit 32 bits.
    ScratchFolder folder("xml-huge");
    std::string path = folder / "huge.xml";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER size;
    size.QuadPart = 0xFFFFFFFF;
    bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized)
        GTEST_SKIP() << "no room for a sparse 4 GiB file";
    XmlDocument document;
    EXPECT_EQ(kXmlNotEnoughMemory, document.LoadFile(path.c_str()));
}
