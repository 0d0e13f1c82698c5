// The real XASetup.exe, run as a deployment tool or a user runs it: a package folder with the
// setup program beside the agent's files (the stand-ins as AgentCore.exe and UserTray.exe, sample
// files for the rest), the prefix's real registry, service manager and files, the setup log read
// back, and the exit code in full. A helper thread plays the user where a run shows a window or
// a message box.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/ProcessTestSupport.h"
#include "control/ServiceTestSupport.h"
#include "harness/TestSupport.h"
#include "procedures/InstallationTestSupport.h"
#include "procedures/LeftoversTestSupport.h"
#include "procedures/ProcedureTestSupport.h"
#include "setup/BuildInstallationData.h"

using namespace xatest;

namespace {

const char* const kSampleFiles[] = {"EvtMsg64.exe", "PortProbe.exe", "libcmx.dgst", "AgentExt.dll",
                                    "EventHook.dll", "LogScan.dll", "sporder.dll", "libcmx.dll",
                                    "ArvaneD.VXD", "XAPFA.sys", "XAPFA64.sys", "ArvaneSP.dll"};
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\XA";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const DWORD kRunLimitMs = 120000;
// How long an update may take beyond its copy, and a removal, from the log's first line of the
// procedure to its last: the agent and its task are waited for only until they have ended.
const long kWaitingRunLimitMs = 1000;

bool IsWin9x()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

std::string AgentKey(const std::string& instance) { return "SOFTWARE\\Arvane\\Agent\\" + instance; }

// Where the agent of an instance goes by default: the prefix's own Program Files folder.
std::string AgentFolder(const std::string& instance)
{
    return ReadMachineString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir") + "\\Arvane\\" +
           instance;
}

// The program under test: the one built, or the one that XA_SETUP_PROGRAM names (a signed copy).
std::string SetupProgramPath()
{
    char path[MAX_PATH] = "";
    DWORD length = GetEnvironmentVariableA("XA_SETUP_PROGRAM", path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return FixturePath("XASetup.exe");
    std::printf("setup program under test: %s\n", path);
    return path;
}

// A copy the program makes of itself must be whole, so that a signed program's copy stays signed.
::testing::AssertionResult SameBytes(const std::string& original, const std::string& copy)
{
    std::string bytes = ReadWholeFile(original), copied = ReadWholeFile(copy);
    if (!bytes.empty() && bytes == copied)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << copy << " (" << copied.size() << " bytes) is not a copy of " << original
                                         << " (" << bytes.size() << " bytes)";
}

// The log's line that names the system, as the manual's platform table gives it for a kind.
std::string ManualOsLine(const std::string& kind)
{
    std::string readme = ReadWholeFile(XA_README_PATH);
    size_t at = readme.find("\n### Platforms tested");
    size_t end = readme.find("\n#", at + 1);
    static const std::regex row(R"re(\| [^|]+ \| `([^`]+)` \| "([^"]+)".*)re");
    while (at < end && at < readme.size()) {
        size_t next = readme.find('\n', at + 1);
        std::string line = readme.substr(at + 1, next - at - 1);
        std::smatch match;
        if (std::regex_match(line, match, row) && match[1] == kind)
            return match[2];
        at = next;
    }
    return "";
}

// The sample agent package: XASetup.exe beside the agent's files.
class Package {
public:
    explicit Package(const std::string& name) : folder_(name)
    {
        EXPECT_TRUE(CopyFileA(SetupProgramPath().c_str(), Setup().c_str(), FALSE)) << SetupProgramPath();
        Copy("agentstandin.exe", "AgentCore.exe");
        Copy("usertraystandin.exe", "UserTray.exe");
        for (const char* file : kSampleFiles)
            WriteWholeFile(folder_ / file, std::string("sample agent file ") + file);
    }
    std::string Path(const std::string& file) const { return folder_ / file; }
    std::string Setup() const { return folder_ / "XASetup.exe"; }
    const std::string& Folder() const { return folder_.Path(); }

private:
    void Copy(const char* fixture, const char* name)
    {
        EXPECT_TRUE(CopyFileA(FixturePath(fixture).c_str(), (folder_ / name).c_str(), FALSE)) << fixture;
    }
    ScratchFolder folder_;
};

struct LogLine {
    std::string Thread;
    std::string Text;
    long Ms;  // of the day
};

// The setup log of one run (or of the two processes of a handed-over removal).
class RunLog {
public:
    explicit RunLog(const std::string& name) : folder_(name), path_(folder_ / "setup.log") {}
    const std::string& Path() const { return path_; }
    std::string Option() const { return "/l \"" + path_ + "\""; }
    // The lines without time stamps; a line that holds a system message with line breaks stays one.
    std::vector<LogLine> Lines() const
    {
        static const std::regex stamp(R"(^\d{4}/\d\d/\d\d (\d\d):(\d\d):(\d\d)\.(\d{3}) \[([0-9a-f]+)\]: (.*)$)");
        std::vector<LogLine> lines;
        for (const std::string& line : SplitLines(ReadWholeFile(path_))) {
            std::smatch match;
            if (std::regex_match(line, match, stamp))
                lines.push_back({match[5], match[6],
                                 ((std::stol(match[1]) * 60 + std::stol(match[2])) * 60 + std::stol(match[3])) * 1000 +
                                     std::stol(match[4])});
            else if (!lines.empty())
                lines.back().Text += "\r\n" + line;
        }
        return lines;
    }
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> messages;
        for (const LogLine& line : Lines())
            messages.push_back(line.Text);
        return messages;
    }
    bool Has(const std::string& message) const
    {
        for (const std::string& text : Messages())
            if (text == message)
                return true;
        return false;
    }
    // Milliseconds from the first line that starts with from to the next that starts with to;
    // -1 when either is missing.
    long Span(const std::string& from, const std::string& to) const
    {
        long begin = -1;
        for (const LogLine& line : Lines()) {
            if (begin < 0 && line.Text.rfind(from, 0) == 0)
                begin = line.Ms;
            else if (begin >= 0 && line.Text.rfind(to, 0) == 0)
                return (line.Ms - begin + 86400000) % 86400000;  // across midnight too
        }
        return -1;
    }
    int Count(const std::string& message) const
    {
        int count = 0;
        for (const std::string& text : Messages())
            count += text == message;
        return count;
    }
    void Clear() { DeleteFileA(path_.c_str()); }

private:
    ScratchFolder folder_;
    std::string path_;
};

// The index of each expected message, found in this order; -1 for one that is missing.
::testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (const std::string& wanted : expected) {
        while (at < messages.size() && messages[at] != wanted)
            ++at;
        if (at == messages.size()) {
            std::string all;
            for (const std::string& message : messages)
                all += "\n  " + message;
            return ::testing::AssertionFailure() << "\"" << wanted << "\" missing or out of order in:" << all;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

long RunSetup(const std::string& program, const std::string& options, DWORD limitMs = kRunLimitMs)
{
    return RunProcess("\"" + program + "\" " + options, limitMs);
}

// A setup process that a test watches and answers while it runs.
class SetupProcess {
public:
    // folder: the process's current folder, the test's own when empty.
    SetupProcess(const std::string& program, const std::string& options, const std::string& folder = "")
    {
        std::string command = "\"" + program + "\" " + options;
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_SHOWNORMAL;
        PROCESS_INFORMATION process = {};
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
            id_ = process.dwProcessId;
        }
    }
    ~SetupProcess()
    {
        if (process_) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_, 1);
            CloseHandle(process_);
        }
    }
    SetupProcess(const SetupProcess&) = delete;
    SetupProcess& operator=(const SetupProcess&) = delete;
    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // The exit code, or -2 when the process has not ended within limitMs.
    long Wait(DWORD limitMs = kRunLimitMs)
    {
        if (!process_ || WaitForSingleObject(process_, limitMs) != WAIT_OBJECT_0)
            return -2;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return (long)code;
    }

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

struct WindowSearch {
    DWORD Process;
    const char* Class;
    const char* Caption;
    HWND Found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char name[256] = "";
    GetClassNameA(window, name, sizeof(name));
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof(caption));
    if (process == search->Process && _stricmp(name, search->Class) == 0 &&
        (!search->Caption || std::strcmp(caption, search->Caption) == 0)) {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

// A top-level window of the process (of the class, with the caption when given), or null.
HWND FindProcessWindow(DWORD process, const char* windowClass, const char* caption = nullptr)
{
    WindowSearch search = {process, windowClass, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND WaitForProcessWindow(SetupProcess& setup, const char* windowClass, const char* caption = nullptr,
                          DWORD limitMs = 60000)
{
    for (DWORD waited = 0; waited < limitMs && setup.Running(); waited += 50) {
        HWND window = FindProcessWindow(setup.Id(), windowClass, caption);
        if (window)
            return window;
        Sleep(50);
    }
    return nullptr;
}

// Presses a button of a message box the way a user does: the box ends with that button's id.
void PressButton(HWND box, int button)
{
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(box, button));
}

std::string DialogText(HWND dialog, int control)
{
    char text[1024] = "";
    GetDlgItemTextA(dialog, control, text, sizeof(text));
    return text;
}

// Waits for the progress window's Close button to become enabled (the end of the procedure).
// The main window may be found while it is still being created, before its dialog exists.
HWND WaitForCloseButton(SetupProcess& setup, HWND mainWindow)
{
    for (int tries = 0; tries < 1200 && setup.Running(); ++tries) {
        HWND dialog = FindWindowExA(mainWindow, nullptr, "#32770", nullptr);
        HWND close = dialog ? GetDlgItem(dialog, 1003) : nullptr;
        if (close && IsWindowEnabled(close))
            return close;
        Sleep(50);
    }
    return nullptr;
}

// Records whether the process ever had its main window visible, or a removal question, while it ran.
struct WindowWatch {
    bool Visible = false;
    bool ConfirmationBox = false;  // answered Cancel, so that the run ends
};

WindowWatch WatchMainWindow(SetupProcess& setup, DWORD limitMs = kRunLimitMs)
{
    WindowWatch watch;
    for (DWORD waited = 0; waited < limitMs && setup.Running(); waited += 10) {
        HWND window = FindProcessWindow(setup.Id(), "XASETUP");
        if (window)
            watch.Visible = watch.Visible || IsWindowVisible(window);
        HWND box = FindProcessWindow(setup.Id(), "#32770", "Confirm File Deletion");
        if (box) {
            watch.ConfirmationBox = true;
            PressButton(box, IDCANCEL);
        }
        Sleep(10);
    }
    return watch;
}

// Runs the program to its end, pressing OK on any box it shows (so that a wrong box does not hold
// the run); whether it showed a box or its window, and the exit code.
long RunWatchingForBoxes(const std::string& program, const std::string& options, bool* shown)
{
    SetupProcess setup(program, options);
    *shown = false;
    for (DWORD waited = 0; waited < kRunLimitMs && setup.Running(); waited += 10) {
        HWND box = FindProcessWindow(setup.Id(), "#32770");
        if (box)
            PressButton(box, IDOK);
        *shown = *shown || box || FindProcessWindow(setup.Id(), "XASETUP");
        Sleep(10);
    }
    return setup.Wait();
}

// Puts the stand-in's behaviour file where the agent will be installed, so that the installed
// service records its events.
std::string PlantAgentRecord(const std::string& instance, const ScratchFolder& scratch)
{
    std::string folder = AgentFolder(instance);
    CreateDirectoryA((folder.substr(0, folder.rfind('\\'))).c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string record = scratch / (instance + "-events.txt");
    WriteWholeFile(folder + "\\AgentCore.ini", "[Agent]\r\nRecord=" + record + "\r\n");
    return record;
}

int CountLines(const std::string& file, const std::string& line)
{
    int count = 0;
    for (const std::string& text : SplitLines(ReadWholeFile(file)))
        count += text == line;
    return count;
}

// What an installed instance leaves in the registry, the service manager and the file system.
void ExpectInstalled(const std::string& instance, const std::string& title)
{
    SCOPED_TRACE("installed " + instance);
    std::string folder = AgentFolder(instance);
    EXPECT_EQ(folder, ReadMachineString(AgentKey(instance), "Path"));
    EXPECT_EQ(title, ReadMachineString(AgentKey(instance), "Title"));
    EXPECT_EQ("Arvane", ReadMachineString(AgentKey(instance), "Provider"));
    EXPECT_TRUE(MachineKeyExists(kUninstallKey + instance));
    for (const char* file : {"XASetup.exe", "AgentCore.exe", "UserTray.exe", "LogScan.dll", "Package.xml"})
        EXPECT_TRUE(FileExistsAt(folder + "\\" + file)) << file;
    if (IsWin9x()) {
        EXPECT_NE("<missing>", ReadMachineString(kRunServicesKey, ("XA" + instance).c_str()));
    } else {
        ServiceConfig service = ReadServiceConfig("XA" + instance);
        EXPECT_TRUE(service.Exists);
        EXPECT_NE(std::string::npos, service.ImagePath.find(folder + "\\AgentCore.exe")) << service.ImagePath;
        EXPECT_NE("<missing>", ReadMachineString(kRunKey, ("XASH" + instance).c_str()));
    }
}

// Nothing of a removed instance is left: the procedures' own leftover check (service or its
// RunServices value, Safe Mode keys, Run value, instance key, uninstall entry, agent folder,
// shortcut, and for the driver owner its ownership and files).
void ExpectRemoved(const std::string& instance, const std::string& title = "Arvane Agent", bool ownsDrivers = true)
{
    AgentFootprint footprint;
    footprint.Instance = instance;
    footprint.DestFolder = AgentFolder(instance);
    footprint.Company = "Arvane";
    footprint.Title = title;
    footprint.Win9x = IsWin9x();
    footprint.OwnsDrivers = ownsDrivers;
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint)) << "removed " << instance;
}

// After the last agent: the machine-wide pieces are gone too.
void ExpectNoAgentLeft()
{
    char system[MAX_PATH] = "", windows[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof(system));
    GetWindowsDirectoryA(windows, sizeof(windows));
    // On 64-bit Windows the drivers go to the native system folder, which a 32-bit program sees
    // as Sysnative.
    for (const std::string& folder : {std::string(system), std::string(windows) + "\\Sysnative"}) {
        for (const char* file : {"ArvaneSP.dll", "drivers\\XAPFA.sys", "drivers\\XAPFA64.sys", "ArvaneD.VXD"})
            EXPECT_FALSE(FileExistsAt(folder + "\\" + file)) << folder << "\\" << file;
    }
}

void DeleteMachineValue(const char* keyName, const std::string& name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, name.c_str());
        RegCloseKey(key);
    }
}

// Takes every agent off the machine by hand, so that each test starts on a machine without one
// (titles, driver ownership and "the last agent" depend on the others).
void ForgetAgents()
{
    std::vector<std::string> instances;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Arvane\\Agent", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        char name[256];
        for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof(name)) == ERROR_SUCCESS; ++index)
            instances.push_back(name);
        RegCloseKey(key);
    }
    for (const std::string& instance : instances) {
        if (!IsWin9x())
            ForceRemoveService("XA" + instance);
        DeleteMachineTree(kUninstallKey + instance);
        DeleteMachineValue(kRunKey, "XASH" + instance);
        DeleteMachineValue(kRunServicesKey, "XA" + instance);
        RemoveTree(AgentFolder(instance));
    }
    DeleteMachineTree("SOFTWARE\\Arvane");
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof(system));
    for (const char* file : {"ArvaneSP.dll", "drivers\\XAPFA.sys", "ArvaneD.VXD"})
        DeleteFileA((std::string(system) + "\\" + file).c_str());
}

// A REG_DWORD value under HKEY_LOCAL_MACHINE, or -1 when it is missing or of another type.
long long ReadMachineNumber(const std::string& keyName, const char* name)
{
    HKEY key = nullptr;
    DWORD type = REG_NONE, value = 0, size = sizeof(value);
    long long result = -1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return result;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(value))
        result = value;
    RegCloseKey(key);
    return result;
}

// Bytes of the files under a folder, subfolders included, leaving out files of one name.
unsigned long long FolderBytes(const std::string& folder, const char* except)
{
    unsigned long long bytes = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::string name = found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != "." && name != "..")
                bytes += FolderBytes(folder + "\\" + name, except);
        } else if (_stricmp(name.c_str(), except) != 0) {
            bytes += ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return bytes;
}

// What the uninstall entry gives fleet tools: the removal command made silent, and the agent
// folder's size in KiB as it was when the entry was written (AgentUpdated.txt comes after it).
void ExpectFleetValues(const std::string& instance)
{
    SCOPED_TRACE("uninstall entry of " + instance);
    std::string entry = kUninstallKey + instance;
    std::string command = ReadMachineString(entry, "UninstallString");
    EXPECT_EQ(command + " /s", ReadMachineString(entry, "QuietUninstallString"));
    long long kib = (long long)((FolderBytes(AgentFolder(instance), "AgentUpdated.txt") + 1023) / 1024);
    EXPECT_LT(0, kib);
    EXPECT_EQ(kib, ReadMachineNumber(entry, "EstimatedSize"));
}

// Sets the entry's size to 0, so that a run that leaves it shows.
void ClearEstimatedSize(const std::string& instance)
{
    DWORD zero = 0;
    ASSERT_TRUE(SetMachineValue(kUninstallKey + instance, "EstimatedSize", REG_DWORD, &zero, sizeof(zero)));
}

// A machine without agents before and after each test.
class AgentMachine : public ::testing::Test {
protected:
    void SetUp() override { ForgetAgents(); }
    void TearDown() override { ForgetAgents(); }
};
class SetupProgram : public AgentMachine {};
class SetupProgramRoad : public AgentMachine {};
class SetupProgramHandOver : public AgentMachine {};

const std::regex& UpdatedText()
{
    static const std::regex text(
        R"(The agent was updated and restarted on \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d\.)");
    return text;
}

// The agent's user task as a user's logon starts it (none on Windows 9x), ready once its exit
// event exists.
std::unique_ptr<StartedProcess> StartUserTask(const std::string& instance)
{
    if (IsWin9x())
        return nullptr;
    std::string ready = "RoadTaskReady" + instance;
    return std::unique_ptr<StartedProcess>(
        new StartedProcess("\"" + AgentFolder(instance) + "\\UserTray.exe\" --id " + instance + " --ready " + ready,
                           ready));
}

// Expects a run's procedure, from "Begin install process" to "End install process" less its
// copy, to have taken at most kWaitingRunLimitMs.
void ExpectWaitedOnlyWhileNeeded(const RunLog& log, const char* what)
{
    long copy = log.Span("Copying files...", "Updating package infomation file...");
    long procedure = log.Span("Begin install process", "End install process");
    ASSERT_GE(procedure, 0) << what;
    long waiting = procedure - (copy > 0 ? copy : 0);
    std::printf("[  timing  ] %s: %ld ms beyond the copy of %ld ms\n", what, waiting, copy > 0 ? copy : 0);
    EXPECT_LE(waiting, kWaitingRunLimitMs) << what << ":\n" << ReadWholeFile(log.Path());
}

// The road on every platform: a new installation with /e, an update (service restarted), an
// update with /k, and the removal of the last agent. The updates and the removal find the agent
// and its task running; the update with /k (no restart to wait for) and the removal are timed.
TEST_F(SetupProgramRoad, InstallUpdateRemove)
{
    Package package("road-package");
    RunLog log("road-log");
    ScratchFolder scratch("road");
    std::string record = PlantAgentRecord("I1", scratch);
    std::string folder = AgentFolder("I1");
    bool win9x = IsWin9x();

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s /e " + log.Option()));
    std::vector<LogLine> lines = log.Lines();
    ASSERT_GE(lines.size(), 8u);
    std::vector<std::string> messages = log.Messages();
    EXPECT_TRUE(InOrder(messages, {"Agent setup started!", "Command line parsing completed. Result: Succeeded",
                                   "> Instance = I1", "> SrcFolder = " + package.Folder(),
                                   "> DestFolder = " + folder, "> IsSilent = Yes", "> RunProgram = Yes",
                                   "> IsModify = No", "> Title = Arvane Agent", "> DestRegKey = SOFTWARE\\Arvane\\Agent\\I1",
                                   "Begin install process.... (Version 5.2.0.1)", "Start new installation...",
                                   "Creating package infomation file...", "Creating agent registry...",
                                   "Setup drivers...", "Installing agent service...", "Adding uninstall key...",
                                   "Creating shortcut...", "Installation finished.", "Start agent service.",
                                   "Agent service started.", "End install process. (0)", "Agent setup finished!"}));
    // The procedure runs on the install thread; the run begins and ends on the main thread.
    size_t begin = 0;
    while (begin < lines.size() && lines[begin].Text.rfind("Begin install process", 0) != 0)
        ++begin;
    ASSERT_LT(begin, lines.size());
    EXPECT_NE(lines.front().Thread, lines[begin].Thread);
    EXPECT_EQ(lines.front().Thread, lines.back().Thread);
    EXPECT_EQ("Agent setup finished!", lines.back().Text);
    EXPECT_EQ("End install process. (0)", lines[lines.size() - 2].Text);
    EXPECT_FALSE(log.Has("AgentUpdated.txt is created."));
    std::string osLine;
    for (const std::string& message : messages)
        if (message.rfind("OS is Windows ", 0) == 0)
            osLine = message;
    std::string manualOsLine = ManualOsLine(WineKind());
    EXPECT_FALSE(manualOsLine.empty()) << "the manual's platform table has no row for " << WineKind();
    EXPECT_EQ(manualOsLine, osLine) << "the manual's platform table, row " << WineKind();

    ExpectInstalled("I1", "Arvane Agent");
    EXPECT_TRUE(SameBytes(package.Setup(), folder + "\\XASetup.exe"));
    ExpectFleetValues("I1");
    EXPECT_FALSE(FileExistsAt(folder + "\\AgentUpdated.txt"));
    if (win9x) {
        // Started from its RunServices entry as a plain process.
        EXPECT_TRUE(InOrder(WaitForRecordLines(record, 1), {"process launched"}));
        EXPECT_EQ(1, CountLines(record, "process launched"));
    } else {
        EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);
        EXPECT_EQ(1, CountLines(record, "XAI1 started"));
    }

    // An update stops the agent, replaces its files and starts it again, and writes the size again.
    ClearEstimatedSize("I1");
    log.Clear();
    std::unique_ptr<StartedProcess> task = StartUserTask("I1");
    ASSERT_TRUE(!task || task->Started());
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    if (task) {
        EXPECT_TRUE(task->EndsWithin(0));
        EXPECT_EQ(10u, task->ExitCode()) << "ended on its exit event";
    }
    EXPECT_TRUE(InOrder(log.Messages(), {"> IsModify = Yes", "Begin install process.... (Version 5.2.0.1)",
                                         "Update existing installation...", "Start agent service.",
                                         "Agent service started.", "AgentUpdated.txt is created.",
                                         "End install process. (0)", "Agent setup finished!"}));
    std::string updated = ReadWholeFile(folder + "\\AgentUpdated.txt");
    EXPECT_TRUE(std::regex_match(updated, UpdatedText())) << updated;
    if (!win9x) {
        EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);
        EXPECT_TRUE(InOrder(SplitLines(ReadWholeFile(record)),
                            {"XAI1 started", "XAI1 stop-request", "XAI1 stopped", "XAI1 started"}));
    } else {
        EXPECT_TRUE(InOrder(WaitForRecordLines(record, 3), {"process launched", "process launched"}));
    }
    ExpectInstalled("I1", "Arvane Agent");
    ExpectFleetValues("I1");

    // /k: the marker file is still written, the agent stays stopped.
    log.Clear();
    task = StartUserTask("I1");
    ASSERT_TRUE(!task || task->Started());
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s /k " + log.Option()));
    ExpectWaitedOnlyWhileNeeded(log, "update");
    EXPECT_FALSE(log.Has("Start agent service."));
    EXPECT_TRUE(InOrder(log.Messages(), {"Update existing installation...", "AgentUpdated.txt is created.",
                                         "End install process. (0)"}));
    EXPECT_TRUE(std::regex_match(ReadWholeFile(folder + "\\AgentUpdated.txt"), UpdatedText()));
    if (!win9x) {
        EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus("XAI1").dwCurrentState);
    }

    log.Clear();
    if (!win9x) {
        ASSERT_TRUE(StartForReal("XAI1"));
    }
    task = StartUserTask("I1");
    ASSERT_TRUE(!task || task->Started());
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /r /s " + log.Option()));
    ExpectWaitedOnlyWhileNeeded(log, "removal");
    EXPECT_TRUE(InOrder(log.Messages(), {"> IsRemove = Yes", "Begin install process.... (Version 5.2.0.1)",
                                         "This is the last agent on the machine.", "End install process. (0)",
                                         "Agent setup finished!"}));
    EXPECT_FALSE(log.Has("Start agent service."));
    ExpectRemoved("I1");
    EXPECT_FALSE(MachineKeyExists(kUninstallKey + std::string("I1"))) << "the fleet values go with the entry";
    ExpectNoAgentLeft();
}

// Two instances side by side; removing one leaves the other whole, removing the last clears all.
TEST_F(SetupProgram, SecondInstanceAndRemovalOfEach)
{
    Package package("two-package");
    RunLog log("two-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I2 /s " + log.Option()));
    EXPECT_TRUE(log.Has("> Title = Arvane Agent #2"));
    // Without /e the new agent is not started.
    EXPECT_FALSE(log.Has("Start agent service."));
    if (!IsWin9x()) {
        EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus("XAI1").dwCurrentState);
    }
    ExpectInstalled("I1", "Arvane Agent");
    ExpectInstalled("I2", "Arvane Agent #2");

    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /r /s " + log.Option()));
    EXPECT_TRUE(log.Has("End install process. (0)"));
    EXPECT_FALSE(log.Has("This is the last agent on the machine."));
    ExpectRemoved("I1");
    ExpectInstalled("I2", "Arvane Agent #2");

    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I2 /r /s " + log.Option()));
    EXPECT_TRUE(log.Has("This is the last agent on the machine."));
    ExpectRemoved("I2", "Arvane Agent #2", false);
    ExpectNoAgentLeft();
}

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

// The uninstall entry starts the copy inside the agent folder: after the question it hands the
// removal over to a copy of itself in the temporary folder, which removes the folder without
// asking again and goes at the next restart.
TEST_F(SetupProgramHandOver, RemovalFromTheAgentFolder)
{
    Package package("handover-package");
    RunLog log("handover-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    std::string installed = AgentFolder("I1") + "\\XASetup.exe";
    ASSERT_TRUE(FileExistsAt(installed));

    // As the uninstall entry starts it: interactive, so the first process asks. It runs in the
    // agent folder, which the copy must not hold on to.
    log.Clear();
    std::string options = "/g I1 /r " + log.Option();
    SetupProcess first(installed, options, AgentFolder("I1"));
    HWND box = WaitForProcessWindow(first, "#32770", "Confirm File Deletion");
    ASSERT_TRUE(box);
    bool win9x = IsWin9x();
    std::unique_ptr<PlantedNames> planted;
    if (!win9x) {
        planted.reset(new PlantedNames(first.Id()));
        ASSERT_EQ(8u, planted->Count());
    }
    PressButton(box, IDOK);
    EXPECT_EQ(0L, first.Wait());
    EXPECT_TRUE(log.Has("Process is started."));

    // The copy does not ask again; its window waits for Close.
    bool askedAgain = false;
    HWND close = nullptr;
    for (int tries = 0; tries < 1200 && !close; ++tries) {
        HWND again = FindWindowA("#32770", "Confirm File Deletion");
        if (again) {
            askedAgain = true;
            PressButton(again, IDCANCEL);
        }
        HWND window = FindWindowA("XASETUP", nullptr);
        HWND dialog = window ? FindWindowExA(window, nullptr, "#32770", nullptr) : nullptr;
        HWND button = dialog ? GetDlgItem(dialog, 1003) : nullptr;
        if (button && IsWindowEnabled(button))
            close = button;
        else
            Sleep(50);
    }
    EXPECT_FALSE(askedAgain);
    ASSERT_TRUE(close);
    EXPECT_EQ("The application and its components have been removed successfully.",
              DialogText(GetParent(close), 1000));
    PressButton(GetParent(close), 1003);
    for (int tries = 0; tries < 600 && !log.Has("Agent setup finished!"); ++tries)
        Sleep(100);
    ASSERT_TRUE(log.Has("Agent setup finished!"));

    std::vector<LogLine> lines = log.Lines();
    static const std::regex run(R"re(Run ""(.*\\agt[0-9A-Fa-f]+\.exe)" /t (.*)" to perform uninstallation\.)re");
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
    }
    EXPECT_TRUE(SameBytes(package.Setup(), copy));
    DeleteFileA(copy.c_str());
    RemoveDirectoryA(copyFolder.c_str());
    planted.reset();

    // A copy never hands over again, even when it runs from the folder it removes: its own file,
    // in use, and so the folder go at the next restart.
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
        size_t program = pending.find(agentFolder + "\\XASETUP.EXE|");
        EXPECT_NE(std::string::npos, program) << pending;
        // Once, after its program, by the removal: the copy's own clean-up takes only a folder
        // made for a copy. (Earlier tests of the prefix may have left entries before these.)
        size_t folder = pending.find("\\??\\" + agentFolder + "|", program);
        EXPECT_TRUE(folder != std::string::npos && folder > program) << pending;
        EXPECT_EQ(std::string::npos, pending.find("\\??\\" + agentFolder + "|", folder + 1)) << pending;
    }
    RemoveTree(AgentFolder("I1"));
}

// One run per instance at a time, across processes: while another run keeps the lock of I1 (a
// stand-in holds the mutex as a setup process makes it), a run for I2 goes on, and a run for I1
// waits, before its first log line, and goes on when the lock is free. (That a run gives up
// with 1618 after a minute is shown on the virtual clock in the procedures' tests.)
TEST_F(SetupProgram, OneRunPerInstanceAtATime)
{
    Package package("lock-package");
    RunLog log("lock-log");
    std::string name = std::string(IsWin9x() ? "" : "Global\\") + "ArvaneSetup_i1";
    FileHolder otherRun(name, "mutex");
    ASSERT_TRUE(otherRun.Holding());

    // An unattended run that cannot have the lock within a minute ends with 1618 by itself, as a
    // silent one does: no box waits for a person.
    bool boxShown = true;
    EXPECT_EQ(ERROR_INSTALL_ALREADY_RUNNING,
              RunWatchingForBoxes(package.Setup(), "/g I1 /r /x " + log.Option(), &boxShown));
    EXPECT_FALSE(boxShown);
    EXPECT_TRUE(InOrder(log.Messages(), {"Another setup of this agent instance is running.", "Agent setup finished!"}));
    log.Clear();

    EXPECT_EQ(0, RunSetup(package.Setup(), "/g I2 /s " + log.Option(), 50000));
    EXPECT_TRUE(log.Has("End install process. (0)"));
    ExpectInstalled("I2", "Arvane Agent");

    log.Clear();
    SetupProcess waiting(package.Setup(), "/g I1 /s " + log.Option());
    ASSERT_TRUE(waiting.Started());
    Sleep(3000);
    EXPECT_TRUE(waiting.Running());
    EXPECT_EQ(std::vector<std::string>{}, log.Messages()) << "logged while I1 was locked";
    otherRun.Release();
    EXPECT_EQ(0L, waiting.Wait());
    EXPECT_FALSE(log.Has("Another setup of this agent instance is running."));
    EXPECT_TRUE(InOrder(log.Messages(), {"Begin install process.... (Version 5.2.0.1)", "End install process. (0)"}));
    ExpectInstalled("I1", "Arvane Agent #2");
}

// A file that the update cannot replace (held open) is replaced at the next restart: the run ends
// with 3010, the agent's error log gains its line, and an interactive run shows the restart
// notice after Close. The same command with nothing held ends with 0.
TEST_F(SetupProgram, DeferredReplacementNoticeAndErrorLogLine)
{
    Package package("deferred-package");
    RunLog log("deferred-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    std::string folder = AgentFolder("I1");
    WriteWholeFile(package.Path("LogScan.dll"), "a newer LogScan.dll");
    {
        FileHolder holder(folder + "\\LogScan.dll");
        ASSERT_TRUE(holder.Holding());
        log.Clear();
        ASSERT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    }
    EXPECT_TRUE(InOrder(log.Messages(), {"AgentUpdated.txt is created.", "End install process. (0)",
                                         "A restart of Windows completes this setup (exit code 3010).",
                                         "Agent setup finished!"}));
    static const std::regex line(
        R"('\d{8} \d\d:\d\d:\d\d', 'Agent setup requires to reboot the machine in order to complete the setup\.'\n)");
    std::string errors = ReadWholeFile(folder + "\\AgtError.log");
    EXPECT_TRUE(std::regex_match(errors, line)) << errors;
    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    EXPECT_FALSE(log.Has("A restart of Windows completes this setup (exit code 3010)."));
    EXPECT_EQ(errors, ReadWholeFile(folder + "\\AgtError.log"));

    // Interactive: the window waits for Close, then the restart notice.
    FileHolder holder(folder + "\\LogScan.dll");
    ASSERT_TRUE(holder.Holding());
    log.Clear();
    SetupProcess setup(package.Setup(), "/g I1 " + log.Option());
    ASSERT_TRUE(setup.Started());
    HWND window = WaitForProcessWindow(setup, "XASETUP");
    ASSERT_TRUE(window);
    HWND close = WaitForCloseButton(setup, window);
    ASSERT_TRUE(close);
    PressButton(GetParent(close), 1003);
    HWND notice = WaitForProcessWindow(setup, "#32770", "Halvern Agent Setup");
    ASSERT_TRUE(notice);
    char text[256] = "";
    GetDlgItemTextA(notice, 0xFFFF, text, sizeof(text));
    EXPECT_STREQ("You need to reboot the system to complete the setup.", text);
    PressButton(notice, IDOK);
    EXPECT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, setup.Wait());
    errors = ReadWholeFile(folder + "\\AgtError.log");
    EXPECT_EQ(2, std::count(errors.begin(), errors.end(), '\n')) << errors;
}

// A removal that cannot delete a file in use leaves it, and its folder, for the next restart and
// ends with 3010; it writes no restart line into the folder it removes.
TEST_F(SetupProgram, RemovalTellsWhatItLeft)
{
    Package package("left-package");
    RunLog log("left-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    std::string folder = AgentFolder("I1");
    {
        FileHolder holder(folder + "\\LogScan.dll");
        ASSERT_TRUE(holder.Holding());
        log.Clear();
        EXPECT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, RunSetup(package.Setup(), "/g I1 /r /s " + log.Option()));
    }
    EXPECT_TRUE(InOrder(log.Messages(), {"The removal left 2 items; they are deleted at the next restart.",
                                         "Setup finished.", "End install process. (0)",
                                         "A restart of Windows completes this setup (exit code 3010).",
                                         "Agent setup finished!"}));
    EXPECT_EQ((std::vector<std::string>{"LogScan.dll"}), FolderEntries(folder));
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1")));
    EXPECT_FALSE(MachineKeyExists(kUninstallKey + std::string("I1")));
    RemoveTree(folder);
}

// Started by an unquoted path with a letter beyond ASCII, as a legal path without blanks may be:
// the program's name ends at the first blank, and what follows are the options given.
TEST_F(SetupProgram, UnquotedProgramPathBeyondAscii)
{
    ScratchFolder probe("Caf\xe9-probe");
    DWORD attributes = GetFileAttributesA(probe.Path().c_str());
    ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "names beyond ASCII need a UTF-8 locale for Wine (LANG=C.UTF-8)";
    Package package("Caf\xe9-rollout");
    RunLog log("beyond-log");
    ASSERT_EQ(std::string::npos, package.Setup().find(' '));
    EXPECT_EQ(0, RunProcess(package.Setup() + " /g I1 /s " + log.Option(), kRunLimitMs));
    EXPECT_TRUE(log.Has("> IsRemove = No"));
    ExpectInstalled("I1", "Arvane Agent");
}

// /? answers with the option table and nothing else: no instance needed, no log, no change.
TEST_F(SetupProgram, OptionTable)
{
    Package package("help-package");
    RunLog log("help-log");
    char* table = FormatOptionTable();
    ASSERT_TRUE(table);
    std::string expected = table;
    FreeText(table);
    {
        SetupProcess setup(package.Setup(), "/? " + log.Option());
        HWND box = WaitForProcessWindow(setup, "#32770", "Halvern Agent Setup");
        ASSERT_TRUE(box);
        char text[4096] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
        EXPECT_EQ(expected, text);
        PressButton(box, IDOK);
        EXPECT_EQ(0L, setup.Wait());
    }
    // Silent: only the exit code, whatever else the command line asks for.
    for (const char* options : {"-? /s /g I1 /e ", "/g I1 /s /? "}) {
        SCOPED_TRACE(options);
        bool boxShown = false;
        EXPECT_EQ(0L, RunWatchingForBoxes(package.Setup(), options + log.Option(), &boxShown));
        EXPECT_FALSE(boxShown);
    }
    EXPECT_FALSE(FileExistsAt(log.Path()));
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1")));
    EXPECT_FALSE(FileExistsAt(AgentFolder("I1")));
}

// The exit code a deployment tool reads, in full.
TEST_F(SetupProgram, ExitCodes)
{
    Package package("codes-package");
    RunLog log("codes-log");

    // No instance, or one too long: the run cannot start. Interactively a box says why; silent
    // or unattended, nothing is shown.
    EXPECT_EQ(-1L, RunSetup(package.Setup(), "/s " + log.Option()));
    bool boxShown = true;
    EXPECT_EQ(-1L, RunWatchingForBoxes(package.Setup(), "/x /g BRANCH-OFFICE-NORTH-EAST-1 " + log.Option(), &boxShown));
    EXPECT_FALSE(boxShown);
    {
        SetupProcess setup(package.Setup(), log.Option());
        HWND box = WaitForProcessWindow(setup, "#32770", "Halvern Agent Setup");
        ASSERT_TRUE(box);
        char text[512] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
        EXPECT_STREQ("Product instance GUID is missing. Setup aborted.\n\nXASetup.exe /? shows the options.", text);
        PressButton(box, IDOK);
        EXPECT_EQ(-1L, setup.Wait());
    }

    // A procedure that fails: the agent's service program is missing from the package.
    DeleteFileA(package.Path("AgentCore.exe").c_str());
    log.Clear();
    long failed = RunSetup(package.Setup(), "/g I1 /s " + log.Option());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, failed);
    EXPECT_TRUE(log.Has("End install process. (" + std::to_string(failed) + ")"));
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1"))) << ReadWholeFile(log.Path());
    {
        // Interactively the failure is the final text, and Close still ends with its code.
        SetupProcess setup(package.Setup(), "/g I1 " + log.Option());
        HWND window = WaitForProcessWindow(setup, "XASETUP");
        ASSERT_TRUE(window);
        HWND close = WaitForCloseButton(setup, window);
        ASSERT_TRUE(close);
        EXPECT_EQ("Setup has failed. [Code: " + std::to_string(failed) + "]", DialogText(GetParent(close), 1000));
        PressButton(GetParent(close), 1003);
        EXPECT_EQ(failed, setup.Wait());
    }
    ASSERT_TRUE(CopyFileA(FixturePath("agentstandin.exe").c_str(), package.Path("AgentCore.exe").c_str(), FALSE));

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s /e " + log.Option()));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);

    // An update that fails after it stopped the running agent keeps its code, and starts the
    // agent again.
    DeleteFileA(package.Path("AgentCore.exe").c_str());
    log.Clear();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    EXPECT_TRUE(InOrder(log.Messages(), {"Update existing installation...", "StopAgentService() returns 0",
                                         "Starting the agent service again after the failed update.",
                                         "Agent service started.", "End install process. (2)",
                                         "Agent setup finished!"}));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);
    ASSERT_TRUE(CopyFileA(FixturePath("agentstandin.exe").c_str(), package.Path("AgentCore.exe").c_str(), FALSE));

    // The removal's confirmation answered Cancel: nothing changes.
    log.Clear();
    {
        SetupProcess setup(package.Setup(), "/g I1 /r " + log.Option());
        HWND box = WaitForProcessWindow(setup, "#32770", "Confirm File Deletion");
        ASSERT_TRUE(box);
        char text[256] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
        EXPECT_STREQ("Do you want to completely remove the selected application and all its components?", text);
        PressButton(box, IDCANCEL);
        EXPECT_EQ(1602L, setup.Wait());
    }
    EXPECT_TRUE(log.Has("Setup is cancelled by user."));
    EXPECT_FALSE(log.Has("Begin install process.... (Version 5.2.0.1)"));
    ExpectInstalled("I1", "Arvane Agent");

    // Answered OK: the removal runs, and the interactive window waits for Close.
    log.Clear();
    {
        SetupProcess setup(package.Setup(), "/g I1 /r " + log.Option());
        HWND box = WaitForProcessWindow(setup, "#32770", "Confirm File Deletion");
        ASSERT_TRUE(box);
        PressButton(box, IDOK);
        HWND window = WaitForProcessWindow(setup, "XASETUP");
        ASSERT_TRUE(window);
        HWND close = WaitForCloseButton(setup, window);
        ASSERT_TRUE(close);
        EXPECT_EQ("The application and its components have been removed successfully.",
                  DialogText(GetParent(close), 1000));
        PressButton(GetParent(close), 1003);
        EXPECT_EQ(0L, setup.Wait());
    }
    ExpectRemoved("I1");
}

// The window: hidden in a silent run, shown with /b and closed by itself, and in an interactive
// run kept until Close (a close request while the update works is ignored), sized to the dialog
// and centred.
TEST_F(SetupProgram, Window)
{
    Package package("window-package");
    RunLog log("window-log");
    {
        SetupProcess setup(package.Setup(), "/g I1 /s " + log.Option());
        WindowWatch watch = WatchMainWindow(setup);
        EXPECT_EQ(0L, setup.Wait());
        EXPECT_FALSE(watch.Visible);
    }
    {
        SetupProcess setup(package.Setup(), "/g I1 /s /b /k " + log.Option());
        WindowWatch watch = WatchMainWindow(setup);
        EXPECT_EQ(0L, setup.Wait());
        EXPECT_TRUE(watch.Visible);
    }
    log.Clear();
    // An agent that takes two seconds to stop keeps the update working meanwhile.
    ASSERT_TRUE(WriteWholeFile(AgentFolder("I1") + "\\AgentCore.ini", "[Agent]\r\nStopPendingMs=2000\r\n"));
    ASSERT_TRUE(StartForReal("XAI1"));
    SetupProcess setup(package.Setup(), "/g I1 /k " + log.Option());
    HWND window = WaitForProcessWindow(setup, "XASETUP");
    ASSERT_TRUE(window);
    // Alt+F4 while the update works (its Close still disabled): nothing ends the run before the
    // update has ended, and then only Close does.
    HWND working = nullptr;
    for (int tries = 0; tries < 200 && !working; ++tries) {
        HWND dialog = FindWindowExA(window, nullptr, "#32770", nullptr);
        working = dialog ? GetDlgItem(dialog, 1003) : nullptr;
        if (!working)
            Sleep(10);
    }
    ASSERT_TRUE(working);
    ASSERT_FALSE(IsWindowEnabled(working));
    for (int i = 0; i < 3; ++i) {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        PostMessageA(window, WM_CLOSE, 0, 0);
        Sleep(300);
    }
    EXPECT_TRUE(setup.Running()) << "closed while the update worked";
    EXPECT_TRUE(IsWindow(window));
    HWND close = WaitForCloseButton(setup, window);
    ASSERT_TRUE(close);
    EXPECT_TRUE(log.Has("End install process. (0)"));
    HWND dialog = GetParent(close);
    EXPECT_EQ("Setup has completed.", DialogText(dialog, 1000));
    // The progress bar of the common controls, which the program loads at run time.
    HWND bar = GetDlgItem(dialog, 1002);
    char barClass[64] = "";
    GetClassNameA(bar, barClass, sizeof(barClass));
    EXPECT_STREQ("msctls_progress32", barClass);
    EXPECT_EQ(100, (int)SendMessageA(bar, PBM_GETPOS, 0, 0));
    Sleep(1000);
    EXPECT_TRUE(setup.Running()) << "an interactive run waits for Close";
    EXPECT_TRUE(IsWindowVisible(window));

    RECT client, dialogRect, frame, desktop;
    GetClientRect(window, &client);
    GetWindowRect(dialog, &dialogRect);
    GetWindowRect(window, &frame);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_EQ(dialogRect.right - dialogRect.left, client.right - client.left);
    EXPECT_EQ(dialogRect.bottom - dialogRect.top, client.bottom - client.top);
    EXPECT_NEAR((desktop.right - desktop.left - (frame.right - frame.left)) / 2, frame.left - desktop.left, 1);
    EXPECT_NEAR((desktop.bottom - desktop.top - (frame.bottom - frame.top)) / 2, frame.top - desktop.top, 1);

    PressButton(dialog, 1003);
    EXPECT_EQ(0L, setup.Wait());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(InOrder(log.Messages(), {"Update existing installation...", "AgentUpdated.txt is created.",
                                         "End install process. (0)", "Agent setup finished!"}));

    // /x: a removal without the question, whose window closes by itself.
    SetupProcess removal(package.Setup(), "/g I1 /r /x " + log.Option());
    WindowWatch watch = WatchMainWindow(removal);
    EXPECT_EQ(0L, removal.Wait());
    EXPECT_FALSE(watch.ConfirmationBox);
    EXPECT_TRUE(watch.Visible);
    ExpectRemoved("I1");
}


// Runs of the program started together, as a deployment tool pushes a package to a machine:
// the processes start at once and the test waits for all of them. Races are a matter of chance,
// so the simultaneous start is repeated.
class SetupProgramConcurrency : public AgentMachine {};

const int kConcurrentRounds = 3;

std::string DriverOwner() { return ReadMachineString("SOFTWARE\\Arvane\\Agent", "DriverControl"); }

// The instances whose own key names the provider library: those whose run installed the drivers.
std::vector<std::string> DriverInstallers(const std::vector<std::string>& instances)
{
    std::vector<std::string> installers;
    for (const std::string& instance : instances)
        if (ReadMachineString(AgentKey(instance), "WinSock2LspDll") != "<missing>")
            installers.push_back(instance);
    return installers;
}

// The filter driver (on 64-bit Windows in the native system folder) and the provider library.
bool DriversInPlace()
{
    char system[MAX_PATH] = "", windows[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof(system));
    GetWindowsDirectoryA(windows, sizeof(windows));
    if (IsWin9x())
        return FileExistsAt(std::string(system) + "\\ArvaneD.VXD") && FileExistsAt(std::string(system) + "\\ArvaneSP.dll");
    bool filter = FileExistsAt(std::string(system) + "\\drivers\\XAPFA.sys") ||
                  FileExistsAt(std::string(windows) + "\\Sysnative\\drivers\\XAPFA.sys");
    return filter && FileExistsAt(std::string(system) + "\\ArvaneSP.dll");
}

// One run's lines in a shared log: from its "Agent setup started!" to its "Agent setup
// finished!", both written by its main thread; its install thread writes between them.
struct RunBlock {
    size_t Start;
    size_t End;  // the line index of its end line, or the number of lines when it has none
    std::string MainThread;
};

std::vector<RunBlock> RunBlocks(const std::vector<LogLine>& lines)
{
    std::vector<RunBlock> blocks;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].Text != "Agent setup started!")
            continue;
        RunBlock block = {i, lines.size(), lines[i].Thread};
        for (size_t j = i + 1; j < lines.size() && block.End == lines.size(); ++j)
            if (lines[j].Thread == block.MainThread && lines[j].Text == "Agent setup finished!")
                block.End = j;
        blocks.push_back(block);
    }
    return blocks;
}

// Every run's block is whole and holds only its own lines: its main thread's and one other
// thread's (the install thread), none of which writes in another block.
::testing::AssertionResult ContiguousBlocks(const std::vector<LogLine>& lines, size_t runs)
{
    std::vector<RunBlock> blocks = RunBlocks(lines);
    std::string all;
    for (const LogLine& line : lines)
        all += "\n  [" + line.Thread + "] " + line.Text;
    if (blocks.size() != runs)
        return ::testing::AssertionFailure() << blocks.size() << " runs started, not " << runs << ":" << all;
    std::vector<std::string> seen;
    for (const RunBlock& block : blocks) {
        if (block.End == lines.size())
            return ::testing::AssertionFailure() << "a run without its end line:" << all;
        std::string installThread;
        for (size_t i = block.Start; i <= block.End; ++i) {
            const std::string& thread = lines[i].Thread;
            if (thread == block.MainThread)
                continue;
            if (installThread.empty())
                installThread = thread;
            if (thread != installThread)
                return ::testing::AssertionFailure() << "line " << i << " of another run inside a block:" << all;
        }
        for (const std::string& thread : {block.MainThread, installThread})
            if (!thread.empty() && std::find(seen.begin(), seen.end(), thread) != seen.end())
                return ::testing::AssertionFailure() << "a run's lines in two blocks:" << all;
        seen.push_back(block.MainThread);
        if (!installThread.empty())
            seen.push_back(installThread);
    }
    size_t covered = 0;
    for (const RunBlock& block : blocks)
        covered += block.End - block.Start + 1;
    // The separator line before each start belongs to its run as well.
    if (covered + runs != lines.size())
        return ::testing::AssertionFailure() << "lines outside the runs' blocks:" << all;
    return ::testing::AssertionSuccess();
}

// Three new instances installed at once, drivers included: each ends with 0, exactly one run
// installs the drivers and owns them. Then the removals: a non-owner leaves the drivers and
// their owner alone, the owner takes them with it, an update of the one left takes them back,
// and the last removal leaves nothing.
TEST_F(SetupProgramConcurrency, ThreeInstancesInstalledTogether)
{
    Package package("together-package");
    RunLog log("together-log");
    const std::vector<std::string> instances = {"A", "B", "C"};
    int failedRounds = 0;
    for (int round = 0; round < kConcurrentRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        if (round > 0)
            ForgetAgents();
        log.Clear();
        std::vector<std::unique_ptr<SetupProcess>> runs;
        for (const std::string& instance : instances)
            runs.emplace_back(new SetupProcess(package.Setup(), "/g " + instance + " /s " + log.Option()));
        std::vector<long> codes;
        for (auto& run : runs) {
            EXPECT_TRUE(run->Started());
            codes.push_back(run->Wait());
        }
        int failuresBefore = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        EXPECT_EQ((std::vector<long>{0, 0, 0}), codes);
        EXPECT_EQ(3, log.Count("End install process. (0)"));
        EXPECT_EQ(1, log.Count("Installing drivers..."));
        EXPECT_EQ(1, log.Count("Agent installs drivers: Unknown."));
        EXPECT_EQ(2, log.Count("Other agent has installed the drivers. Driver installation is skipped."));
        std::string owner = DriverOwner();
        EXPECT_NE(instances.end(), std::find(instances.begin(), instances.end(), owner)) << owner;
        EXPECT_EQ(std::vector<std::string>{owner}, DriverInstallers(instances));
        EXPECT_TRUE(DriversInPlace());
        std::vector<std::string> titles;
        for (const std::string& instance : instances)
            titles.push_back(ReadMachineString(AgentKey(instance), "Title"));
        for (const std::string& instance : instances)
            ExpectInstalled(instance, ReadMachineString(AgentKey(instance), "Title"));
        std::sort(titles.begin(), titles.end());
        EXPECT_EQ((std::vector<std::string>{"Arvane Agent", "Arvane Agent #2", "Arvane Agent #3"}), titles);
        failedRounds += ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() !=
                        failuresBefore;
    }
    std::printf("three instances installed together: %d of %d rounds failed\n", failedRounds, kConcurrentRounds);
    ASSERT_EQ(0, failedRounds);

    std::string owner = DriverOwner();
    std::vector<std::string> others;
    for (const std::string& instance : instances)
        if (instance != owner)
            others.push_back(instance);
    ASSERT_EQ(2u, others.size());
    std::string ownerTitle = ReadMachineString(AgentKey(owner), "Title");
    std::string firstTitle = ReadMachineString(AgentKey(others[0]), "Title");
    std::string lastTitle = ReadMachineString(AgentKey(others[1]), "Title");

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + others[0] + " /r /s " + log.Option()));
    ExpectRemoved(others[0], firstTitle, false);
    EXPECT_EQ(owner, DriverOwner());
    EXPECT_TRUE(DriversInPlace());

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + owner + " /r /s " + log.Option()));
    ExpectRemoved(owner, ownerTitle, true);
    EXPECT_EQ("<missing>", DriverOwner());
    EXPECT_FALSE(DriversInPlace());
    ExpectInstalled(others[1], lastTitle);

    // Nobody owns them now: the next update of the one left takes them.
    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + others[1] + " /s /k " + log.Option()));
    EXPECT_TRUE(log.Has("Agent installs drivers: Unknown."));
    EXPECT_TRUE(log.Has("Installing drivers..."));
    EXPECT_EQ(others[1], DriverOwner());
    EXPECT_TRUE(DriversInPlace());

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + others[1] + " /r /s " + log.Option()));
    ExpectRemoved(others[1], lastTitle, true);
    EXPECT_EQ("<missing>", DriverOwner());
    ExpectNoAgentLeft();
}

// The values all instances share, under their machine-wide lock: while another setup holds it
// (a stand-in holds the mutex as a setup process makes it), a new installation copies its files
// but neither writes its title nor decides the drivers' owner; meanwhile another instance has
// registered the title this run chose at its start, so the run numbers its title again once it
// has the lock. A removal of the drivers' owner waits for the lock as well.
TEST_F(SetupProgramConcurrency, SharedValuesWaitForTheirLock)
{
    Package package("shared-package");
    RunLog log("shared-log");
    std::string name = std::string(IsWin9x() ? "" : "Global\\") + "ArvaneAgents";
    auto otherSetup = std::unique_ptr<FileHolder>(new FileHolder(name, "mutex"));
    ASSERT_TRUE(otherSetup->Holding());

    SetupProcess setup(package.Setup(), "/g A /s " + log.Option());
    ASSERT_TRUE(setup.Started());
    for (int tries = 0; tries < 400 && !log.Has("Creating agent registry..."); ++tries)
        Sleep(50);
    ASSERT_TRUE(log.Has("> Title = Arvane Agent"));
    // What a new installation of another instance registers meanwhile.
    ASSERT_TRUE(SetMachineValue(AgentKey("B"), "Title", REG_SZ, "Arvane Agent", sizeof("Arvane Agent")));
    Sleep(2000);
    EXPECT_TRUE(setup.Running());
    EXPECT_EQ("<missing>", ReadMachineString(AgentKey("A"), "Title"));
    EXPECT_FALSE(log.Has("Setup drivers..."));
    EXPECT_EQ("<missing>", DriverOwner());
    otherSetup->Release();
    EXPECT_EQ(0L, setup.Wait());
    EXPECT_TRUE(InOrder(log.Messages(), {"> Title = Arvane Agent", "Creating agent registry...",
                                         "> Title = Arvane Agent #2", "Setup drivers...", "Installing drivers...",
                                         "End install process. (0)"}));
    ExpectInstalled("A", "Arvane Agent #2");
    if (!IsWin9x()) {
        EXPECT_EQ("Arvane Agent #2", ReadServiceConfig("XAA").DisplayName);
    }
    EXPECT_EQ("A", DriverOwner());
    DeleteMachineTree(AgentKey("B"));

    otherSetup.reset(new FileHolder(name, "mutex"));
    ASSERT_TRUE(otherSetup->Holding());
    log.Clear();
    SetupProcess removal(package.Setup(), "/g A /r /s " + log.Option());
    ASSERT_TRUE(removal.Started());
    for (int tries = 0; tries < 600 && !log.Has("Removing files..."); ++tries)
        Sleep(50);
    Sleep(2000);
    EXPECT_TRUE(removal.Running());
    EXPECT_FALSE(log.Has("Agent owns drivers: A"));
    EXPECT_TRUE(DriversInPlace());
    otherSetup->Release();
    EXPECT_EQ(0L, removal.Wait());
    EXPECT_TRUE(InOrder(log.Messages(), {"Agent owns drivers: A", "Removing drivers...", "End install process. (0)"}));
    ExpectRemoved("A", "Arvane Agent #2", true);
    ExpectNoAgentLeft();
}

// Two runs of one instance started together: one waits for the other (or, after a minute,
// ends with 1618), so each run's lines form one block in the shared log, and the machine ends
// with one working installation: the later run updates what the earlier one installed.
TEST_F(SetupProgramConcurrency, SameInstanceTwiceTogether)
{
    Package package("twice-package");
    RunLog log("twice-log");
    const int rounds = 2;
    int failedRounds = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        if (round > 0)
            ForgetAgents();
        log.Clear();
        SetupProcess first(package.Setup(), "/g S /s " + log.Option());
        SetupProcess second(package.Setup(), "/g S /s " + log.Option());
        ASSERT_TRUE(first.Started());
        ASSERT_TRUE(second.Started());
        std::vector<long> codes = {first.Wait(), second.Wait()};
        int failuresBefore = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        std::sort(codes.begin(), codes.end());
        EXPECT_EQ(0L, codes[0]);
        EXPECT_TRUE(codes[1] == 0 || codes[1] == ERROR_INSTALL_ALREADY_RUNNING) << codes[1];
        std::vector<LogLine> lines = log.Lines();
        EXPECT_TRUE(ContiguousBlocks(lines, 2));
        if (codes[1] == 0) {
            EXPECT_TRUE(InOrder(log.Messages(), {"> IsModify = No", "Start new installation...",
                                                 "End install process. (0)", "Agent setup finished!",
                                                 "> IsModify = Yes", "Update existing installation...",
                                                 "End install process. (0)", "Agent setup finished!"}));
        } else {
            EXPECT_EQ(1, log.Count("Another setup of this agent instance is running."));
        }
        ExpectInstalled("S", "Arvane Agent");
        EXPECT_EQ("S", DriverOwner());
        EXPECT_TRUE(DriversInPlace());
        failedRounds += ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() !=
                        failuresBefore;
    }
    std::printf("one instance twice together: %d of %d rounds failed\n", failedRounds, rounds);
    EXPECT_EQ(0, failedRounds);
}

}  // namespace
