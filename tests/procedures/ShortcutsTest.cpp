// The agent's Start-menu link in the prefix's real special folders, read back through the shell.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <thread>

#include "harness/ShellLinkReader.h"
#include "harness/TestSupport.h"
#include "procedures/Installer.h"
#include "procedures/Shortcuts.h"

using namespace xatest;

namespace {

class AgentShortcutTest : public testing::Test {
protected:
    AgentShortcutTest() : dest_("agent"), installer_(&data_)
    {
        // The version mode decides the branch as the running system would.
        data_.IsWin9x = WineKind().find("win98") != std::string::npos;
        data_.Title = DuplicateText("Acme Agent");
        data_.Company = DuplicateText("Acme");
        data_.DestFolder = DuplicateText(dest_.Path().c_str());
        WriteWholeFile(dest_ / "AgentCore.exe", "agent");
        root_ = SpecialFolder(data_.IsWin9x ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS);
        otherRoot_ = SpecialFolder(data_.IsWin9x ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS);
        group_ = root_ + "\\Acme";
        link_ = group_ + "\\Acme Agent.lnk";
        Clean();
    }
    ~AgentShortcutTest() override { Clean(); }

    void Clean()
    {
        RemoveTree(group_);
        RemoveTree(otherRoot_ + "\\Acme");
    }

    ScratchFolder dest_;
    InstallationData data_;
    Installer installer_;
    std::string root_, otherRoot_, group_, link_;
};

}  // namespace

TEST_F(AgentShortcutTest, NewInstallationWritesTheLinkInTheCompanyGroup)
{
    ASSERT_FALSE(root_.empty());
    EXPECT_EQ(0, CreateAgentShortcut(installer_.Data, 0));

    LinkFields link = ReadLink(link_);
    ASSERT_EQ(S_OK, link.Loaded) << link_;
    EXPECT_EQ(dest_ / "AgentCore.exe", link.Target);
    EXPECT_EQ(dest_.Path(), link.WorkingFolder);
    EXPECT_EQ("Starts the agent service.", link.Description);
    EXPECT_EQ("", link.Arguments);
    EXPECT_FALSE(FileExistsAt(otherRoot_ + "\\Acme")) << "the link belongs in one Programs folder only";
}

TEST_F(AgentShortcutTest, UpdateRecreatesOnlyAMissingLink)
{
    const std::string userEdited = "edited by the user";
    ASSERT_EQ(0, CreateAgentShortcut(installer_.Data, 0));
    ASSERT_TRUE(WriteWholeFile(link_, userEdited));

    EXPECT_EQ(0, CreateAgentShortcut(installer_.Data, 1));
    EXPECT_EQ(userEdited, ReadWholeFile(link_)) << "an update leaves an existing link alone";

    EXPECT_EQ(0, CreateAgentShortcut(installer_.Data, 0));
    EXPECT_EQ(S_OK, ReadLink(link_).Loaded) << "a new installation rewrites it";

    ASSERT_TRUE(DeleteFileA(link_.c_str()));
    EXPECT_EQ(0, CreateAgentShortcut(installer_.Data, 1));
    LinkFields link = ReadLink(link_);
    ASSERT_EQ(S_OK, link.Loaded) << "an update brings back a deleted link";
    EXPECT_EQ(dest_ / "AgentCore.exe", link.Target);

    // A missing group is created again as well.
    RemoveTree(group_);
    EXPECT_EQ(0, CreateAgentShortcut(installer_.Data, 1));
    EXPECT_EQ(S_OK, ReadLink(link_).Loaded);
}

TEST_F(AgentShortcutTest, RemovalKeepsAGroupThatHoldsAnotherLink)
{
    struct Row {
        const char* Case;
        bool AgentLink;
        bool OtherLink;
        int Expected;
        bool GroupStays;
    };
    const Row rows[] = {
        {"group shared with another program", true, true, 0, true},
        {"agent's link was the last entry", true, false, 0, false},
        {"link already gone, empty group", false, false, ERROR_FILE_NOT_FOUND, false},
        {"link already gone, shared group", false, true, ERROR_FILE_NOT_FOUND, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        Clean();
        ASSERT_EQ(0, CreateAgentShortcut(installer_.Data, 0));
        if (!row.AgentLink)
            DeleteFileA(link_.c_str());
        if (row.OtherLink)
            WriteWholeFile(group_ + "\\Acme Viewer.lnk", "other");

        EXPECT_EQ(row.Expected, RemoveAgentShortcut(installer_.Data));
        EXPECT_FALSE(FileExistsAt(link_));
        EXPECT_EQ(row.GroupStays, FileExistsAt(group_));
        if (row.OtherLink) {
            EXPECT_EQ("other", ReadWholeFile(group_ + "\\Acme Viewer.lnk"));
        }
    }
}

TEST_F(AgentShortcutTest, MissingFieldsGive87AndTouchNothing)
{
    struct Row {
        char* InstallationData::*Field;
        bool NeededForRemoval;
    };
    const Row rows[] = {
        {&InstallationData::Title, true},
        {&InstallationData::Company, true},
        {&InstallationData::DestFolder, false},
    };
    for (const Row& row : rows) {
        char* saved = data_.*row.Field;
        Clean();
        data_.*row.Field = nullptr;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, CreateAgentShortcut(installer_.Data, 0));
        EXPECT_FALSE(FileExistsAt(group_));

        data_.*row.Field = saved;
        ASSERT_EQ(0, CreateAgentShortcut(installer_.Data, 0));
        data_.*row.Field = nullptr;
        EXPECT_EQ(row.NeededForRemoval ? ERROR_INVALID_PARAMETER : 0, RemoveAgentShortcut(installer_.Data));
        EXPECT_EQ(row.NeededForRemoval, FileExistsAt(link_));
        data_.*row.Field = saved;
    }
}

TEST_F(AgentShortcutTest, ComFailureIsReducedToItsLow16Bits)
{
    // A thread already in a single-threaded apartment cannot enter the multithreaded one.
    int created = -1;
    int removed = -1;
    std::thread apartment([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        created = CreateAgentShortcut(installer_.Data, 0);
        removed = RemoveAgentShortcut(installer_.Data);
        CoUninitialize();
    });
    apartment.join();
    EXPECT_EQ(RPC_E_CHANGED_MODE & 0xFFFF, created);
    EXPECT_EQ(RPC_E_CHANGED_MODE & 0xFFFF, removed);
    EXPECT_FALSE(FileExistsAt(link_));
}
