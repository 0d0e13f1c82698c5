#pragma once
// What the tests of the file operations share: an installation record that logs into a scratch
// file, a stand-in that holds a file open, a status that records what the procedures report, and
// small file helpers.

#include <windows.h>

#include <string>
#include <vector>

#include "harness/TestSupport.h"
#include "resources/resource.h"
#include "procedures/InstallationData.h"

namespace xatest {

// True when the prefix runs in a Windows 9x version mode.
bool IsWin9xSystem();

// An InstallationData whose log is written to a file of its own and read back as messages.
// The messages of a setup log, without time stamps; a message holding line breaks (a system
// error text) stays one entry.
std::vector<std::string> ReadLogMessages(const std::string& logPath);

class LoggedData {
public:
    LoggedData();
    InstallationData& Data() { return data_; }
    // The messages written so far, without time stamps; a message that holds line breaks (a
    // system error text) stays one entry.
    std::vector<std::string> Messages() const;
    // The messages from the first one that begins with prefix (an empty list when none does).
    std::vector<std::string> MessagesFrom(const std::string& prefix) const;
    bool HasMessage(const std::string& message) const;
    void ClearLog();

private:
    ScratchFolder folder_;
    std::string path_;
    InstallationData data_;
};

// Runs tests/fixtures/FileHolder.cpp on path until the object goes away. share "mutex" holds the
// mutex named path, as another setup run holds the lock of its instance.
class FileHolder {
public:
    explicit FileHolder(const std::string& path, const std::string& share = "none");
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool Holding() const { return holding_; }
    void Release();

private:
    HANDLE process_ = nullptr;
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    bool holding_ = false;
};

// A status that records, in order, every text a procedure gives the window's two lines and every
// position of its bar, as "status: <text>", "detail: <text>" and "bar: <n>", each text as the
// window shows it (from the string table). Silent runs are recorded too: what a procedure
// reports does not depend on /s. The fixture of the procedure runs makes one the status of each
// record it builds.
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

// File helpers.
bool CopyFixture(const std::string& fixture, const std::string& destination);
bool AppendToFile(const std::string& path, const std::string& text);
bool SetWriteTime(const std::string& path, const FILETIME& time);
FILETIME TimeFromNow(int hours);
DWORD Attributes(const std::string& path);
std::vector<std::string> FolderEntries(const std::string& folder, const std::string& pattern = "*");
std::string SystemFolder();
std::string WindowsFolder();
std::string ShortPath(const std::string& path);

// Makes link a symbolic link to the folder target. Wine 8 makes no linked folder through a
// Windows call (CreateSymbolicLinkA reports success and makes nothing; FSCTL_SET_REPARSE_POINT,
// the junction's way, fails with 50), but it shows a Unix symbolic link as one (a folder with a
// reparse point), and it runs Unix programs.
bool LinkFolder(const std::string& target, const std::string& link);

}  // namespace xatest
