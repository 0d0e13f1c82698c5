#pragma once
// The real XASetup.exe, run as a deployment tool or a user runs it: a package folder with the
// setup program beside the agent's files (the stand-ins as AgentCore.exe and UserTray.exe, sample
// files for the rest), the prefix's real registry, service manager and files, the setup log read
// back, and the exit code in full. A helper thread plays the user where a run shows a window or
// a message box. Each test starts and ends on a machine without agents.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "procedures/ProcedureFixture.h"

namespace xatest {

inline constexpr DWORD kRunLimitMs = 120000;
inline constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\XA";
inline constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
// The caption of the program's own message boxes, and of the removal's question.
inline constexpr char kSetupCaption[] = "Halvern Agent Setup";
inline constexpr char kQuestionCaption[] = "Confirm File Deletion";

std::string AgentKey(const std::string& instance);
// Where the agent of an instance goes by default: the prefix's own Program Files folder.
std::string AgentFolder(const std::string& instance);

// A copy the program makes of itself must be whole, so that a signed program's copy stays signed.
testing::AssertionResult SameBytes(const std::string& original, const std::string& copy);

// The sample agent package: XASetup.exe (the one built, or the one that XA_SETUP_PROGRAM names,
// a signed copy) beside the agent's files.
class Package {
public:
    explicit Package(const std::string& name);
    std::string Path(const std::string& file) const { return folder_ / file; }
    std::string Setup() const { return folder_ / "XASetup.exe"; }
    const std::string& Folder() const { return folder_.Path(); }

private:
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
    std::vector<LogLine> Lines() const;
    std::vector<std::string> Messages() const { return LogMessages(path_); }
    bool Has(const std::string& message) const { return Count(message) > 0; }
    int Count(const std::string& message) const;
    // Milliseconds from the first line that starts with from to the next that starts with to;
    // -1 when either is missing.
    long Span(const std::string& from, const std::string& to) const;
    void Clear() { DeleteFileA(path_.c_str()); }

private:
    ScratchFolder folder_;
    std::string path_;
};

// Each expected message found in this order.
testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected);

long RunSetup(const std::string& program, const std::string& options, DWORD limitMs = kRunLimitMs);

// A setup process that a test watches and answers while it runs; terminated if it still runs
// when the object goes.
class SetupProcess {
public:
    // folder: the process's current folder, the test's own when empty.
    SetupProcess(const std::string& program, const std::string& options, const std::string& folder = "");
    ~SetupProcess();
    SetupProcess(const SetupProcess&) = delete;
    SetupProcess& operator=(const SetupProcess&) = delete;
    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // The exit code, or -2 when the process has not ended within limitMs.
    long Wait(DWORD limitMs = kRunLimitMs);

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// A top-level window of the process (of the class, with the caption when given), or null; the
// wait gives up when the process ends or after limitMs.
HWND FindProcessWindow(DWORD process, const char* windowClass, const char* caption = nullptr);
HWND WaitForProcessWindow(SetupProcess& setup, const char* windowClass, const char* caption = nullptr,
                          DWORD limitMs = 60000);
// Presses a button of a dialog the way a user does: a message box ends with that button's id.
void PressButton(HWND dialog, int button);
std::string DialogText(HWND dialog, int control);
// Waits for the message box of the caption, and answers it with button; its text, or "<no box>".
std::string AnswerBox(SetupProcess& setup, const char* caption, int button);
// Waits for the progress window's Close button to become enabled (the end of the procedure), or
// null. The main window may be found while it is still being created, before its dialog exists.
HWND WaitForCloseButton(SetupProcess& setup, HWND mainWindow);
// Waits for the end of the procedure in the run's window and presses Close; the final text, or
// "<no window>" / "<no Close>".
std::string CloseWhenDone(SetupProcess& setup);
// Runs the program to its end, pressing OK on any box it shows (so that a wrong box does not hold
// the run); whether it showed a box or its window, and the exit code.
long RunWatchingForBoxes(const std::string& program, const std::string& options, bool* shown);

// What an installed instance leaves in the registry, the service manager and the file system.
void ExpectInstalled(const std::string& instance, const std::string& title);
// Nothing of a removed instance is left: the procedures' own leftover check.
void ExpectRemoved(const std::string& instance, const std::string& title = "Arvane Agent", bool ownsDrivers = true);
// After the last agent: the machine-wide pieces are gone too.
void ExpectNoAgentLeft();
// Takes every agent off the machine by hand (titles, driver ownership and "the last agent"
// depend on the others).
void ForgetAgents();

// A machine without agents before and after each test.
class AgentMachine : public testing::Test {
protected:
    void SetUp() override { ForgetAgents(); }
    void TearDown() override { ForgetAgents(); }
};
// The whole set runs on Windows 7; the road on every kind, the hand-over on Windows 98 too; the
// concurrency cases in runs of their own.
class SetupProgram : public AgentMachine {};
class SetupProgramRoad : public AgentMachine {};
class SetupProgramHandOver : public AgentMachine {};
class SetupProgramConcurrency : public AgentMachine {};

}  // namespace xatest
