// The removal handed over from the agent folder to a copy of the program in the temporary folder.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>

#include "setup/SetupProgramFixture.h"

using namespace xatest;

namespace {

// What a local user can make beforehand in the shared temporary folder where a removal's copy
// goes: under the first names that the process with the given id tries for the copy's folder,
// files in the way and folders holding a program of the copy's name. None may be used or written.
class PlantedNames {
public:
    explicit PlantedNames(DWORD process)
    {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof(temp), temp);
        for (DWORD i = 0; i < 8; ++i) {
            char name[16];
            std::snprintf(name, sizeof(name), "agt%04X", (unsigned)((process + i) & 0xFFFF));
            std::string path = std::string(temp) + name;
            if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                continue;  // not ours
            if (i % 2 == 0) {
                if (WriteWholeFile(path, kContent))
                    files_.push_back(path);
            } else if (CreateDirectoryA(path.c_str(), nullptr)) {
                folders_.push_back(path);
                if (WriteWholeFile(path + "\\" + name + ".exe", kContent))
                    files_.push_back(path + "\\" + name + ".exe");
            }
        }
    }
    ~PlantedNames()
    {
        for (const std::string& path : files_)
            DeleteFileA(path.c_str());
        for (const std::string& path : folders_)
            RemoveDirectoryA(path.c_str());
    }
    size_t Count() const { return files_.size(); }
    // The planted files that are no longer as they were, and the folders that hold more.
    std::vector<std::string> Changed() const
    {
        std::vector<std::string> changed;
        for (const std::string& path : files_)
            if (ReadWholeFile(path) != kContent)
                changed.push_back(path);
        for (const std::string& path : folders_) {
            WIN32_FIND_DATAA found;
            HANDLE find = FindFirstFileA((path + "\\*").c_str(), &found);
            int entries = 0;
            for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found))
                ++entries;
            if (find != INVALID_HANDLE_VALUE)
                FindClose(find);
            if (entries != 3)  // ".", ".." and the planted program
                changed.push_back(path);
        }
        return changed;
    }

private:
    static constexpr const char* kContent = "planted by a user";
    std::vector<std::string> files_;
    std::vector<std::string> folders_;
};

// The enabled Close button of the setup window's progress dialog, or null.
HWND EnabledCloseButton()
{
    HWND window = FindWindowA("XASETUP", nullptr);
    HWND dialog = window ? FindWindowExA(window, nullptr, "#32770", nullptr) : nullptr;
    HWND button = dialog ? GetDlgItem(dialog, 1003) : nullptr;
    return button && IsWindowEnabled(button) ? button : nullptr;
}

}  // namespace

// The uninstall entry starts the copy inside the agent folder: after the question it hands the
// removal over to a copy of itself in the temporary folder, which removes the folder without
// asking again and goes at the next restart. The first process shows nothing while it waits for
// the copy's result, and ends with it; then the copy deletes its program and the folder.
TEST_F(SetupProgramHandOver, RemovalFromTheAgentFolder)
{
    Package package("handover-package");
    RunLog log("handover-log");
    // Earlier runs in this prefix left their own entries for the restart.
    DeleteMachineValue("SYSTEM\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    std::string installed = AgentFolder("I1") + "\\XASetup.exe";
    ASSERT_TRUE(FileExistsAt(installed));

    // As the uninstall entry starts it: interactive, so the first process asks. It runs in the
    // agent folder, which the copy must not hold on to.
    log.Clear();
    std::string options = "/g I1 /r " + log.Option();
    SetupProcess first(installed, options, AgentFolder("I1"));
    HWND box = WaitForProcessWindow(first, "#32770", kQuestionCaption);
    ASSERT_TRUE(box);
    bool win9x = IsWin9xKind();
    std::unique_ptr<PlantedNames> planted;
    if (!win9x) {
        planted.reset(new PlantedNames(first.Id()));
        ASSERT_EQ(8u, planted->Count());
    }
    PressButton(box, IDOK);

    // The copy does not ask again; its window waits for Close.
    bool askedAgain = false;
    HWND close = nullptr;
    for (int tries = 0; tries < 1200 && !close; ++tries) {
        // The first process's own box may still be going away.
        HWND again = FindWindowA("#32770", kQuestionCaption);
        DWORD asker = 0;
        if (again)
            GetWindowThreadProcessId(again, &asker);
        if (again && asker != first.Id()) {
            askedAgain = true;
            PressButton(again, IDCANCEL);
        }
        close = EnabledCloseButton();
        if (!close)
            Sleep(50);
    }
    EXPECT_FALSE(askedAgain);
    ASSERT_TRUE(close);
    EXPECT_EQ("The application and its components have been removed successfully.",
              DialogText(GetParent(close), 1000));
    EXPECT_TRUE(first.Running()) << "the first process waits for the copy's result";
    EXPECT_EQ(nullptr, FindProcessWindow(first.Id(), "XASETUP"));
    EXPECT_TRUE(log.Has("Process is started."));
    PressButton(GetParent(close), 1003);
    EXPECT_EQ(0L, first.Wait());
    for (int tries = 0; tries < 600 && !log.Has("Agent setup finished!"); ++tries)
        Sleep(100);
    ASSERT_TRUE(log.Has("Agent setup finished!"));
    EXPECT_TRUE(InOrder(log.Messages(), {"Process is started.", "End install process. (0)",
                                         "The removal's copy reports 0.", "Agent setup finished!"}));

    std::vector<LogLine> lines = log.Lines();
    static const std::regex run(
        R"re(Run ""(.*\\agt[0-9A-Fa-f]+\.exe)" /t /w "[0-9a-f]+:[0-9a-f]+:XASetup\.exe" (.*)" to perform uninstallation\.)re");
    std::smatch match;
    std::string copy;
    for (const LogLine& line : lines)
        if (std::regex_match(line.Text, match, run)) {
            copy = match[1];
            EXPECT_EQ(options, match[2].str());
        }
    ASSERT_FALSE(copy.empty()) << "no hand-over line";
    // Two processes: the first ends after the hand-over, the copy runs the removal.
    EXPECT_NE(lines.front().Thread, lines.back().Thread);
    EXPECT_EQ(2, log.Count("> RunAsTemp = No") + log.Count("> RunAsTemp = Yes"));
    EXPECT_EQ(1, log.Count("> RunAsTemp = Yes"));
    EXPECT_EQ(1, log.Count("Agent setup finished!"));
    // The copy may start logging before the first process has logged that it started.
    EXPECT_TRUE(InOrder(log.Messages(), {"> RunAsTemp = Yes", "End install process. (0)",
                                         "Agent setup finished!"}));
    ExpectRemoved("I1");

    // The copy is left for the next restart, which deletes it.
    std::string upper = copy;
    CharUpperA(&upper[0]);
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof(temp), temp);
    std::string copyFolder = copy.substr(0, copy.rfind('\\'));
    if (win9x) {
        EXPECT_EQ(std::string(temp), copyFolder + "\\");
        char windows[MAX_PATH] = "";
        GetWindowsDirectoryA(windows, sizeof(windows));
        std::string wininit = ReadWholeFile(std::string(windows) + "\\WinInit.ini");
        CharUpperA(&wininit[0]);
        EXPECT_NE(std::string::npos, wininit.find("NUL=" + upper)) << wininit;
    } else {
        // On NT the copy lives alone in a new folder of its own in the temporary folder (where
        // no name that a user made beforehand was taken or written), and the folder goes at the
        // restart right after the copy. (Wine keeps no access lists on files: that the folder
        // admits only SYSTEM and Administrators cannot be read back here.)
        EXPECT_EQ(std::string(temp), copyFolder.substr(0, copyFolder.rfind('\\') + 1));
        EXPECT_EQ(std::vector<std::string>{}, planted->Changed());
        WIN32_FIND_DATAA found;
        std::vector<std::string> inside;
        HANDLE find = FindFirstFileA((copyFolder + "\\*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found))
            if (std::strcmp(found.cFileName, ".") && std::strcmp(found.cFileName, ".."))
                inside.push_back(found.cFileName);
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        EXPECT_EQ(std::vector<std::string>{copy.substr(copyFolder.size() + 1)}, inside);
        std::string pending = ReadMachineMultiString("SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                                     "PendingFileRenameOperations") + "|";
        CharUpperA(&pending[0]);
        std::string upperFolder = copyFolder;
        CharUpperA(&upperFolder[0]);
        EXPECT_NE(std::string::npos, pending.find("\\??\\" + upper + "||\\??\\" + upperFolder + "|")) << pending;
        // The copy deleted the original program and the agent folder itself: nothing of them waits.
        std::string agentFolder = AgentFolder("I1");
        CharUpperA(&agentFolder[0]);
        EXPECT_EQ(std::string::npos, pending.find("\\??\\" + agentFolder)) << pending;
    }
    EXPECT_TRUE(SameBytes(package.Setup(), copy));
    DeleteFileA(copy.c_str());
    RemoveDirectoryA(copyFolder.c_str());
    planted.reset();

    // A copy never hands over again, even when it runs from the folder it removes: its own file,
    // in use, and so the folder go at the next restart, the file under a name of its own, so that
    // a reinstallation before the restart keeps its new XASetup.exe.
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    log.Clear();
    EXPECT_EQ(win9x ? ERROR_DIR_NOT_EMPTY : ERROR_SUCCESS_REBOOT_REQUIRED,
              RunSetup(installed, "/t /g I1 /r /s " + log.Option()));
    EXPECT_TRUE(log.Has("> RunAsTemp = Yes"));
    EXPECT_FALSE(log.Has("Process is started."));
    EXPECT_TRUE(InOrder(log.Messages(), {"Begin install process.... (Version 5.2.0.1)", "The removal left 2 items" +
                                         std::string(win9x ? "." : "; they are deleted at the next restart."),
                                         "Agent setup finished!"}));
    if (!win9x) {
        std::string pending = ReadMachineMultiString("SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                                     "PendingFileRenameOperations") + "|";
        std::string agentFolder = AgentFolder("I1");
        CharUpperA(&pending[0]);
        CharUpperA(&agentFolder[0]);
        const std::string moved = "\"" + AgentFolder("I1") + "\\XASetup.exe\" goes at the next restart as \"";
        std::vector<std::string> lines = log.Messages();
        auto line = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& text) { return text.rfind(moved, 0) == 0; });
        ASSERT_NE(lines.end(), line) << "no line names the program's new name";
        std::string renamed = line->substr(moved.size(), line->size() - moved.size() - 2);
        CharUpperA(&renamed[0]);
        EXPECT_EQ(0u, renamed.rfind(agentFolder + "\\~", 0)) << renamed;
        size_t program = pending.find("\\??\\" + renamed + "||");
        EXPECT_NE(std::string::npos, program) << pending;
        EXPECT_EQ(std::string::npos, pending.find("XASETUP.EXE")) << pending;
        // Once, after its program, by the removal: the copy's own clean-up takes only a folder
        // made for a copy. (Earlier tests of the prefix may have left entries before these.)
        size_t folder = pending.find("\\??\\" + agentFolder + "|", program);
        EXPECT_TRUE(folder != std::string::npos && folder > program) << pending;
        EXPECT_EQ(std::string::npos, pending.find("\\??\\" + agentFolder + "|", folder + 1)) << pending;
    }
    RemoveTree(AgentFolder("I1"));
}

namespace {

// The log of the uninstall entry's commands, in the temporary folder of the user who runs them.
std::string EntryLog()
{
    char path[MAX_PATH] = "";
    ExpandEnvironmentStringsA("%TEMP%\\xasetup.log", path, sizeof(path));
    return path;
}

// Runs the entry's quiet command as a deployment tool does; its exit code. Then waits for the
// copy's end (its last line), which comes after the first process has ended.
long RemoveByEntry(const std::string& instance)
{
    DeleteFileA(EntryLog().c_str());
    std::string command = ReadMachineString(kUninstallKey + instance, "QuietUninstallString");
    long code = RunProcess(command, kRunLimitMs);
    for (int tries = 0; tries < 600; ++tries) {
        std::vector<std::string> messages = LogMessages(EntryLog());
        if (!messages.empty() && messages.back() == "Agent setup finished!")
            break;
        Sleep(100);
    }
    return code;
}

}  // namespace

// The entry's commands are a truthful way to remove: whoever runs one gets the removal's result.
// A file in use gives 3010 (Windows 9x, which deletes no folder at its restart: the folder's
// error), a removal that fails its error, a copy that cannot be started the error of that; and
// once the first process has ended, the copy deletes the original XASetup.exe, and the folder
// when nothing else keeps it.
TEST_F(SetupProgramHandOver, TheEntrysCommandsTellTheRemovalsResult)
{
    Package package("entry-package");
    RunLog log("entry-install-log");
    const bool win9x = IsWin9xKind();
    // Earlier runs in this prefix left their own entries for the restart.
    DeleteMachineValue("SYSTEM\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations");
    const std::string folder = AgentFolder("I1");
    const std::string original = folder + "\\XASetup.exe";

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    {
        FileHolder holder(folder + "\\LogScan.dll");  // no sharing: it stays under its own name
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(win9x ? ERROR_DIR_NOT_EMPTY : ERROR_SUCCESS_REBOOT_REQUIRED, RemoveByEntry("I1"));
    }
    std::vector<std::string> messages = LogMessages(EntryLog());
    EXPECT_TRUE(InOrder(messages, {"Process is started.", "\"" + original + "\" goes once the first process has ended.",
                                   win9x ? "The removal left 2 items." : "The removal left 2 items; they are deleted at the next restart.",
                                   "The removal's copy reports " + std::to_string(win9x ? ERROR_DIR_NOT_EMPTY : ERROR_SUCCESS_REBOOT_REQUIRED) + ".",
                                   "\"" + original + "\" is removed.", "Agent setup finished!"}));
    EXPECT_FALSE(FileExistsAt(original));
    EXPECT_EQ(std::vector<std::string>{"LogScan.dll"}, FolderEntries(folder));
    if (!win9x) {
        std::string pending = ReadMachineMultiString("SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                                     "PendingFileRenameOperations") + "|";
        std::string upper = folder;
        CharUpperA(&pending[0]);
        CharUpperA(&upper[0]);
        EXPECT_NE(std::string::npos, pending.find("\\??\\" + upper + "\\LOGSCAN.DLL||\\??\\" + upper + "|")) << pending;
        EXPECT_EQ(std::string::npos, pending.find("\\??\\" + upper + "\\XASETUP.EXE")) << pending;
        EXPECT_EQ(std::string::npos, pending.find("\\??\\" + upper + "\\~")) << pending;
    }
    RemoveTree(folder);

    // A removal that fails: a file in use in the agent's working folder, which is never left for
    // the restart. The agent folder itself goes whole once the first process has ended.
    ScratchFolder work("entry-work");
    ASSERT_TRUE(WriteWholeFile(work / "NetProbe.exe", "a tool of the agent"));
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    ASSERT_TRUE(WriteWholeFile(folder + "\\ArvaneD.ini", "Agent_Temp_Dir " + work.Path() + "\r\n"));
    {
        FileHolder holder(work / "NetProbe.exe");
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(ERROR_SHARING_VIOLATION, RemoveByEntry("I1"));
    }
    messages = LogMessages(EntryLog());
    EXPECT_TRUE(InOrder(messages, {"The removal's copy reports 32.", "\"" + original + "\" is removed.",
                                   "\"" + folder + "\" is removed.", "Agent setup finished!"}));
    EXPECT_FALSE(FileExistsAt(folder));
    ExpectRemoved("I1");

    // A copy that cannot be started (its command line would be longer than a command line may
    // be): the first process ends with that error, and nothing is removed.
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    log.Clear();
    std::string command = "\"" + original + "\" /g I1 /r /s " + log.Option() + " /m ";
    command += std::string(32760 - command.size(), 'm');
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, RunProcess(command, kRunLimitMs));
    EXPECT_TRUE(log.Has("New process is not started. " + SystemMessage(ERROR_FILENAME_EXCED_RANGE)));
    EXPECT_FALSE(log.Has("Begin install process.... (Version 5.2.0.1)"));
    ExpectInstalled("I1", "Arvane Agent");
}

// A copy that ends without telling its result (killed, here, while its window waits for Close):
// the first process does not wait for nobody, and ends with the copy's exit code.
TEST_F(SetupProgramHandOver, ACopyThatEndsWithoutAResultGivesItsExitCode)
{
    Package package("killed-package");
    RunLog log("killed-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    log.Clear();
    SetupProcess first(AgentFolder("I1") + "\\XASetup.exe", "/g I1 /r " + log.Option());
    HWND box = WaitForProcessWindow(first, "#32770", kQuestionCaption);
    ASSERT_TRUE(box);
    PressButton(box, IDOK);
    HWND close = nullptr;
    for (int tries = 0; tries < 1200 && !close; ++tries) {
        close = EnabledCloseButton();
        if (!close)
            Sleep(50);
    }
    ASSERT_TRUE(close);
    DWORD copyId = 0;
    GetWindowThreadProcessId(close, &copyId);
    ASSERT_NE(first.Id(), copyId);
    HANDLE copy = OpenProcess(PROCESS_TERMINATE, FALSE, copyId);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(TerminateProcess(copy, 1234));
    CloseHandle(copy);
    EXPECT_EQ(1234L, first.Wait());
    EXPECT_TRUE(InOrder(log.Messages(), {"Process is started.", "End install process. (0)",
                                         "The removal's copy reports 1234."}));
}
