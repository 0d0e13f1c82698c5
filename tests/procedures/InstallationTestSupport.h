#pragma once
// What the tests of whole procedures share: a package folder laid out as the setup program's own
// folder, a run's record built from a command line, and the leftover check: everything an
// installation puts on the machine, walked item by item, so that a test can show that a removal left nothing behind.

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/TestSupport.h"
#include "procedures/ProcedureTestSupport.h"

namespace xatest {

// The files the setup program finds beside itself: the agent's program files of the file table,
// AgentCore.exe being the service stand-in and UserTray.exe the user task stand-in. A name in
// omit is left out; marker, when given, is appended to both stand-ins so that a test can tell
// this package's copies from an earlier one's (an appended tail does not stop them running).
class AgentPackage {
public:
    explicit AgentPackage(const std::string& name, const std::vector<std::string>& omit = {},
                          const std::string& marker = "");
    const std::string& Folder() const { return folder_; }
    std::string operator/(const std::string& name) const { return folder_ + "\\" + name; }
    bool Complete() const { return complete_; }

private:
    ScratchFolder scratch_;
    std::string folder_;
    bool complete_ = true;
};

// The program files of the package (those that a new installation copies into the agent folder).
const std::vector<std::string>& PackageProgramFiles();

// Builds data, a fresh record, from commandLine as the run's start does (the log goes to
// logPath), then takes the agent's files from sourceFolder instead of the test program's folder.
// The result of InitInstallationData.
int PrepareRunData(InstallationData& data, const std::string& commandLine, const std::string& logPath,
                   const std::string& sourceFolder);

// The network driver as the owner installs it: ArvaneD.VXD in the system folder on Windows 9x,
// XAPFA.sys in the (native) drivers folder elsewhere, which on x64 is reached with WOW64
// file-system redirection off; and the file of the package it comes from.
std::string InstalledDriverPath();
std::string DriverSourceName();
bool InstalledDriverExists();
bool WriteInstalledDriver(const std::string& content);
std::string ReadInstalledDriver();
void DeleteInstalledDriver();

// What one installation of an instance put on the machine, and where.
struct AgentFootprint {
    std::string Instance;
    std::string DestFolder;
    std::string Company;
    std::string Title;
    bool Win9x = false;
    bool Shortcut = true;        // created unless bNoShortcut
    bool UninstallEntry = true;  // created unless bNoAddRemove
    bool OwnsDrivers = true;     // DriverControl names the instance, drivers copied
};

// The footprint of the installation data describes (before it is destroyed).
AgentFootprint FootprintOf(const InstallationData& data);

// Every item of the footprint, each "<what> <where>" with whether it is on the machine now:
// the service (or its RunServices value), its Safe Mode keys, the instance key, the Run value,
// the uninstall entry, the agent folder, the shortcut, and for the driver owner the ownership
// value, the driver file and the provider library.
struct FootprintItem {
    std::string Name;
    bool Present;
};
std::vector<FootprintItem> WalkFootprint(const AgentFootprint& footprint);

// The items still on the machine (empty when the removal left nothing).
std::vector<std::string> Leftovers(const AgentFootprint& footprint);
// The items missing (empty when the installation put everything in place).
std::vector<std::string> MissingParts(const AgentFootprint& footprint);

// Access lists on folders as a test sets them (Wine keeps none on files): while the object lives,
// the folders set read as the descriptor given in SDDL, every other as it is.
class FolderAccessLists {
public:
    FolderAccessLists();
    ~FolderAccessLists();
    FolderAccessLists(const FolderAccessLists&) = delete;
    FolderAccessLists& operator=(const FolderAccessLists&) = delete;
    void Set(const std::string& folder, const std::string& sddl);

private:
    static int Read(const char* path, DWORD (&buffer)[1024]);
};

// Takes an instance off the machine by force, whatever state a failed test left: its service,
// keys, values, folder, shortcut, and the driver ownership when it names the instance.
void ForgetInstance(const AgentFootprint& footprint);

}  // namespace xatest
