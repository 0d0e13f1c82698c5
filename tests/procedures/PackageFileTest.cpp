// Package.xml written into a scratch agent folder and read back byte for byte.
#include <gtest/gtest.h>

#include "harness/DiskCalls.h"
#include "harness/TestSupport.h"
#include "procedures/Installer.h"
#include "procedures/PackageInfoFile.h"

using namespace xatest;

namespace {

std::string PackageBytes(const std::string& escapedId)
{
    return "<?xml version=\"1.0\" ?>\r\n<!-- Please do not remove or modify this file. -->\r\n<Package>\r\n<ID>" +
           escapedId + "</ID>\r\n</Package>\r\n";
}

class PackageFileTest : public testing::Test {
protected:
    PackageFileTest() : dest_("package"), path_(dest_ / "Package.xml"), installer_(&data_)
    {
        data_.Instance = DuplicateText("I1");
        data_.DestFolder = DuplicateText(dest_.Path().c_str());
    }

    ScratchFolder dest_;
    std::string path_;
    InstallationData data_;
    Installer installer_;
};

}  // namespace

TEST_F(PackageFileTest, WritesTheFiveLinesWithTheEscapedInstanceId)
{
    const std::pair<const char*, std::string> rows[] = {
        {"I1", "I1"},
        {"{3D7A0F52-9C41}", "{3D7A0F52-9C41}"},
        {"A&B", "A&amp;B"},
        {"<x>\"y\"'z'", "&lt;x&gt;&quot;y&quot;&apos;z&apos;"},
        {"&&", "&amp;&amp;"},
    };
    DiskCalls calls;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        ReplaceText(data_.Instance, DuplicateText(row.first));
        EXPECT_EQ(0, WritePackageFile(installer_.Data, 0));
        EXPECT_EQ(PackageBytes(row.second), ReadWholeFile(path_));
    }
    // Flushed before the rename that puts it in place, which is written through: a power cut
    // leaves the old file or the new one.
    EXPECT_EQ(std::vector<std::string>{}, calls.Faults());
    EXPECT_EQ(5, calls.WrittenFilesRenamed());
}

TEST_F(PackageFileTest, KeepExistingLeavesAnExistingFileUntouched)
{
    const std::string custom = "<Package><ID>Other</ID></Package>";
    ASSERT_TRUE(WriteWholeFile(path_, custom));
    EXPECT_EQ(0, WritePackageFile(installer_.Data, 1));
    EXPECT_EQ(custom, ReadWholeFile(path_));

    EXPECT_EQ(0, WritePackageFile(installer_.Data, 0));
    EXPECT_EQ(PackageBytes("I1"), ReadWholeFile(path_));

    DeleteFileA(path_.c_str());
    EXPECT_EQ(0, WritePackageFile(installer_.Data, 1));
    EXPECT_EQ(PackageBytes("I1"), ReadWholeFile(path_));
}

TEST_F(PackageFileTest, FileThatCannotBeWrittenGivesTheSystemError)
{
    // A folder in the file's place is no existing file, so even keep-existing tries and fails.
    ASSERT_TRUE(CreateDirectoryA(path_.c_str(), nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, WritePackageFile(installer_.Data, 1));
    RemoveDirectoryA(path_.c_str());

    ReplaceText(data_.DestFolder, DuplicateText((dest_ / "missing").c_str()));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, WritePackageFile(installer_.Data, 0));

    // Held open without sharing by someone else: the new file, written beside it, cannot take
    // its place, and goes again.
    ReplaceText(data_.DestFolder, DuplicateText(dest_.Path().c_str()));
    HANDLE held = CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(ERROR_ACCESS_DENIED, WritePackageFile(installer_.Data, 0));
    CloseHandle(held);
    EXPECT_FALSE(FileExistsAt(path_ + ".partial"));
}
