#include "procedures/ProcedureFixture.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>

#include "network/DriverOwner.h"
#include "network/WinsockCatalog.h"
#include "procedures/AgentFolderAccess.h"
// The records of whole runs are built by the program's own builder, so that the procedures see
// what a real run gives them: the options, the defaults and what the machine already holds.
#include "setup/BuildInstallationData.h"
#include "support/AccessControl.h"
#include "support/ShellLinks.h"
#include "support/WindowsVersion.h"

namespace xatest {

namespace {

// A text of the program's string table, as the window loads it.
std::string StringText(int stringId)
{
    char text[512] = "";
    LoadStringA(GetModuleHandleA(nullptr), stringId, text, sizeof(text));
    return text;
}

// The fixed part of a "Copying %s" style format, up to the placeholder.
std::string FormatPrefix(int stringId)
{
    std::string format = StringText(stringId);
    size_t at = format.find("%s");
    return at == std::string::npos ? format : format.substr(0, at);
}

bool IsBar(const std::string& event, int* position)
{
    if (event.compare(0, 5, "bar: ") != 0)
        return false;
    *position = std::stoi(event.substr(5));
    return true;
}

const char kAgentKeyPath[] = "SOFTWARE\\Arvane\\Agent";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char* const kSafeBootKeys[] = {"SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Minimal",
                                     "SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network"};

std::string SpecialFolder(int folderId)
{
    char path[MAX_PATH] = "";
    return SUCCEEDED(GetSpecialFolderPath(folderId, nullptr, path)) ? path : "";
}

bool ServiceExists(const std::string& name)
{
    return ReadServiceConfig(name).Exists;
}

// Runs check with WOW64 file-system redirection off when the system has it (the native drivers
// folder of x64 Windows).
template <typename Check>
bool WithoutRedirection(Check check)
{
    typedef BOOL(WINAPI * Disable)(PVOID*);
    typedef BOOL(WINAPI * Revert)(PVOID);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    Disable disable = (Disable)(void*)GetProcAddress(kernel, "Wow64DisableWow64FsRedirection");
    Revert revert = (Revert)(void*)GetProcAddress(kernel, "Wow64RevertWow64FsRedirection");
    PVOID state = nullptr;
    bool off = disable && revert && disable(&state);
    bool result = check();
    if (off)
        revert(state);
    return result;
}

std::string DriverSourceName()
{
    if (IsWin9xKind())
        return "ArvaneD.VXD";
    return Is64BitWindows() ? "XAPFA64.sys" : "XAPFA.sys";
}

// One item of a footprint and whether it is on the machine now.
struct FootprintItem {
    std::string Name;
    bool Present;
};

}  // namespace

LoggedData::LoggedData(const std::string& name) : folder_(name), path_(folder_ / "Setup.log")
{
    data_.IsWin9x = IsWin9xKind() ? 1 : 0;
    data_.LogEnabled = 1;
    data_.Log.Open(path_.c_str());
}

void LoggedData::SetInstance(const char* instance)
{
    ReplaceText(data_.Instance, DuplicateText(instance));
}

std::vector<std::string> LoggedData::MessagesFrom(const std::string& prefix) const
{
    std::vector<std::string> messages = Messages();
    auto first = std::find_if(messages.begin(), messages.end(),
                              [&](const std::string& message) { return message.rfind(prefix, 0) == 0; });
    return std::vector<std::string>(first, messages.end());
}

bool LoggedData::HasMessage(const std::string& message) const
{
    std::vector<std::string> messages = Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

void LoggedData::ClearLog()
{
    DeleteFileA(path_.c_str());
}

StatusRecorder::StatusRecorder()
    : copyingPrefix_(FormatPrefix(IDS_COPYING_FILE)), deletingPrefix_(FormatPrefix(IDS_DELETING_FILE))
{
}

// The window's rules: an id of 0 leaves the line, a negative percent the bar.
void StatusRecorder::SetStatusText(int stringId)
{
    NotCounted test;
    events_.push_back("status: " + StringText(stringId));
}

void StatusRecorder::SetDetailText(int stringId, int percent)
{
    NotCounted test;
    if (stringId > 0)
        events_.push_back("detail: " + StringText(stringId));
    if (percent >= 0)
        events_.push_back("bar: " + std::to_string(percent));
}

void StatusRecorder::ShowFileText(int stringId, const char* path)
{
    NotCounted test;
    std::string text = StringText(stringId);
    size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, path ? path : "");
    events_.push_back("detail: " + text);
}

bool StatusRecorder::IsFileText(const std::string& event) const
{
    const std::string head = "detail: ";
    if (event.compare(0, head.size(), head) != 0)
        return false;
    std::string text = event.substr(head.size());
    return (!copyingPrefix_.empty() && text.compare(0, copyingPrefix_.size(), copyingPrefix_) == 0) ||
           (!deletingPrefix_.empty() && text.compare(0, deletingPrefix_.size(), deletingPrefix_) == 0);
}

std::vector<std::string> StatusRecorder::Steps() const
{
    std::vector<std::string> steps;
    int first = -1;
    int last = -1;
    auto flush = [&]() {
        if (first < 0)
            return;
        steps.push_back("bar: " + std::to_string(first) + (first == last ? "" : ".." + std::to_string(last)));
        first = last = -1;
    };
    for (const std::string& event : events_) {
        int position = 0;
        if (IsFileText(event))
            continue;
        if (IsBar(event, &position)) {
            if (first < 0)
                first = position;
            last = position;
            continue;
        }
        flush();
        steps.push_back(event);
    }
    flush();
    return steps;
}

std::vector<std::vector<int>> StatusRecorder::BarRuns() const
{
    std::vector<std::vector<int>> runs;
    std::vector<int> run;
    for (const std::string& event : events_) {
        int position = 0;
        if (IsFileText(event))
            continue;
        if (IsBar(event, &position)) {
            run.push_back(position);
            continue;
        }
        if (run.size() > 1)
            runs.push_back(run);
        run.clear();
    }
    if (run.size() > 1)
        runs.push_back(run);
    return runs;
}

std::vector<int> StatusRecorder::Positions() const
{
    std::vector<int> positions;
    int position = 0;
    for (const std::string& event : events_) {
        if (IsBar(event, &position))
            positions.push_back(position);
    }
    return positions;
}

std::string StatusRecorder::LastDetail() const
{
    const std::string head = "detail: ";
    for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
        if (event->compare(0, head.size(), head) == 0)
            return event->substr(head.size());
    }
    return "";
}


std::string InstalledDriverPath()
{
    if (IsWin9xKind())
        return SystemFolder() + "\\ArvaneD.VXD";
    if (Is64BitWindows())
        return WindowsFolder() + "\\System32\\drivers\\XAPFA.sys";
    return SystemFolder() + "\\drivers\\XAPFA.sys";
}

bool InstalledDriverExists()
{
    return WithoutRedirection([] { return FileExistsAt(InstalledDriverPath()); });
}

bool WriteInstalledDriver(const std::string& content)
{
    return WithoutRedirection([&] { return WriteWholeFile(InstalledDriverPath(), content); });
}

std::string ReadInstalledDriver()
{
    std::string content;
    WithoutRedirection([&] {
        content = ReadWholeFile(InstalledDriverPath());
        return true;
    });
    return content;
}

void DeleteInstalledDriver()
{
    WithoutRedirection([] { return DeleteFileA(InstalledDriverPath().c_str()) != 0; });
}

const std::vector<std::string>& PackageProgramFiles()
{
    static const std::vector<std::string> files = {
        "XASetup.exe",   "AgentCore.exe", "UserTray.exe",  "EvtMsg64.exe", "PortProbe.exe",
        "libcmx.dgst",   "AgentExt.dll",  "EventHook.dll", "LogScan.dll",  "sporder.dll",
        "libcmx.dll",    "ArvaneD.VXD",   "XAPFA.sys",     "XAPFA64.sys",  "ArvaneSP.dll"};
    return files;
}

AgentPackage::AgentPackage(const std::string& name, const std::vector<std::string>& omit, const std::string& marker)
    : scratch_(name), folder_(scratch_.Path())
{
    for (const std::string& file : PackageProgramFiles()) {
        if (std::find(omit.begin(), omit.end(), file) != omit.end())
            continue;
        std::string target = *this / file;
        bool ok;
        if (file == "AgentCore.exe" || file == "UserTray.exe") {
            ok = CopyFixture(file == "AgentCore.exe" ? "agentstandin.exe" : "usertraystandin.exe", target);
            if (ok && !marker.empty())
                ok = AppendToFile(target, marker);
        } else {
            ok = WriteWholeFile(target, "package file " + file + marker);
        }
        complete_ = complete_ && ok;
    }
}

AgentFootprint FootprintOf(const InstallationData& data)
{
    AgentFootprint footprint;
    footprint.Instance = data.Instance ? data.Instance : "";
    footprint.DestFolder = data.DestFolder ? data.DestFolder : "";
    footprint.Company = data.Company ? data.Company : "";
    footprint.Title = data.Title ? data.Title : "";
    footprint.Win9x = data.IsWin9x != 0;
    footprint.Shortcut = !data.bNoShortcut;
    footprint.UninstallEntry = !data.bNoAddRemove;
    footprint.OwnsDrivers = !data.bNoDriver;
    return footprint;
}

namespace {

std::vector<FootprintItem> WalkFootprint(const AgentFootprint& footprint)
{
    std::vector<FootprintItem> items;
    const std::string service = "XA" + footprint.Instance;
    if (footprint.Win9x) {
        items.push_back({"RunServices value " + service, MachineValueExists(kRunServicesKey, service.c_str())});
    } else {
        items.push_back({"service " + service, ServiceExists(service)});
        for (const char* folder : kSafeBootKeys) {
            std::string key = std::string(folder) + "\\" + service;
            items.push_back({"Safe Mode key " + key, MachineKeyExists(key)});
        }
        std::string runValue = "XASH" + footprint.Instance;
        items.push_back({"Run value " + runValue, MachineValueExists(kRunKey, runValue.c_str())});
    }
    std::string instanceKey = std::string(kAgentKeyPath) + "\\" + footprint.Instance;
    items.push_back({"key " + instanceKey, MachineKeyExists(instanceKey)});
    if (footprint.UninstallEntry) {
        std::string key = std::string(kUninstallKey) + "\\" + service;
        items.push_back({"uninstall entry " + key, MachineKeyExists(key)});
    }
    items.push_back({"folder " + footprint.DestFolder,
                     GetFileAttributesA(footprint.DestFolder.c_str()) != INVALID_FILE_ATTRIBUTES});
    if (footprint.Shortcut) {
        std::string link = SpecialFolder(footprint.Win9x ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS) + "\\" +
                           footprint.Company + "\\" + footprint.Title + ".lnk";
        items.push_back({"shortcut " + link, FileExistsAt(link)});
    }
    if (footprint.OwnsDrivers) {
        char owner[MAX_PATH] = "";
        bool owned = GetDriverControl(owner, sizeof(owner)) == 0 &&
                     _stricmp(owner, footprint.Instance.c_str()) == 0;
        items.push_back({"DriverControl naming " + footprint.Instance, owned});
        items.push_back({"driver " + InstalledDriverPath(), InstalledDriverExists()});
        std::string library = SystemFolder() + "\\ArvaneSP.dll";
        items.push_back({"provider library " + library, FileExistsAt(library)});
    }
    return items;
}

// The names of the footprint's items that are (present) or are not on the machine.
std::vector<std::string> FootprintItems(const AgentFootprint& footprint, bool present)
{
    std::vector<std::string> names;
    for (const FootprintItem& item : WalkFootprint(footprint)) {
        if (item.Present == present)
            names.push_back(item.Name);
    }
    return names;
}

}  // namespace

std::vector<std::string> Leftovers(const AgentFootprint& footprint)
{
    return FootprintItems(footprint, true);
}

std::vector<std::string> MissingParts(const AgentFootprint& footprint)
{
    return FootprintItems(footprint, false);
}

void ForgetInstance(const AgentFootprint& footprint)
{
    const std::string service = "XA" + footprint.Instance;
    ForceRemoveService(service);
    DeleteMachineValue(kRunServicesKey, service.c_str());
    for (const char* folder : kSafeBootKeys)
        DeleteMachineTree(std::string(folder) + "\\" + service);
    DeleteMachineValue(kRunKey, ("XASH" + footprint.Instance).c_str());
    DeleteMachineTree(std::string(kAgentKeyPath) + "\\" + footprint.Instance);
    DeleteMachineTree(std::string(kUninstallKey) + "\\" + service);
    char owner[MAX_PATH] = "";
    GetDriverControl(owner, sizeof(owner));
    bool owned = _stricmp(owner, footprint.Instance.c_str()) == 0;
    if (owned)
        SetDriverControl(nullptr);
    if (footprint.OwnsDrivers && (owned || !owner[0])) {
        // Nobody else owns them: the driver files are this instance's.
        DeleteFileA((SystemFolder() + "\\ArvaneSP.dll").c_str());
        DeleteInstalledDriver();
    }
    if (!footprint.DestFolder.empty())
        RemoveTree(footprint.DestFolder);
    for (int folderId : {CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}) {
        DeleteShortcut(folderId, footprint.Company.c_str(), (footprint.Title + ".lnk").c_str());
        RemoveShortcutFolder(folderId, footprint.Company.c_str());
    }
}

namespace {
std::map<std::string, std::vector<BYTE>> g_folderLists;
std::map<std::string, int> g_folderErrors;
std::set<std::string> g_folderAppearing;

std::string Lower(std::string text)
{
    CharLowerBuffA(&text[0], (DWORD)text.size());
    return text;
}
}  // namespace

FolderAccessLists::FolderAccessLists()
{
    SetFolderSecurityReader(Read);
}

FolderAccessLists::~FolderAccessLists()
{
    SetFolderSecurityReader(nullptr);
    g_folderLists.clear();
    g_folderErrors.clear();
    g_folderAppearing.clear();
}

void FolderAccessLists::Set(const std::string& folder, const std::string& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, &size))
        << sddl;
    const BYTE* bytes = static_cast<const BYTE*>(descriptor);
    g_folderLists[Lower(folder)] = std::vector<BYTE>(bytes, bytes + size);
    LocalFree(descriptor);
}

void FolderAccessLists::Fail(const std::string& folder, int error)
{
    g_folderErrors[Lower(folder)] = error;
}

void FolderAccessLists::AppearAfterFirstRead(const std::string& folder, const std::string& sddl)
{
    Set(folder, sddl);
    g_folderAppearing.insert(Lower(folder));
}

int FolderAccessLists::Read(const char* path, DWORD (&buffer)[1024])
{
    if (g_folderAppearing.erase(Lower(path))) {
        CreateDirectoryA(path, nullptr);
        return ERROR_FILE_NOT_FOUND;
    }
    auto failed = g_folderErrors.find(Lower(path));
    if (failed != g_folderErrors.end())
        return failed->second;
    auto found = g_folderLists.find(Lower(path));
    if (found == g_folderLists.end())
        return ReadFolderSecurity(path, buffer);
    memcpy(buffer, found->second.data(), std::min(found->second.size(), sizeof(buffer)));
    return 0;
}

namespace {

// The lines of one file copied by force, and of one settings file the package does not have.
void AddCopied(std::vector<std::string>& lines, const std::string& from, const std::string& to)
{
    lines.push_back("InstallFile: Source=\"" + from + "\" Destination=\"" + to + "\"");
    lines.push_back("InstallFile: > Force copying...");
    lines.push_back("InstallFile: > File is copied.");
}

void AddMissing(std::vector<std::string>& lines, const std::string& name)
{
    lines.push_back("InstallFile: Source=\"<pkg>\\" + name + "\" Destination=\"<dest>\\" + name + "\"");
    lines.push_back("InstallFile: > Source file is missing!");
}

}  // namespace

void AddPackageCopy(std::vector<std::string>& lines)
{
    for (const std::string& file : PackageProgramFiles()) {
        bool driver = file == "ArvaneD.VXD" || file == "XAPFA.sys" || file == "XAPFA64.sys" || file == "ArvaneSP.dll";
        AddCopied(lines, "<pkg>\\" + file, (driver ? "<dest>\\drivers\\" : "<dest>\\") + file);
    }
    for (const char* name : {"ArvaneD.ini", "ArvaneFW.ini", "AgtFirewall.log", "AgtAgent.log", "AgtError.log",
                             "AgtStats.log"})
        AddMissing(lines, name);
}

void AddDriverCopy(std::vector<std::string>& lines)
{
    lines.push_back("Installing drivers...");
    AddCopied(lines, "<dest>\\Drivers\\" + DriverSourceName(), InstalledDriverPath());
    AddCopied(lines, "<dest>\\Drivers\\ArvaneSP.dll", SystemFolder() + "\\ArvaneSP.dll");
}

ProcedureRunTest::ProcedureRunTest() : logs_("runlogs"), clock_(0xFFFF0000u, 20)
{
    // The Winsock catalogue is bound once a process and its library kept for good: bound here,
    // it is no part of a counted run.
    (void)GetWinsockCatalog();
    FreshRecord();
}

ProcedureRunTest::~ProcedureRunTest()
{
    for (const AgentFootprint& footprint : forget_)
        ForgetInstance(footprint);
    // The record closes the last log before its folder goes.
    data_.reset();
}

void ProcedureRunTest::FreshRecord()
{
    data_.reset();
    data_.reset(new InstallationData);
    data_->Status = &status_;
    installer_.Data = data_.get();
}

void ProcedureRunTest::KeepRecordTexts()
{
    const InstallationData& data = Data();
    for (const char* text : {data.Instance, data.Company, data.DestFolder, data.Comments, data.Contact, data.HelpLink,
                             data.Publisher, data.AboutLink, data.PartitionId, data.Title, data.SrcFolder,
                             data.AgentWorkingFolder})
        opened_->Kept(text);
}

void ProcedureRunTest::CheckNothingLeftOpen()
{
    ASSERT_TRUE(opened_) << "no counted run";
    EXPECT_EQ(std::vector<std::string>{}, opened_->LeftOpen()) << opened_->Summary();
    std::printf("[  opened  ] %s\n", opened_->Summary().c_str());
    opened_.reset();
}

void ProcedureRunTest::ExpectNothingLeftOpen()
{
    FreshRecord();
    CheckNothingLeftOpen();
}

int ProcedureRunTest::Prepare(const std::string& commandLine, const std::string& source)
{
    log_ = logs_ / ("run" + std::to_string(++runs_) + ".log");
    FreshRecord();
    status_.Clear();
    int result = InitInstallationData(data_.get(), (commandLine + " /l \"" + log_ + "\"").c_str());
    // The agent's files come from the package, not from the test program's folder.
    ReplaceText(data_->SrcFolder, DuplicateText(source.c_str()));
    return result;
}

AgentFootprint ProcedureRunTest::Remember()
{
    AgentFootprint footprint = FootprintOf(Data());
    forget_.push_back(footprint);
    return footprint;
}

AgentFootprint ProcedureRunTest::Install(const std::string& instance, const AgentPackage& package,
                                         const std::string& options)
{
    EXPECT_EQ(0, Prepare("/g " + instance + " /s " + options, package.Folder()));
    AgentFootprint footprint = Remember();
    EXPECT_EQ(0, Counted([&] { return Run().InstallNewAgent(); }));
    return footprint;
}

std::vector<std::string> ProcedureRunTest::MessagesFrom(const std::string& first) const
{
    std::vector<std::string> messages = Messages();
    auto at = std::find(messages.begin(), messages.end(), first);
    return std::vector<std::string>(at, messages.end());
}

int ProcedureRunTest::IndexOf(const std::string& message) const
{
    std::vector<std::string> messages = Messages();
    auto at = std::find(messages.begin(), messages.end(), message);
    return at == messages.end() ? -1 : (int)(at - messages.begin());
}

std::vector<std::string> ProcedureRunTest::StepsFrom(
    const std::string& first, const std::vector<std::pair<std::string, std::string>>& names) const
{
    std::vector<std::string> messages = MessagesFrom(first);
    for (std::string& message : messages) {
        for (const auto& name : names) {
            for (size_t at = message.find(name.first); at != std::string::npos;
                 at = message.find(name.first, at + name.second.size()))
                message.replace(at, name.first.size(), name.second);
        }
    }
    return messages;
}

namespace {

const char kLegacyCode[] = "{3D7A0F52-9C41-4B8E-A5D2-61F0C8B47E19}";
const char kLegacySettingsKey[] = "System\\CurrentControlSet\\Services\\VxD\\Arvane";
const char kLegacyHelper[] = "Arvane Agent Service Helper";
const char kAppPathKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\AgentCore.exe";

}  // namespace

LegacyAgent::LegacyAgent(const std::string& folder) : folder_(folder)
{
    Forget();
}

LegacyAgent::~LegacyAgent()
{
    Forget();
}

std::string LegacyAgent::InstallerFolder()
{
    char folder[MAX_PATH] = "";
    ExpandEnvironmentStringsA("%ProgramFiles%\\InstallShield Installation Information", folder, sizeof(folder));
    return std::string(folder) + "\\" + kLegacyCode;
}

void LegacyAgent::Forget()
{
    service_.reset();
    ForceRemoveService(Service());
    DeleteMachineValue(kRunServicesKey, Service());
    DeleteMachineTree(kLegacySettingsKey);
    DeleteMachineValue(kRunKey, kLegacyHelper);
    DeleteMachineTree(std::string(kUninstallKey) + "\\" + kLegacyCode);
    DeleteMachineTree(kAppPathKey);
    RemoveTree(InstallerFolder());
}

void LegacyAgent::Install()
{
    CreateDirectoryA(folder_.c_str(), nullptr);
    std::string program = folder_ + "\\AgentCore.exe";
    ASSERT_TRUE(WriteWholeFile(program, "legacy agent"));
    if (IsWin9xKind()) {
        ASSERT_TRUE(SetMachineText(kRunServicesKey, Service(), program));
    } else {
        service_.reset(new TestService(Service(), "Arvane Agent", "\"" + program + "\""));
        ASSERT_TRUE(service_->Created());
    }
    ASSERT_TRUE(SetMachineNumber(kLegacySettingsKey, "EnableRemoteControl", 1));
    ASSERT_TRUE(SetMachineText(kLegacySettingsKey, "AvLogFile", "av.log"));
    ASSERT_TRUE(SetMachineText(kRunKey, kLegacyHelper, "\"" + folder_ + "\\UserTray.exe\" -q"));
    ASSERT_TRUE(SetMachineText(std::string(kUninstallKey) + "\\" + kLegacyCode, "DisplayName", "Arvane Agent"));
    ASSERT_TRUE(SetMachineText(kAppPathKey, nullptr, program));
    ASSERT_EQ(0, SHCreateDirectoryExA(nullptr, InstallerFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(InstallerFolder() + "\\setup.ini", "legacy installer"));
    ASSERT_TRUE(SetMachineText(kAgentKeyPath, "DriverControl", "Legacy"));
}

void LegacyAgent::Start(const std::string& record)
{
    ASSERT_NO_FATAL_FAILURE(Install());
    ASSERT_TRUE(CopyFixture("agentstandin.exe", folder_ + "\\AgentCore.exe"));
    ASSERT_TRUE(WriteWholeFile(folder_ + "\\AgentCore.ini",
                               "[Agent]\r\nRecord=" + record + "\r\nPipe=\\\\.\\pipe\\arvaneAgent\r\n"));
    ASSERT_TRUE(StartForReal(Service()));
}

std::vector<std::string> LegacyAgent::Leftovers() const
{
    std::vector<std::string> left;
    bool service = IsWin9xKind() ? MachineValueExists(kRunServicesKey, Service()) : ServiceExists(Service());
    if (service)
        left.push_back(std::string("service ") + Service());
    if (MachineValueExists(kRunKey, kLegacyHelper))
        left.push_back(std::string("Run value ") + kLegacyHelper);
    for (const std::string& key : {std::string(kUninstallKey) + "\\" + kLegacyCode, std::string(kAppPathKey),
                                   std::string(kLegacySettingsKey)})
        if (MachineKeyExists(key))
            left.push_back("key " + key);
    if (GetFileAttributesA(InstallerFolder().c_str()) != INVALID_FILE_ATTRIBUTES)
        left.push_back("folder " + InstallerFolder());
    return left;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text = "\n";
    for (const std::string& line : lines)
        text += "        \"" + line + "\",\n";
    return text;
}

}  // namespace xatest
