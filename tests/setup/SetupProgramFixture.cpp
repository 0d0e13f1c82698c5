#include "setup/SetupProgramFixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>

namespace xatest {

namespace {

const char* const kSampleFiles[] = {"EvtMsg64.exe", "PortProbe.exe", "libcmx.dgst", "AgentExt.dll",
                                    "EventHook.dll", "LogScan.dll", "sporder.dll", "libcmx.dll",
                                    "ArvaneD.VXD", "XAPFA.sys", "XAPFA64.sys", "ArvaneSP.dll"};

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

}  // namespace

std::string AgentKey(const std::string& instance)
{
    return "SOFTWARE\\Arvane\\Agent\\" + instance;
}

std::string AgentFolder(const std::string& instance)
{
    return ReadMachineString("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir") + "\\Arvane\\" +
           instance;
}

testing::AssertionResult SameBytes(const std::string& original, const std::string& copy)
{
    std::string bytes = ReadWholeFile(original), copied = ReadWholeFile(copy);
    if (!bytes.empty() && bytes == copied)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << copy << " (" << copied.size() << " bytes) is not a copy of " << original
                                       << " (" << bytes.size() << " bytes)";
}

Package::Package(const std::string& name) : folder_(name)
{
    EXPECT_TRUE(CopyFileA(SetupProgramPath().c_str(), Setup().c_str(), FALSE)) << SetupProgramPath();
    EXPECT_TRUE(CopyFixture("agentstandin.exe", Path("AgentCore.exe")));
    EXPECT_TRUE(CopyFixture("usertraystandin.exe", Path("UserTray.exe")));
    for (const char* file : kSampleFiles)
        WriteWholeFile(folder_ / file, std::string("sample agent file ") + file);
}

std::vector<LogLine> RunLog::Lines() const
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

int RunLog::Count(const std::string& message) const
{
    std::vector<std::string> messages = Messages();
    return (int)std::count(messages.begin(), messages.end(), message);
}

long RunLog::Span(const std::string& from, const std::string& to) const
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

testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (const std::string& wanted : expected) {
        while (at < messages.size() && messages[at] != wanted)
            ++at;
        if (at == messages.size()) {
            std::string all;
            for (const std::string& message : messages)
                all += "\n  " + message;
            return testing::AssertionFailure() << "\"" << wanted << "\" missing or out of order in:" << all;
        }
        ++at;
    }
    return testing::AssertionSuccess();
}

long RunSetup(const std::string& program, const std::string& options, DWORD limitMs)
{
    return RunProcess("\"" + program + "\" " + options, limitMs);
}

SetupProcess::SetupProcess(const std::string& program, const std::string& options, const std::string& folder)
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

SetupProcess::~SetupProcess()
{
    if (process_) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
            TerminateProcess(process_, 1);
        CloseHandle(process_);
    }
}

long SetupProcess::Wait(DWORD limitMs)
{
    if (!process_ || WaitForSingleObject(process_, limitMs) != WAIT_OBJECT_0)
        return -2;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return (long)code;
}

HWND FindProcessWindow(DWORD process, const char* windowClass, const char* caption)
{
    WindowSearch search = {process, windowClass, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND WaitForProcessWindow(SetupProcess& setup, const char* windowClass, const char* caption, DWORD limitMs)
{
    for (DWORD waited = 0; waited < limitMs && setup.Running(); waited += 50) {
        HWND window = FindProcessWindow(setup.Id(), windowClass, caption);
        if (window)
            return window;
        Sleep(50);
    }
    return nullptr;
}

void PressButton(HWND dialog, int button)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(dialog, button));
}

std::string DialogText(HWND dialog, int control)
{
    char text[4096] = "";
    GetDlgItemTextA(dialog, control, text, sizeof(text));
    return text;
}

std::string AnswerBox(SetupProcess& setup, const char* caption, int button)
{
    HWND box = WaitForProcessWindow(setup, "#32770", caption);
    if (!box)
        return "<no box>";
    std::string text = DialogText(box, 0xFFFF);  // the static text of a message box
    PressButton(box, button);
    return text;
}

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

std::string CloseWhenDone(SetupProcess& setup)
{
    HWND window = WaitForProcessWindow(setup, "XASETUP");
    if (!window)
        return "<no window>";
    HWND close = WaitForCloseButton(setup, window);
    if (!close)
        return "<no Close>";
    std::string text = DialogText(GetParent(close), 1000);
    PressButton(GetParent(close), 1003);
    return text;
}

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
    if (IsWin9xKind()) {
        EXPECT_NE("<missing>", ReadMachineString(kRunServicesKey, ("XA" + instance).c_str()));
    } else {
        ServiceConfig service = ReadServiceConfig("XA" + instance);
        EXPECT_TRUE(service.Exists);
        EXPECT_NE(std::string::npos, service.ImagePath.find(folder + "\\AgentCore.exe")) << service.ImagePath;
        EXPECT_NE("<missing>", ReadMachineString(kRunKey, ("XASH" + instance).c_str()));
    }
}

void ExpectRemoved(const std::string& instance, const std::string& title, bool ownsDrivers)
{
    AgentFootprint footprint;
    footprint.Instance = instance;
    footprint.DestFolder = AgentFolder(instance);
    footprint.Title = title;
    footprint.OwnsDrivers = ownsDrivers;
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint)) << "removed " << instance;
}

void ExpectNoAgentLeft()
{
    // On 64-bit Windows the drivers go to the native system folder, which a 32-bit program sees
    // as Sysnative.
    for (const std::string& folder : {SystemFolder(), WindowsFolder() + "\\Sysnative"}) {
        for (const char* file : {"ArvaneSP.dll", "drivers\\XAPFA.sys", "drivers\\XAPFA64.sys", "ArvaneD.VXD"})
            EXPECT_FALSE(FileExistsAt(folder + "\\" + file)) << folder << "\\" << file;
    }
}

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
        if (!IsWin9xKind())
            ForceRemoveService("XA" + instance);
        DeleteMachineTree(kUninstallKey + instance);
        DeleteMachineValue(kRunKey, ("XASH" + instance).c_str());
        DeleteMachineValue(kRunServicesKey, ("XA" + instance).c_str());
        RemoveTree(AgentFolder(instance));
    }
    DeleteMachineTree("SOFTWARE\\Arvane");
    for (const char* file : {"ArvaneSP.dll", "drivers\\XAPFA.sys", "ArvaneD.VXD"})
        DeleteFileA((SystemFolder() + "\\" + file).c_str());
}

}  // namespace xatest
