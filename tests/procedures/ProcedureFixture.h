#pragma once
// What the procedure tests share. A record that logs into a file of its own (LoggedData), for the
// tests of one operation; a stand-in that holds a file open, a status that records what the
// procedures report. For the runs of whole procedures (ProcedureRunTest): a package folder laid
// out as the setup program's own folder, each run's record built from a command line as the
// program builds it, a clock whose fixed waits take 20 ms of real time each (so that the
// stand-ins really end meanwhile), and the leftover check: everything an installation puts on
// the machine, walked item by item, so that a test can show that a removal left nothing behind.
// Whatever a run installed is taken off the machine afterwards. A run may be counted: every
// handle, key, heap block and library it opens must be closed again once its record is gone.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/ProcessTestSupport.h"
#include "control/ServiceTestSupport.h"
#include "harness/OpenedResources.h"
#include "harness/TestSupport.h"
#include "harness/VirtualClock.h"
#include "procedures/Installer.h"
#include "resources/resource.h"

namespace xatest {

// A record for the prefix's platform whose log is written to a file of its own, and an Installer
// on it.
class LoggedData {
public:
    explicit LoggedData(const std::string& name = "log");
    InstallationData& Data() { return data_; }
    Installer& Run() { return installer_; }
    ScratchFolder& Scratch() { return folder_; }
    const std::string& LogPath() const { return path_; }
    void SetInstance(const char* instance);
    std::vector<std::string> Messages() const { return LogMessages(path_); }
    // The messages from the first one that begins with prefix (an empty list when none does).
    std::vector<std::string> MessagesFrom(const std::string& prefix) const;
    bool HasMessage(const std::string& message) const;
    void ClearLog();

private:
    ScratchFolder folder_;
    std::string path_;
    InstallationData data_;
    Installer installer_{&data_};
};

// A status that records, in order, every text a procedure gives the window's two lines and every
// position of its bar, as "status: <text>", "detail: <text>" and "bar: <n>", each text as the
// window shows it (from the string table). Silent runs are recorded too: what a procedure
// reports does not depend on /s.
class StatusRecorder : public InstallationStatus {
public:
    StatusRecorder();
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;
    const std::vector<std::string>& Events() const { return events_; }
    // The events with the per-file texts ("Copying ...", "Deleting ...") left out and every run of
    // bar positions that follow each other shown as one "bar: <first>..<last>" entry.
    std::vector<std::string> Steps() const;
    // The bar positions of the per-file phase: each run of two or more positions in a row.
    std::vector<std::vector<int>> BarRuns() const;
    // Every bar position, in order.
    std::vector<int> Positions() const;
    // The lower line as the last event left it ("" when none did).
    std::string LastDetail() const;
    void Clear() { events_.clear(); }

    void SetStatusText(int stringId) override;
    void SetDetailText(int stringId, int percent) override;
    void ShowFileText(int stringId, const char* path) override;

private:
    bool IsFileText(const std::string& event) const;

    std::vector<std::string> events_;
    std::string copyingPrefix_;
    std::string deletingPrefix_;
};

// WinInit.ini, the restart list of Windows 9x.
inline std::string WinInitPath()
{
    return WindowsFolder() + "\\WinInit.ini";
}

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

// The network driver as the owner installs it: ArvaneD.VXD in the system folder on Windows 9x,
// XAPFA.sys in the (native) drivers folder elsewhere, which on x64 is reached with WOW64
// file-system redirection off.
std::string InstalledDriverPath();
bool InstalledDriverExists();
bool WriteInstalledDriver(const std::string& content);
std::string ReadInstalledDriver();
void DeleteInstalledDriver();

// What one installation of an instance put on the machine, and where; by default what an
// installation with the package's defaults puts there.
struct AgentFootprint {
    std::string Instance;
    std::string DestFolder;
    std::string Company = "Arvane";
    std::string Title = "Arvane Agent";
    bool Win9x = IsWin9xKind();
    bool Shortcut = true;        // created unless bNoShortcut
    bool UninstallEntry = true;  // created unless bNoAddRemove
    bool OwnsDrivers = true;     // DriverControl names the instance, drivers copied
};

// The footprint of the installation data describes (before it is destroyed).
AgentFootprint FootprintOf(const InstallationData& data);

// The items of the footprint still on the machine (empty when the removal left nothing), and
// those missing (empty when the installation put everything in place), each "<what> <where>":
// the service (or its RunServices value), its Safe Mode keys, the instance key, the Run value,
// the uninstall entry, the agent folder, the shortcut, and for the driver owner the ownership
// value, the driver file and the provider library.
std::vector<std::string> Leftovers(const AgentFootprint& footprint);
std::vector<std::string> MissingParts(const AgentFootprint& footprint);

// Takes an instance off the machine by force, whatever state a failed test left: its service,
// keys, values, folder, shortcut, and the driver ownership when it names the instance.
void ForgetInstance(const AgentFootprint& footprint);

// Access lists on folders as a test sets them (Wine keeps none on files): while the object lives,
// the folders set read as the descriptor given in SDDL, or fail with the error given, every other
// as it is.
class FolderAccessLists {
public:
    FolderAccessLists();
    ~FolderAccessLists();
    FolderAccessLists(const FolderAccessLists&) = delete;
    FolderAccessLists& operator=(const FolderAccessLists&) = delete;
    void Set(const std::string& folder, const std::string& sddl);
    void Fail(const std::string& folder, int error);
    // The folder is not there when its list is first read; right after that a user makes it,
    // and from then on it reads as sddl.
    void AppearAfterFirstRead(const std::string& folder, const std::string& sddl);

private:
    static int Read(const char* path, DWORD (&buffer)[1024]);
};

// The older-generation agent in a folder of its own: its service (its RunServices value on
// Windows 9x), its settings, its installer's registration and folder, and the driver ownership it
// holds. Taken off the machine when made and when it goes.
class LegacyAgent {
public:
    explicit LegacyAgent(const std::string& folder);
    ~LegacyAgent();
    LegacyAgent(const LegacyAgent&) = delete;
    LegacyAgent& operator=(const LegacyAgent&) = delete;

    static const char* Service() { return "ArvaneAgent"; }
    const std::string& Folder() const { return folder_; }
    static std::string InstallerFolder();
    // Its program is a text, so nothing of it runs.
    void Install();
    // Installed, with the service stand-in as its program, running as its service and serving
    // the legacy pipe, recording into record.
    void Start(const std::string& record);
    // What of it is still on the machine, each "<what> <where>".
    std::vector<std::string> Leftovers() const;
    void Forget();

private:
    std::string folder_;
    std::unique_ptr<TestService> service_;
};

// One message a line, for a failure report that can be read (and copied).
std::string Joined(const std::vector<std::string>& lines);

// The lines of a new installation's copy: every program file of the package into the agent
// folder ("<pkg>" and "<dest>"), then the settings files the package does not have; and of the
// driver installation by their owner.
void AddPackageCopy(std::vector<std::string>& lines);
void AddDriverCopy(std::vector<std::string>& lines);

// The fixture of the runs of whole procedures.
class ProcedureRunTest : public testing::Test {
protected:
    ProcedureRunTest();
    ~ProcedureRunTest() override;

    // A counted run that no test checked is checked at the end.
    void TearDown() override
    {
        if (opened_)
            ExpectNothingLeftOpen();
    }

    // Runs one procedure (a callable that returns its result) and counts what it opens. An
    // earlier counted run is checked first, against the record as it is then (normally the
    // next run's Prepare has replaced the one it used).
    template <typename Procedure>
    int Counted(Procedure procedure)
    {
        if (opened_) {
            KeepRecordTexts();
            CheckNothingLeftOpen();
        }
        opened_.reset(new OpenedResources);
        int result = procedure();
        opened_->Stop();
        return result;
    }

    // What the counted run left in its record (the working folder, for one) is the record's to
    // free: with the record gone, every handle, key, heap block and library that the run opened
    // must be closed. Leaves a fresh record.
    void ExpectNothingLeftOpen();

    // A new run: the record from the command line (/l added), the files from source. The status
    // that the procedures report is recorded from here on.
    int Prepare(const std::string& commandLine, const std::string& source);

    InstallationData& Data() { return *data_; }
    // What the procedures reported since the last Prepare.
    const StatusRecorder& ReportedStatus() const { return status_; }
    Installer& Run() { return installer_; }

    // Remembers the instance of the current record for the clean-up; returns its footprint.
    AgentFootprint Remember();

    // A new installation of instance from package with more options; the footprint.
    AgentFootprint Install(const std::string& instance, const AgentPackage& package, const std::string& options = "");

    std::vector<std::string> Messages() const { return LogMessages(log_); }
    // The messages from the first that equals first.
    std::vector<std::string> MessagesFrom(const std::string& first) const;
    bool Logged(const std::string& message) const { return IndexOf(message) >= 0; }
    // The position of message in the log, -1 when missing.
    int IndexOf(const std::string& message) const;
    // The messages from first with each path of names replaced by its short name ("<pkg>").
    std::vector<std::string> StepsFrom(const std::string& first,
                                       const std::vector<std::pair<std::string, std::string>>& names) const;

    ScratchFolder logs_;
    VirtualClock clock_;

private:
    // A new empty record for the procedures; the old one closes its log.
    void FreshRecord();
    // A record that lives on into the next counted run (a roll-back's) keeps the texts that the
    // earlier run gave it, its title for one.
    void KeepRecordTexts();
    void CheckNothingLeftOpen();

    std::unique_ptr<OpenedResources> opened_;
    std::string log_;
    int runs_ = 0;
    // The status of every record, and the record of the current run (the procedures' own, not
    // the program's).
    StatusRecorder status_;
    std::unique_ptr<InstallationData> data_;
    Installer installer_{nullptr};
    std::vector<AgentFootprint> forget_;
};

}  // namespace xatest
