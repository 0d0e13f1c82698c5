#include "network/DriverOwner.h"
#include "procedures/InstallationTestSupport.h"

#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "control/ServiceTestSupport.h"
#include "harness/OpenedResources.h"
#include "procedures/AgentFolderAccess.h"
#include "procedures/Installer.h"
#include "procedures/LeftoversTestSupport.h"
#include "setup/BuildInstallationData.h"
#include "support/AccessControl.h"
#include "support/AgentNames.h"
#include "support/Registry.h"
#include "support/ShellLinks.h"
#include "support/WindowsVersion.h"

namespace xatest {

namespace {

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

std::string SystemFolderPath()
{
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, sizeof(folder));
    return std::string(folder, length);
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

}  // namespace

std::string InstalledDriverPath()
{
    if (IsWin9xSystem())
        return SystemFolderPath() + "\\ArvaneD.VXD";
    if (Is64BitWindows())
        return WindowsFolder() + "\\System32\\drivers\\XAPFA.sys";
    return SystemFolderPath() + "\\drivers\\XAPFA.sys";
}

std::string DriverSourceName()
{
    if (IsWin9xSystem())
        return "ArvaneD.VXD";
    return Is64BitWindows() ? "XAPFA64.sys" : "XAPFA.sys";
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

int PrepareRunData(InstallationData& data, const std::string& commandLine, const std::string& logPath,
                   const std::string& sourceFolder)
{
    int result = InitInstallationData(&data, (commandLine + " /l \"" + logPath + "\"").c_str());
    ReplaceText(data.SrcFolder, DuplicateText(sourceFolder.c_str()));
    return result;
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
        std::string system = SystemFolderPath();
        items.push_back({"driver " + InstalledDriverPath(), InstalledDriverExists()});
        std::string library = system + "\\ArvaneSP.dll";
        items.push_back({"provider library " + library, FileExistsAt(library)});
    }
    return items;
}

std::vector<std::string> Leftovers(const AgentFootprint& footprint)
{
    std::vector<std::string> names;
    for (const FootprintItem& item : WalkFootprint(footprint)) {
        if (item.Present)
            names.push_back(item.Name);
    }
    return names;
}

std::vector<std::string> MissingParts(const AgentFootprint& footprint)
{
    std::vector<std::string> names;
    for (const FootprintItem& item : WalkFootprint(footprint)) {
        if (!item.Present)
            names.push_back(item.Name);
    }
    return names;
}

void ForgetInstance(const AgentFootprint& footprint)
{
    const std::string service = "XA" + footprint.Instance;
    ForceRemoveService(service);
    DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunServicesKey, service.c_str());
    for (const char* folder : kSafeBootKeys)
        DeleteMachineTree(std::string(folder) + "\\" + service);
    DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, ("XASH" + footprint.Instance).c_str());
    DeleteMachineTree(std::string(kAgentKeyPath) + "\\" + footprint.Instance);
    DeleteMachineTree(std::string(kUninstallKey) + "\\" + service);
    char owner[MAX_PATH] = "";
    GetDriverControl(owner, sizeof(owner));
    bool owned = _stricmp(owner, footprint.Instance.c_str()) == 0;
    if (owned)
        SetDriverControl(nullptr);
    if (footprint.OwnsDrivers && (owned || !owner[0])) {
        // Nobody else owns them: the driver files are this instance's.
        std::string system = SystemFolderPath();
        DeleteFileA((system + "\\ArvaneSP.dll").c_str());
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

int FolderAccessLists::Read(const char* path, DWORD (&buffer)[1024])
{
    auto found = g_folderLists.find(Lower(path));
    if (found == g_folderLists.end())
        return ReadFolderSecurity(path, buffer);
    memcpy(buffer, found->second.data(), std::min(found->second.size(), sizeof(buffer)));
    return 0;
}

}  // namespace xatest
