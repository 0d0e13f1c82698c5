// Start-menu links written through the shell's ShellLink object in the prefix's real special
// folders, and read back through IShellLinkA.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <thread>

#include "harness/TestSupport.h"
#include "procedures/Installer.h"
#include "procedures/Shortcuts.h"

using namespace xatest;

namespace {

std::string SpecialFolder(int id)
{
    char path[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, path, id, FALSE);
    return path;
}

// What a link file holds, as the shell reads it.
struct LinkFields {
    HRESULT Loaded = E_FAIL;
    std::string Target, WorkingFolder, Description, Arguments, Icon;
};

LinkFields ReadLink(const std::string& path)
{
    LinkFields fields;
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        std::wstring wide(path.begin(), path.end());
        fields.Loaded = file->Load(wide.c_str(), STGM_READ);
        if (SUCCEEDED(fields.Loaded)) {
            char text[MAX_PATH];
            int icon = 0;
            if (SUCCEEDED(link->GetPath(text, sizeof(text), nullptr, SLGP_RAWPATH)))
                fields.Target = text;
            if (SUCCEEDED(link->GetWorkingDirectory(text, sizeof(text))))
                fields.WorkingFolder = text;
            if (SUCCEEDED(link->GetDescription(text, sizeof(text))))
                fields.Description = text;
            if (SUCCEEDED(link->GetArguments(text, sizeof(text))))
                fields.Arguments = text;
            if (SUCCEEDED(link->GetIconLocation(text, sizeof(text), &icon)))
                fields.Icon = text;
        }
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    if (SUCCEEDED(initialised))
        CoUninitialize();
    return fields;
}

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

// The general operations, with the fields the agent's own link leaves out.
TEST_F(AgentShortcutTest, GeneralOperations)
{
    const int id = data_.IsWin9x ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS;
    char path[MAX_PATH];
    EXPECT_EQ(S_OK, GetSpecialFolderPath(id, nullptr, path));
    EXPECT_EQ(root_, path);
    EXPECT_EQ(S_OK, GetSpecialFolderPath(id, "Acme\\Tools", path));
    EXPECT_EQ(group_ + "\\Tools", path);
    EXPECT_EQ(S_OK, GetShortcutPath(id, "Acme", "X.lnk", path));
    EXPECT_EQ(group_ + "\\X.lnk", path);
    EXPECT_EQ(E_INVALIDARG, GetShortcutPath(id, "Acme", nullptr, path));
    EXPECT_EQ(E_INVALIDARG, GetShortcutPath(id, "Acme", "X.lnk", nullptr));
    const std::string tooLong(MAX_PATH, 'a');
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), GetSpecialFolderPath(id, tooLong.c_str(), path));

    EXPECT_EQ(S_OK, CreateShortcutFolder(id, nullptr));
    EXPECT_EQ(S_OK, CreateShortcutFolder(id, ""));
    EXPECT_EQ(S_OK, CreateShortcutFolder(id, "Acme\\Tools"));
    EXPECT_TRUE(FileExistsAt(group_ + "\\Tools"));

    EXPECT_EQ(E_INVALIDARG, CreateShortcut(id, "Acme", nullptr, "C:\\x.exe", nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(id, "Acme", "X.lnk", nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(S_OK, CreateShortcut(id, "Acme\\Tools", "Tool.lnk", "C:\\Tools\\tool.exe", "A tool", "/fast",
                                   "C:\\Tools\\tool.ico", 0));
    LinkFields tool = ReadLink(group_ + "\\Tools\\Tool.lnk");
    ASSERT_EQ(S_OK, tool.Loaded);
    EXPECT_EQ("C:\\Tools\\tool.exe", tool.Target);
    EXPECT_EQ("C:\\Tools", tool.WorkingFolder);
    EXPECT_EQ("A tool", tool.Description);
    EXPECT_EQ("/fast", tool.Arguments);
    EXPECT_EQ("C:\\Tools\\tool.ico", tool.Icon);
    // A target without a folder is its own working folder.
    EXPECT_EQ(S_OK, CreateShortcut(id, "Acme\\Tools", "Bare.lnk", "tool.exe", nullptr, nullptr, nullptr, 0));
    EXPECT_EQ("tool.exe", ReadLink(group_ + "\\Tools\\Bare.lnk").WorkingFolder);

    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, "Acme\\Tools"));
    EXPECT_TRUE(FileExistsAt(group_ + "\\Tools")) << "a group with links stays";
    EXPECT_EQ(S_OK, DeleteShortcut(id, "Acme\\Tools", "Tool.lnk"));
    EXPECT_EQ(S_OK, DeleteShortcut(id, "Acme\\Tools", "Bare.lnk"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), DeleteShortcut(id, "Acme\\Tools", "Tool.lnk"));
    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, "Acme\\Tools"));
    EXPECT_FALSE(FileExistsAt(group_ + "\\Tools"));
    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, nullptr));
    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, ""));
    EXPECT_TRUE(FileExistsAt(root_));
}
