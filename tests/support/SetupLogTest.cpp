// The setup log, written for real under each family of kernel-object namespaces (the test runs
// in win7, winxp, win2k, nt40 and win98 prefixes) and read back from the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "harness/TestSupport.h"
#include "support/SetupLog.h"

using namespace xatest;

namespace {

const std::regex kLine(R"((\d{4})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[([1-9a-f][0-9a-f]*)\]: ([^\r\n]*))");

// Whether the prefix's system has the "Global\" namespace that the log's mutex goes in: NT 5.0
// (Windows 2000) and later. Every kind the test runs on has its row, so that a new one is
// decided here rather than guessed from its name.
bool KindHasGlobalNamespace()
{
    static const std::map<std::string, bool> kinds = {
        {"win32-win98", false}, {"win32-nt40", false}, {"win32-win2k", true},
        {"win32-winxp", true},  {"win32-win7", true},
    };
    auto found = kinds.find(WineKind());
    if (found == kinds.end()) {
        ADD_FAILURE() << "no namespace expected for " << WineKind();
        return true;
    }
    return found->second;
}

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%lx", value);
    return text;
}

bool MutexExists(const std::string& name)
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex)
        CloseHandle(mutex);
    return mutex != nullptr;
}

class SetupLogTest : public testing::Test {
protected:
    SetupLogTest() : scratch_("log"), path_(scratch_ / "Setup.log") { log_.Open(path_.c_str()); }

    std::vector<std::string> Lines() const { return SplitLines(ReadWholeFile(path_)); }

    // The message part of the one line the log holds.
    std::string OnlyMessage() const
    {
        std::vector<std::string> lines = Lines();
        if (lines.size() != 1)
            return "<" + std::to_string(lines.size()) + " lines>";
        std::smatch match;
        return std::regex_match(lines[0], match, kLine) ? match[9].str() : "<malformed: " + lines[0] + ">";
    }

    ScratchFolder scratch_;
    std::string path_;
    SetupLog log_;
};

}  // namespace

TEST_F(SetupLogTest, LineHasTimestampThreadIdAndMessage)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    log_.WriteLine("Hello 42 world");

    std::string content = ReadWholeFile(path_);
    ASSERT_GE(content.size(), 2u);
    EXPECT_EQ("\r\n", content.substr(content.size() - 2));
    std::vector<std::string> lines = SplitLines(content);
    ASSERT_EQ(1u, lines.size());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLine)) << lines[0];
    EXPECT_EQ(before.wYear, std::stoi(match[1]));
    EXPECT_EQ(before.wMonth, std::stoi(match[2]));
    EXPECT_EQ(Hex(GetCurrentThreadId()), match[8].str());
    EXPECT_EQ("Hello 42 world", match[9].str());

    // A second thread's line carries that thread's id.
    DWORD otherId = 0;
    std::thread other([&] {
        otherId = GetCurrentThreadId();
        log_.WriteLine("from another thread");
    });
    other.join();
    lines = Lines();
    ASSERT_EQ(2u, lines.size());
    ASSERT_TRUE(std::regex_match(lines[1], match, kLine));
    EXPECT_EQ(Hex(otherId), match[8].str());
}

TEST_F(SetupLogTest, MessagesAreCutToTheirFirst4096Characters)
{
    std::string longText(5000, 'x');
    longText.replace(4095, 2, "yz");
    log_.WriteLine(longText.c_str());
    EXPECT_EQ(longText.substr(0, 4096), OnlyMessage());
}

TEST(SetupLogMutex, NamedAfterTheFileInTheNamespaceTheSystemHas)
{
    ScratchFolder scratch("mutex");
    std::string global = KindHasGlobalNamespace() ? "Global\\" : "";
    {
        SetupLog log;
        log.Open((scratch / "My.Setup.log").c_str());
        ASSERT_NE(nullptr, log.Mutex);
        EXPECT_TRUE(MutexExists(global + "ArvaneTL_my"));
        // Not in the other namespace: a setup of another session would not see it.
        EXPECT_FALSE(MutexExists(global.empty() ? "Global\\ArvaneTL_my" : "ArvaneTL_my"));
    }
    EXPECT_FALSE(MutexExists(global + "ArvaneTL_my")) << "closing the log closes the mutex";

    // No path: XASetup.log in the temporary folder.
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    for (const char* none : {"", static_cast<const char*>(nullptr)}) {
        SetupLog log;
        log.Open(none);
        EXPECT_EQ(std::string(temp) + "XASetup.log", log.Path);
        EXPECT_TRUE(MutexExists(global + "ArvaneTL_xasetup"));
    }

    char name[64];
    EXPECT_TRUE(BuildLogMutexName("C:\\Logs\\Upper.CASE.log", true, name, sizeof(name)));
    EXPECT_STREQ("Global\\ArvaneTL_upper", name);
    EXPECT_TRUE(BuildLogMutexName("plain", false, name, sizeof(name)));
    EXPECT_STREQ("ArvaneTL_plain", name);
    EXPECT_FALSE(BuildLogMutexName("C:\\a\\waytoolongforthebuffer.log", false, name, 16));
}

// A path too long for the log leaves it closed rather than cut.
TEST(SetupLogFile, PathTooLongLeavesTheLogClosed)
{
    ScratchFolder scratch("long");
    SetupLog log;
    log.Open((scratch.Path() + "\\" + std::string(300, 'p') + ".log").c_str());
    EXPECT_EQ(nullptr, log.Mutex);
    EXPECT_STREQ("", log.Path);
    EXPECT_FALSE(log.WriteLine("not written"));
}

TEST_F(SetupLogTest, RollsOverPastFiveMillionBytes)
{
    std::string backup = path_ + "1";
    std::string exactly(5000000, 'a');
    ASSERT_TRUE(WriteWholeFile(path_, exactly));
    log_.WriteLine("appended at the limit");
    EXPECT_FALSE(FileExistsAt(backup)) << "exactly 5,000,000 bytes is not past the limit";

    std::string first = exactly + "b";
    ASSERT_TRUE(WriteWholeFile(path_, first));
    log_.WriteLine("first after roll-over");
    EXPECT_EQ("first after roll-over", OnlyMessage());
    EXPECT_TRUE(ReadWholeFile(backup) == first) << "the backup holds the old log";

    std::string second(5000100, 'c');
    ASSERT_TRUE(WriteWholeFile(path_, second));
    log_.WriteLine("second after roll-over");
    EXPECT_EQ("second after roll-over", OnlyMessage());
    EXPECT_TRUE(ReadWholeFile(backup) == second) << "a second roll-over replaces the backup";
}

TEST_F(SetupLogTest, FailedRollOverKeepsTheLog)
{
    // A folder in the backup's place can be neither deleted nor replaced by the rename.
    ASSERT_TRUE(CreateDirectoryA((path_ + "1").c_str(), nullptr));
    std::string full(5000001, 'k');
    ASSERT_TRUE(WriteWholeFile(path_, full));
    log_.WriteLine("kept");
    std::string content = ReadWholeFile(path_);
    ASSERT_GT(content.size(), full.size());
    EXPECT_TRUE(content.compare(0, full.size(), full) == 0) << "the old log is still there";
    EXPECT_NE(std::string::npos, content.find("]: kept\r\n", full.size()));
}

TEST_F(SetupLogTest, BusyMutexDropsTheLineAfterASecond)
{
    std::string name = std::string(KindHasGlobalNamespace() ? "Global\\" : "") + "ArvaneTL_setup";
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
        WaitForSingleObject(mutex, INFINITE);
        SetEvent(held);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 5000));
    DWORD started = GetTickCount();
    EXPECT_FALSE(log_.WriteLine("dropped"));
    DWORD waited = GetTickCount() - started;
    EXPECT_GE(waited, 900u);
    EXPECT_LT(waited, 3000u);
    SetEvent(release);
    holder.join();
    CloseHandle(held);
    CloseHandle(release);

    EXPECT_TRUE(log_.WriteLine("written"));
    EXPECT_EQ("written", OnlyMessage());
}

TEST(SetupLogFile, UnopenableFileDropsOnlyThatLine)
{
    ScratchFolder scratch("missing");
    std::string folder = scratch / "later";
    SetupLog log;
    log.Open((folder + "\\x.log").c_str());
    EXPECT_FALSE(log.WriteLine("folder missing"));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_TRUE(log.WriteLine("folder there"));
    EXPECT_EQ(1u, SplitLines(ReadWholeFile(folder + "\\x.log")).size());
    EXPECT_FALSE(log.WriteLine(nullptr));
}

TEST_F(SetupLogTest, ProcessesAndThreadsWriteWholeLinesWithoutLoss)
{
    // Four processes of two threads each, 1,000 lines a process.
    const int kProcesses = 4, kThreads = 2, kLinesPerThread = 500;
    std::string eventName = "xatest_log_go_" + std::to_string(GetCurrentProcessId());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(nullptr, go);

    std::vector<HANDLE> writers;
    for (int p = 0; p < kProcesses; ++p) {
        std::string command = "\"" + FixturePath("logwriter.exe") + "\" \"" + path_ + "\" P" + std::to_string(p) +
                              " " + std::to_string(kThreads) + " " + std::to_string(kLinesPerThread) + " " + eventName;
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process));
        CloseHandle(process.hThread);
        writers.push_back(process.hProcess);
    }
    SetEvent(go);
    for (HANDLE writer : writers) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(writer, 600000));
        DWORD code = 99;
        GetExitCodeProcess(writer, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(writer);
    }
    CloseHandle(go);

    const std::regex message(R"((P\d) T(\d) N(\d+) tid=([0-9a-f]+) \.{52})");
    std::map<std::string, int> next;  // writer and thread -> next expected line number
    size_t malformed = 0;
    std::vector<std::string> lines = Lines();
    for (const std::string& line : lines) {
        std::smatch outer, inner;
        std::string text;
        if (!std::regex_match(line, outer, kLine) || !std::regex_match(text = outer[9].str(), inner, message) ||
            inner[4].str() != outer[8].str()) {
            ++malformed;
            continue;
        }
        int& expected = next[inner[1].str() + inner[2].str()];
        EXPECT_EQ(expected, std::stoi(inner[3].str())) << "lost or reordered before: " << line;
        expected = std::stoi(inner[3].str()) + 1;
    }
    EXPECT_EQ(0u, malformed);
    EXPECT_EQ(size_t(kProcesses * kThreads * kLinesPerThread), lines.size());
    EXPECT_EQ(size_t(kProcesses * kThreads), next.size());
    for (const auto& writer : next)
        EXPECT_EQ(kLinesPerThread, writer.second) << writer.first;
}

// The mutex belongs to the setup processes, which run as administrators or as SYSTEM: nobody
// else may open it, so nobody else can hold it and drop every line.
TEST_F(SetupLogTest, MutexAdmitsOnlySystemAndAdministrators)
{
    std::string name = std::string(KindHasGlobalNamespace() ? "Global\\" : "") + "ArvaneTL_setup";
    HANDLE mutex = OpenMutexA(READ_CONTROL | SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(nullptr, mutex);
    log_.WriteLine("a line while the log is open");
    EXPECT_EQ("a line while the log is open", OnlyMessage());
    if (!IsWin9xKind()) {
        std::vector<std::string> entries = ObjectAccessEntries(mutex);
        entries.erase(std::remove(entries.begin(), entries.end(), "protected"), entries.end());
        EXPECT_EQ((std::vector<std::string>{AllowEntry(kSystemSid, MUTEX_ALL_ACCESS),
                                            AllowEntry(kAdministratorsSid, MUTEX_ALL_ACCESS)}),
                  entries);
    }
    CloseHandle(mutex);
}

// A mutex of the log's name that someone else made is not used: whoever made it could hold it
// and so drop every line. The lines are written without it, and the threads of this process
// still write one at a time.
TEST(SetupLogMutex, OneThatSomeoneElseMadeIsNotUsed)
{
    if (IsWin9xKind())
        return;  // no access lists: any process may make and hold the mutex
    ScratchFolder scratch("foreign");
    std::string prefix = KindHasGlobalNamespace() ? "Global\\" : "";
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SECURITY_ATTRIBUTES security = {sizeof(security), &descriptor, FALSE};

    // Open to everyone, and held by a thread of its maker.
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE mutex = CreateMutexA(&security, TRUE, (prefix + "ArvaneTL_held").c_str());
        SetEvent(held);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, 5000));
    // Shut to everyone (an empty list), and a name that an event took.
    DWORD empty[8];
    InitializeAcl(reinterpret_cast<PACL>(empty), sizeof(empty), ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(empty), FALSE);
    HANDLE shut = CreateMutexA(&security, FALSE, (prefix + "ArvaneTL_shut").c_str());
    ASSERT_NE(nullptr, shut);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, (prefix + "ArvaneTL_event").c_str());
    ASSERT_NE(nullptr, event);

    for (const char* name : {"held", "shut", "event"}) {
        SCOPED_TRACE(name);
        std::string path = scratch / (std::string(name) + ".log");
        SetupLog log;
        log.Open(path.c_str());
        DWORD started = GetTickCount();
        EXPECT_TRUE(log.WriteLine("written"));
        std::thread other([&] { EXPECT_TRUE(log.WriteLine("from another thread")); });
        other.join();
        EXPECT_LT(GetTickCount() - started, 900u) << "no wait for a mutex that others hold";
        EXPECT_EQ(2u, SplitLines(ReadWholeFile(path)).size());
    }
    SetEvent(release);
    holder.join();
    CloseHandle(held);
    CloseHandle(release);
    CloseHandle(shut);
    CloseHandle(event);
}

// On NT a log file with another name (a hard link) is not appended to: the elevated setup would
// write into whatever file the link's maker chose.
TEST(SetupLogFile, LinkedLogIsNotWritten)
{
    if (IsWin9xKind())
        return;  // no links
    ScratchFolder scratch("links");
    std::string target = scratch / "chosen.txt";
    std::string linked = scratch / "linked.log";
    ASSERT_TRUE(WriteWholeFile(target, "chosen content"));
    ASSERT_TRUE(CreateHardLinkA(linked.c_str(), target.c_str(), nullptr));
    SetupLog log;
    log.Open(linked.c_str());
    EXPECT_STREQ("", log.Path) << "the log stays closed";
    EXPECT_FALSE(log.WriteLine("not written"));
    EXPECT_EQ("chosen content", ReadWholeFile(target));

    // A link put in the log's place after it was opened: its lines are dropped.
    std::string later = scratch / "later.log";
    log.Open(later.c_str());
    EXPECT_TRUE(log.WriteLine("written"));
    ASSERT_TRUE(DeleteFileA(later.c_str()));
    ASSERT_TRUE(CreateHardLinkA(later.c_str(), target.c_str(), nullptr));
    EXPECT_FALSE(log.WriteLine("dropped"));
    EXPECT_EQ("chosen content", ReadWholeFile(target));

    // A folder on the way that is a link: the log would be written wherever it leads.
    std::string elsewhere = scratch / "Elsewhere";
    ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(LinkFolder(elsewhere, scratch / "Logs"));
    log.Open((scratch / "Logs\\setup.log").c_str());
    EXPECT_STREQ("", log.Path) << "the log stays closed";
    EXPECT_FALSE(log.WriteLine("not written"));
    EXPECT_EQ(std::vector<std::string>{}, FolderEntries(elsewhere));
}
