#pragma once
// What the tests of the file operations share: an installation record that logs into a scratch
// file, a stand-in that holds a file open, a progress dialog that records what it is shown, and
// small file helpers.

#include <windows.h>

#include <string>
#include <vector>

#include "harness/TestSupport.h"
#include "resources/resource.h"
#include "procedures/InstallationData.h"
#include "setup/ProgressWindow.h"

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

// The progress dialog as the run's window: data's status while the object lives, with data made
// not silent. It records every position the bar is given. Tests make the run silent through data.
class RecordingProgressWindow {
public:
    explicit RecordingProgressWindow(InstallationData& data);
    ~RecordingProgressWindow();
    RecordingProgressWindow(const RecordingProgressWindow&) = delete;
    RecordingProgressWindow& operator=(const RecordingProgressWindow&) = delete;
    bool Created() const { return dialog_ != nullptr; }
    const std::vector<int>& Positions() const;
    std::string DetailText() const;

private:
    InstallationData& data_;
    InstallationStatus* earlier_;
    ProgressWindow window_;
    HWND frame_ = nullptr;
    HWND dialog_ = nullptr;
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
