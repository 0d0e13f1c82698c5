// The real XASetup.exe under faults: a disk that fills up half way through the copy, and a run
// (a new installation, an update, a removal) killed (TerminateProcess) after each of evenly spread
// lines of its log and at the fixed points of its case. After each fault the same command again
// must finish the job: a working agent, or for a removal nothing left. Every point is printed as
// a row "FAULT-ROW|case|moment|rerun exit code|what was lost|seconds|files before the rerun" for
// tests/harness/faults.
//
// XA_FAULT_POINTS: kill points per case besides the fixed ones (default 3: the first line, the
//                  middle one, the last; "all": after every line); XA_FAULT_FROM: none before
//                  this line.
// XA_FAULT_DRIVE:  the drive letter of a small RAM disk ("R:"); without it the disk-full cases skip.
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "setup/SetupProgramFixture.h"
#include "support/ShellLinks.h"

using namespace xatest;

namespace {

const char kInstance[] = "F1";
const char* const kConfigFiles[] = {"ArvaneD.ini", "ArvaneFW.ini", "AgtAgent.log", "AgtError.log"};

std::string Setting(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// A package of the agent with the real setup program; marker tells its files from another's. Its
// configuration files say which package they came from, so that an update that overwrites the
// instance's own shows.
class SetupPackage {
public:
    explicit SetupPackage(const std::string& name, const std::string& marker)
        : files_(name, {}, marker)
    {
        EXPECT_TRUE(files_.Complete());
        EXPECT_TRUE(CopyFixture("XASetup.exe", files_ / "XASetup.exe"));
        for (const char* file : kConfigFiles)
            WriteWholeFile(files_ / file, std::string("package ") + file + marker);
    }
    std::string operator/(const std::string& name) const { return files_ / name; }
    std::string Command(const std::string& options) const { return "\"" + files_ / "XASetup.exe" + "\" " + options; }
    long Run(const std::string& options) const { return RunProcess(Command(options), kRunLimitMs); }

private:
    AgentPackage files_;
};

AgentFootprint Footprint(const std::string& folder)
{
    AgentFootprint footprint;
    footprint.Instance = kInstance;
    footprint.DestFolder = folder;
    return footprint;
}

bool HasContent(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes) && attributes.nFileSizeLow > 0;
}

// Whether a line of the log starts at text: its time stamp "yyyy/mm/dd hh:mm:ss.mmm [".
bool IsLineHead(const std::string& text, size_t at)
{
    static const char shape[] = "dddd/dd/dd dd:dd:dd.ddd [";
    if (text.size() - at < sizeof(shape) - 1)
        return false;
    for (size_t i = 0; i + 1 < sizeof(shape); ++i) {
        char c = text[at + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i])
            return false;
    }
    return true;
}

// The number of lines in the log, counted by their heads as LogMessages does, but without its
// regular expression: the watcher must see a line at once to kill right after it.
size_t CountLogLines(const std::string& logPath)
{
    std::string content = ReadWholeFile(logPath);
    size_t count = IsLineHead(content, 0);
    for (size_t at = content.find('\n'); at != std::string::npos; at = content.find('\n', at + 1))
        count += IsLineHead(content, at + 1);
    return count;
}

struct Kill {
    std::string Moment;  // "#n <last line>", or why the run was not killed
    size_t Lines = 0;    // in the log once the process had ended
    bool Killed = false;
};

// Starts the command and ends its process as soon as the log holds `after` lines (or more) and
// ready, when given, says so.
Kill RunAndKill(const std::string& command, const std::string& logPath, size_t after,
                const std::function<bool()>& ready = nullptr)
{
    Kill kill;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        kill.Moment = "(could not start)";
        return kill;
    }
    CloseHandle(process.hThread);
    DWORD start = GetTickCount();
    DWORD lastSize = 0;
    bool reached = false;
    while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && GetTickCount() - start < kRunLimitMs) {
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        if (!reached && GetFileAttributesExA(logPath.c_str(), GetFileExInfoStandard, &attributes) &&
            attributes.nFileSizeLow != lastSize) {
            lastSize = attributes.nFileSizeLow;
            reached = CountLogLines(logPath) >= after;
        }
        if (reached && (!ready || ready())) {
            kill.Killed = TerminateProcess(process.hProcess, 1) != 0;
            break;
        }
        Sleep(0);
    }
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    std::vector<std::string> lines = LogMessages(logPath);
    kill.Lines = lines.size();
    if (!kill.Killed) {
        kill.Moment = "(ended by itself)";
        return kill;
    }
    // Quoted paths shortened to their file names, for the table.
    static const std::regex path(R"re("[^"]*\\([^"\\]*)")re");
    kill.Moment = "#" + std::to_string(lines.size()) + " " +
                  (lines.empty() ? "(no line)" : std::regex_replace(lines.back(), path, "$1"));
    return kill;
}

// A kill point tried again (arranged anew each time) while its kill lands past the moment it is
// meant for: the watcher may see a line only once the next few, written in the same instant, are
// there too. landed tells a kill that came at its moment.
const int kTries = 4;
Kill KillPoint(const std::function<void()>& arrange, const std::function<Kill()>& run,
               const std::function<bool(const Kill&)>& landed, int tries = kTries)
{
    Kill kill;
    for (int attempt = 0; attempt < tries; ++attempt) {
        arrange();
        kill = run();
        if (!kill.Killed || landed(kill))
            break;
    }
    return kill;
}

DWORD g_pointStart = 0;

// One row per fault point, with the seconds the point took (the fault, the rerun, the checks) and,
// for an update, the state of the program files the fault left.
void PrintRow(const std::string& name, const std::string& moment, long rerun, const std::vector<std::string>& lost,
              const std::string& files = "-")
{
    std::string joined;
    for (const std::string& item : lost)
        joined += (joined.empty() ? "" : "; ") + item;
    std::printf("FAULT-ROW|%s|%s|%ld|%s|%.1f|%s\n", name.c_str(), moment.c_str(), rerun,
                joined.empty() ? "nothing" : joined.c_str(), (GetTickCount() - g_pointStart) / 1000.0, files.c_str());
    g_pointStart = GetTickCount();
    std::fflush(stdout);
}

// Where the installation keeps a file of the package.
std::string InstalledPath(const std::string& folder, const std::string& file)
{
    for (const char* driver : {"ArvaneD.VXD", "XAPFA.sys", "XAPFA64.sys", "ArvaneSP.dll"})
        if (file == driver)
            return folder + "\\drivers\\" + file;
    return folder + "\\" + file;
}

// What an update keeps beside the agent's files until it ends, and its commit mark, beside the
// first file of the table: a run killed while the mark is there had succeeded.
const char* const kUpdateTraces[] = {".setaside", ".created", ".deferred", ".partial", ".committed"};
const char kCommitMark[] = "XASetup.exe.committed";

bool EndsWith(const std::string& name, const char* suffix)
{
    size_t length = strlen(suffix);
    return name.size() >= length && _stricmp(name.c_str() + name.size() - length, suffix) == 0;
}

// The names of what an update left beside the files of the agent folder and its drivers folder
// (with these suffixes, and the "~" names of files that go at the next restart).
std::vector<std::string> UpdateTraces(const std::string& folder, const std::vector<const char*>& suffixes)
{
    std::vector<std::string> left;
    for (const std::string& sub : {folder, folder + "\\drivers"}) {
        for (const std::string& name : FolderEntries(sub)) {
            bool trace = name[0] == '~';
            for (const char* suffix : suffixes)
                trace = trace || EndsWith(name, suffix);
            if (trace)
                left.push_back(name);
        }
    }
    return left;
}

// Whether a killed update had committed: its mark is there, or the started agent's update had let
// every kept old file go already. From then on a rerun must finish it, never put the old files back.
bool UpdateCommitted(const std::string& folder, const std::vector<std::string>& lines)
{
    if (FileExistsAt(folder + "\\" + kCommitMark))
        return true;
    return std::find(lines.begin(), lines.end(), "Agent service started.") != lines.end() &&
           UpdateTraces(folder, {".setaside", ".created", ".deferred"}).empty();
}

// How the agent's program files compare with those of the package before and after an update:
// each the old or the new one whole (or, for the moment between two renames, the old one whole
// beside its place); once the update had committed, each the new one. A file that is neither goes
// into lost.
std::string ProgramFileStates(const SetupPackage& older, const SetupPackage& newer, const std::string& folder,
                              std::vector<std::string>* lost, bool committed = false)
{
    int old = 0, current = 0, aside = 0, same = 0;
    for (const std::string& file : PackageProgramFiles()) {
        std::string installed = InstalledPath(folder, file);
        bool there = FileExistsAt(installed);
        std::string content = ReadWholeFile(installed);
        if (there && content == ReadWholeFile(older / file) && content == ReadWholeFile(newer / file))
            ++same;  // the setup program itself
        else if (there && content == ReadWholeFile(older / file))
            ++old;
        else if (there && content == ReadWholeFile(newer / file))
            ++current;
        else if (!there && ReadWholeFile(installed + ".setaside") == ReadWholeFile(older / file))
            ++aside;
        else
            lost->push_back(file + (there ? " cut short" : " missing"));
    }
    if (committed && old + aside > 0)
        lost->push_back(std::to_string(old + aside) + " old after the commit");
    return "old or new whole: " + std::to_string(old) + " old, " + std::to_string(current) + " new" +
           (aside ? ", " + std::to_string(aside) + " old beside its place" : "") +
           (same ? ", " + std::to_string(same) + " the same in both" : "");
}

// What is not as it must be for a working agent installed from package: the service running,
// every part of the installation in place, the program files the package's, the given files
// (the instance's configuration) as they were.
std::vector<std::string> NotWorking(const SetupPackage& package, const std::string& folder,
                                    const std::map<std::string, std::string>& kept)
{
    std::vector<std::string> lost;
    if (!WaitForServiceState(std::string("XA") + kInstance, SERVICE_RUNNING, 10000))
        lost.push_back("agent not running");
    for (const std::string& item : MissingParts(Footprint(folder)))
        lost.push_back("missing " + item);
    for (const std::string& file : PackageProgramFiles()) {
        if (ReadWholeFile(InstalledPath(folder, file)) != ReadWholeFile(package / file))
            lost.push_back(file + " not the package's");
    }
    for (const auto& file : kept)
        if (ReadWholeFile(file.first) != file.second)
            lost.push_back(file.first.substr(file.first.rfind('\\') + 1) + " changed");
    return lost;
}

// The removal and what it left.
std::vector<std::string> RemovalLeftovers(const SetupPackage& package, const std::string& folder)
{
    std::vector<std::string> lost;
    // Stopped beforehand, so that the removal does not wait out its 10 s poll of the stop (the
    // stop itself is the update's, and is measured there).
    SendStop(std::string("XA") + kInstance);
    WaitForServiceState(std::string("XA") + kInstance, SERVICE_STOPPED, 10000);
    long removed = package.Run(std::string("/g ") + kInstance + " /r /s");
    if (removed != 0)
        lost.push_back("removal exit " + std::to_string(removed));
    for (const std::string& item : Leftovers(Footprint(folder)))
        lost.push_back("left " + item);
    return lost;
}

// The instance's own configuration and logs, written into its folder as an agent would.
std::map<std::string, std::string> WriteInstanceFiles(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const char* file : kConfigFiles) {
        std::string path = folder + "\\" + file;
        std::string content = std::string("this instance's ") + file + "\r\n[Settings]\r\nServer=10.1.2.3\r\n";
        EXPECT_TRUE(WriteWholeFile(path, content)) << path;
        files[path] = content;
    }
    return files;
}

// The kill points: `points` lines spread evenly from the first to the last of a run of `lines`.
std::vector<size_t> KillPoints(size_t lines, int points)
{
    std::vector<size_t> after;
    for (int i = 0; i < points; ++i) {
        size_t k = points == 1 ? lines / 2 : 1 + (size_t)((double)i * (lines - 1) / (points - 1) + 0.5);
        if (after.empty() || after.back() != k)
            after.push_back(k);
    }
    return after;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override { Forget(); }
    void TearDown() override { Forget(); }
    void Forget()
    {
        ForgetInstance(Footprint(AgentFolder(kInstance)));
        if (!drive_.empty())
            ForgetInstance(Footprint(drive_ + "\\Agents\\" + kInstance));
    }
    // The lines to kill after, of a run of `lines`.
    std::vector<size_t> Points(size_t lines) const
    {
        std::string points = Setting("XA_FAULT_POINTS", "3");
        std::vector<size_t> after = KillPoints(lines, points == "all" ? (int)lines : std::atoi(points.c_str()));
        size_t from = (size_t)std::atoi(Setting("XA_FAULT_FROM", "0").c_str());
        after.erase(std::remove_if(after.begin(), after.end(), [from](size_t k) { return k < from; }), after.end());
        return after;
    }
    std::string drive_ = Setting("XA_FAULT_DRIVE", "");
};

// A kill point: after the log's line After, and for the special ones once the run is inside a
// given step.
struct Point {
    enum Kind { kAfterLine, kInCopy, kAtCommit };
    size_t After;
    Kind At;
};

std::vector<Point> LinePoints(const std::vector<size_t>& lines)
{
    std::vector<Point> points;
    for (size_t after : lines)
        points.push_back({after, Point::kAfterLine});
    return points;
}

// A new installation killed at each point; the same command again installs a working agent.
TEST_F(Faults, KilledNewInstallation)
{
    SetupPackage package("kill-new-package", " new");
    ScratchFolder logs("kill-new-logs");
    std::string log = logs / "setup.log";
    std::string options = std::string("/g ") + kInstance + " /s /e /l \"" + log + "\"";
    std::string folder = AgentFolder(kInstance);

    // A configuration file big enough for a kill to land inside its copy.
    std::string settings = ReadWholeFile(package / "ArvaneD.ini") + "\r\n";
    while (settings.size() < (8u << 20))
        settings += "; padding of the configuration that a kill cuts\r\n";
    ASSERT_TRUE(WriteWholeFile(package / "ArvaneD.ini", settings));

    // The whole run, for the number of its lines and the line of that copy.
    ASSERT_EQ(0, package.Run(options));
    std::vector<std::string> whole = LogMessages(log);
    size_t lines = whole.size();
    ASSERT_GT(lines, 20u);
    std::vector<Point> points = LinePoints(Points(lines));
    std::string settingsCopy = "InstallFile: Source=\"" + package / "ArvaneD.ini" + "\" Destination=\"" + folder +
                               "\\ArvaneD.ini\"";
    size_t copyLine = std::find(whole.begin(), whole.end(), settingsCopy) - whole.begin();
    ASSERT_LT(copyLine, lines);
    points.push_back({copyLine + 1, Point::kInCopy});
    EXPECT_EQ(std::vector<std::string>{}, RemovalLeftovers(package, folder));
    std::map<std::string, std::string> packageConfig;
    for (const char* file : {"ArvaneD.ini", "ArvaneFW.ini"})
        packageConfig[folder + "\\" + file] = ReadWholeFile(package / file);

    for (const Point& point : points) {
        SCOPED_TRACE("killed after line " + std::to_string(point.After));
        g_pointStart = GetTickCount();
        // Inside the copy: the file, or the part of it that the setup writes first, has begun.
        bool inCopy = point.At == Point::kInCopy;
        std::function<bool()> begun;
        if (inCopy)
            begun = [&]() {
                return HasContent(folder + "\\ArvaneD.ini") || HasContent(folder + "\\ArvaneD.ini.partial");
            };
        Kill kill = KillPoint(
            [&]() {
                Forget();
                DeleteFileA(log.c_str());
            },
            [&]() { return RunAndKill(package.Command(options), log, point.After, begun); },
            [&](const Kill& done) { return inCopy || done.Lines == point.After; });
        std::string moment = kill.Moment;
        if (inCopy)
            moment = "in the copy of ArvaneD.ini, " + std::to_string(ReadWholeFile(folder + "\\ArvaneD.ini").size()) +
                     " of " + std::to_string(settings.size()) + " bytes there: " + moment;
        long rerun = package.Run(options);
        std::vector<std::string> lost;
        if (rerun != 0)
            lost.push_back("rerun exit " + std::to_string(rerun));
        for (const std::string& item : NotWorking(package, folder, packageConfig))
            lost.push_back(item);
        for (const std::string& item : RemovalLeftovers(package, folder))
            lost.push_back(item);
        PrintRow("install", moment, rerun, lost);
        EXPECT_EQ(std::vector<std::string>{}, lost) << moment << "\n" << ReadWholeFile(log);
    }
}

// Tries to kill a run inside a step of a few milliseconds that a watcher may miss: while the
// update's commit mark is there, or before the removal deletes a given item.
const int kWitnessTries = 12;

// An update of a running agent killed at each point leaves every program file the old or the new
// one whole, and the new one once the update had committed; the same command again finishes it
// (never puts the old files back after the commit) and keeps the instance's configuration.
TEST_F(Faults, KilledUpdate)
{
    SetupPackage older("kill-old-package", " old");
    SetupPackage newer("kill-newer-package", " newer");
    ScratchFolder logs("kill-update-logs");
    std::string log = logs / "setup.log";
    std::string install = std::string("/g ") + kInstance + " /s /e";
    std::string update = std::string("/g ") + kInstance + " /s /l \"" + log + "\"";
    std::string folder = AgentFolder(kInstance);
    std::string mark = folder + "\\" + kCommitMark;

    std::map<std::string, std::string> kept;
    auto installOlder = [&]() {
        ForgetInstance(Footprint(folder));
        EXPECT_EQ(0, older.Run(install));
        EXPECT_TRUE(WaitForServiceState(std::string("XA") + kInstance, SERVICE_RUNNING, 10000));
        kept = WriteInstanceFiles(folder);
        DeleteFileA(log.c_str());
    };
    installOlder();
    ASSERT_EQ(0, newer.Run(update));
    std::vector<std::string> whole = LogMessages(log);
    size_t lines = whole.size();
    ASSERT_GT(lines, 20u);
    // The update commits once the started agent lets the old files go.
    size_t started = std::find(whole.begin(), whole.end(), "Agent service started.") - whole.begin();
    ASSERT_LT(started, lines);
    std::vector<Point> points = LinePoints(Points(lines));
    points.push_back({started + 1, Point::kAtCommit});

    for (const Point& point : points) {
        SCOPED_TRACE("killed after line " + std::to_string(point.After));
        g_pointStart = GetTickCount();
        bool atCommit = point.At == Point::kAtCommit;
        Kill kill = KillPoint(
            installOlder,
            [&]() {
                std::function<bool()> marked;
                if (atCommit)
                    marked = [&]() { return FileExistsAt(mark); };
                return RunAndKill(newer.Command(update), log, point.After, marked);
            },
            [&](const Kill& done) { return atCommit ? FileExistsAt(mark) : done.Lines == point.After; },
            atCommit ? kWitnessTries : kTries);
        std::vector<std::string> lost;
        std::string moment = kill.Moment;
        if (atCommit) {
            moment = "at the commit mark: " + moment;
            if (!FileExistsAt(mark))
                lost.push_back("no kill while the commit mark was there");
        }
        std::vector<std::string> killedLines = LogMessages(log);
        bool committed = UpdateCommitted(folder, killedLines);
        std::string files = ProgramFileStates(older, newer, folder, &lost, committed);
        long rerun = newer.Run(update);
        if (rerun != 0)
            lost.push_back("rerun exit " + std::to_string(rerun));
        std::vector<std::string> rerunLines = LogMessages(log);
        if (committed && std::find(rerunLines.begin() + std::min(killedLines.size(), rerunLines.size()),
                                   rerunLines.end(),
                                   "Restoring the agent's files after the failed update...") != rerunLines.end())
            lost.push_back("the rerun put the old files back after the commit");
        for (const std::string& item : NotWorking(newer, folder, kept))
            lost.push_back(item);
        for (const std::string& item : RemovalLeftovers(newer, folder))
            lost.push_back(item);
        PrintRow("update", moment, rerun, lost, (committed ? "committed: " : "") + files);
        EXPECT_EQ(std::vector<std::string>{}, lost) << moment << "\n" << ReadWholeFile(log);
    }
}

// What lies beside the agent's own files and is not the agent's: a file in the company folder, a
// folder whose name begins with the instance id, and a file in the Start-menu group that the
// agent's link shares. A removal must leave each as it was.
std::map<std::string, std::string> WriteNeighbours(const std::string& folder)
{
    std::string company = folder.substr(0, folder.rfind('\\'));
    char programs[MAX_PATH] = "";
    GetSpecialFolderPath(IsWin9xKind() ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS, nullptr, programs);
    std::map<std::string, std::string> files = {
        {company + "\\Readme.txt", "the company's own file\r\n"},
        {folder + "0\\AgentCore.exe", "another folder's program\r\n"},
        {std::string(programs) + "\\Arvane\\Other tool.txt", "another program's entry\r\n"},
    };
    for (const auto& file : files) {
        CreateDirectoryA(file.first.substr(0, file.first.rfind('\\')).c_str(), nullptr);
        EXPECT_TRUE(WriteWholeFile(file.first, file.second)) << file.first;
    }
    return files;
}

void RemoveNeighbours(const std::map<std::string, std::string>& files)
{
    for (const auto& file : files) {
        DeleteFileA(file.first.c_str());
        RemoveDirectoryA(file.first.substr(0, file.first.rfind('\\')).c_str());
    }
}

// How the agent's files stand in a removal: each the installed one whole, or gone. A file cut
// short, or changed, goes into lost.
std::string RemovedFileStates(const std::map<std::string, std::string>& installed, std::vector<std::string>* lost)
{
    int whole = 0, gone = 0;
    for (const auto& file : installed) {
        if (!FileExistsAt(file.first))
            ++gone;
        else if (ReadWholeFile(file.first) == file.second)
            ++whole;
        else
            lost->push_back(file.first.substr(file.first.rfind('\\') + 1) + " cut short");
    }
    return "whole or gone: " + std::to_string(whole) + " whole, " + std::to_string(gone) + " gone";
}

// A removal of a running agent killed at each point leaves every agent file whole or gone and
// nothing else touched; the same command again removes everything, or names for the restart what
// it leaves (3010).
TEST_F(Faults, KilledRemoval)
{
    SetupPackage package("kill-removal-package", " installed");
    ScratchFolder logs("kill-removal-logs");
    std::string log = logs / "setup.log";
    std::string install = std::string("/g ") + kInstance + " /s /e";
    std::string removal = std::string("/g ") + kInstance + " /r /s /l \"" + log + "\"";
    std::string folder = AgentFolder(kInstance);

    std::map<std::string, std::string> agentFiles, neighbours;
    auto installAgent = [&]() {
        Forget();
        RemoveNeighbours(neighbours);
        EXPECT_EQ(0, package.Run(install));
        EXPECT_TRUE(WaitForServiceState(std::string("XA") + kInstance, SERVICE_RUNNING, 10000));
        agentFiles = WriteInstanceFiles(folder);
        for (const std::string& file : PackageProgramFiles())
            agentFiles[InstalledPath(folder, file)] = ReadWholeFile(package / file);
        for (const std::string& file : {InstalledDriverPath(), SystemFolder() + "\\ArvaneSP.dll"})
            agentFiles[file] = ReadWholeFile(file);
        neighbours = WriteNeighbours(folder);
        DeleteFileA(log.c_str());
    };
    auto untouched = [&](std::vector<std::string>* lost) {
        for (const auto& file : neighbours)
            if (ReadWholeFile(file.first) != file.second)
                lost->push_back(file.first + " touched");
    };
    installAgent();
    ASSERT_EQ(0, package.Run(removal));
    std::vector<std::string> whole = LogMessages(log);
    ASSERT_GT(whole.size(), 20u);
    // Always among the points, each killed after its line while the item it names is still there:
    // the moments that once left the drivers without an owner and the link without its instance's
    // key.
    char programs[MAX_PATH] = "";
    GetSpecialFolderPath(IsWin9xKind() ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS, nullptr, programs);
    struct Fixed {
        const char* Line;
        size_t Later;  // the line this many after that one
        std::string Witness;
    };
    const Fixed fixed[] = {{"Removing drivers...", 1, SystemFolder() + "\\ArvaneSP.dll"},
                           {"Removing shortcut and folder...", 0, std::string(programs) + "\\Arvane\\Arvane Agent.lnk"}};
    std::map<size_t, std::string> points;  // the line to kill after, and the witness
    for (size_t after : Points(whole.size()))
        points[after];
    for (const Fixed& point : fixed) {
        size_t at = std::find(whole.begin(), whole.end(), point.Line) - whole.begin() + point.Later;
        ASSERT_LT(at, whole.size()) << point.Line;
        points[at + 1] = point.Witness;
    }

    for (const auto& point : points) {
        size_t after = point.first;
        const std::string& witness = point.second;
        SCOPED_TRACE("killed after line " + std::to_string(after));
        g_pointStart = GetTickCount();
        Kill kill = KillPoint(
            installAgent, [&]() { return RunAndKill(package.Command(removal), log, after); },
            [&](const Kill& done) { return done.Lines == after && (witness.empty() || FileExistsAt(witness)); },
            witness.empty() ? kTries : kWitnessTries);
        std::string moment = kill.Moment;
        if (!witness.empty())
            moment = "before " + witness.substr(witness.rfind('\\') + 1) + " goes: " + moment;
        std::vector<std::string> lost;
        if (!witness.empty() && !FileExistsAt(witness))
            lost.push_back("no kill before " + witness + " went");
        std::string files = RemovedFileStates(agentFiles, &lost);
        untouched(&lost);
        size_t killedLines = LogMessages(log).size();
        long rerun = package.Run(removal);
        std::vector<std::string> rerunLines = LogMessages(log);
        rerunLines.erase(rerunLines.begin(), rerunLines.begin() + std::min(killedLines, rerunLines.size()));
        if (rerun != 0 && rerun != ERROR_SUCCESS_REBOOT_REQUIRED)
            lost.push_back("rerun exit " + std::to_string(rerun));
        // What stays for the restart is a file or folder that the rerun's log names.
        for (const std::string& item : Leftovers(Footprint(folder))) {
            size_t path = item.find(":\\");
            bool named = rerun == ERROR_SUCCESS_REBOOT_REQUIRED && path != std::string::npos &&
                         std::any_of(rerunLines.begin(), rerunLines.end(), [&](const std::string& line) {
                             return line.find("\"" + item.substr(path - 1) + "\"") != std::string::npos;
                         });
            if (!named)
                lost.push_back("left " + item);
        }
        untouched(&lost);
        PrintRow("removal", moment, rerun, lost, files);
        EXPECT_EQ(std::vector<std::string>{}, lost) << moment << "\n" << ReadWholeFile(log);
    }
    RemoveNeighbours(neighbours);
}

// The RAM disk: leaves `free` bytes on it with a ballast file (deleted to free the space again).
class FullDisk {
public:
    FullDisk(const std::string& drive, unsigned long long free) : ballast_(drive + "\\ballast.bin")
    {
        ULARGE_INTEGER available = {}, total = {}, unused = {};
        if (!GetDiskFreeSpaceExA((drive + "\\").c_str(), &available, &total, &unused) ||
            available.QuadPart <= free)
            return;
        HANDLE file = CreateFileA(ballast_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        std::vector<char> block(65536, 'b');
        unsigned long long left = available.QuadPart - free;
        while (left > 0) {
            DWORD chunk = left < block.size() ? (DWORD)left : (DWORD)block.size(), written = 0;
            if (!WriteFile(file, block.data(), chunk, &written, nullptr) || written == 0)
                break;
            left -= written;
        }
        CloseHandle(file);
        ready_ = true;
    }
    ~FullDisk() { Free(); }
    bool Ready() const { return ready_; }
    void Free() { DeleteFileA(ballast_.c_str()); }

private:
    std::string ballast_;
    bool ready_ = false;
};

const unsigned long long kBigFileBytes = 4u << 20;  // AgentExt.dll of the big package, halfway down the list
const unsigned long long kFreeBytes = 2u << 20;

// Pads a package file to kBigFileBytes.
void MakeBig(const std::string& path)
{
    std::string content = ReadWholeFile(path);
    content.resize(kBigFileBytes, 'x');
    ASSERT_TRUE(WriteWholeFile(path, content));
}

// A new installation onto a full disk ends with the system's code, says which file, and the
// roll-back takes everything of the instance.
TEST_F(Faults, DiskFullNewInstallation)
{
    if (drive_.empty())
        GTEST_SKIP() << "no RAM disk: XA_FAULT_DRIVE is not set (tests/harness/faults mounts one as root)";
    SetupPackage package("full-new-package", " big");
    MakeBig(package / "AgentExt.dll");
    ScratchFolder logs("full-new-logs");
    std::string log = logs / "setup.log";
    std::string folder = drive_ + "\\Agents\\" + kInstance;
    std::string options = std::string("/g ") + kInstance + " /s /e /d " + drive_ + "\\Agents /l \"" + log + "\"";
    FullDisk disk(drive_, kFreeBytes);
    ASSERT_TRUE(disk.Ready());

    g_pointStart = GetTickCount();
    long code = package.Run(options);
    std::vector<std::string> lost;
    for (const std::string& item : Leftovers(Footprint(folder)))
        lost.push_back("left " + item);
    EXPECT_EQ(ERROR_DISK_FULL, code);
    std::vector<std::string> lines = LogMessages(log);
    std::string failedCopy = "InstallFile: Source=\"" + package / "AgentExt.dll" + "\" Destination=\"" + folder +
                             "\\AgentExt.dll\"";
    size_t at = std::find(lines.begin(), lines.end(), failedCopy) - lines.begin();
    while (at < lines.size() && lines[at].find("Couldn't copy file") == std::string::npos)
        ++at;
    ASSERT_LT(at, lines.size()) << ReadWholeFile(log);
    EXPECT_NE(std::string::npos, lines[at].find(SystemMessage(ERROR_DISK_FULL).substr(0, 8))) << lines[at];
    EXPECT_EQ("End install process. (112)", lines[lines.size() - 2]);
    EXPECT_EQ(std::vector<std::string>{}, lost);

    // With room again the same command installs.
    disk.Free();
    long rerun = package.Run(options);
    EXPECT_EQ(0, rerun);
    for (const std::string& item : NotWorking(package, folder, {}))
        lost.push_back(item);
    for (const std::string& item : RemovalLeftovers(package, folder))
        lost.push_back(item);
    PrintRow("disk full, new", "copy of AgentExt.dll: exit " + std::to_string(code), rerun, lost);
    EXPECT_EQ(std::vector<std::string>{}, lost);
}

// An update whose copy fills the disk ends with the system's code, leaves every program file and
// the instance's configuration, package file and logs as they were, byte for byte, and starts the
// agent it stopped again; with room again the same command updates.
TEST_F(Faults, DiskFullUpdate)
{
    if (drive_.empty())
        GTEST_SKIP() << "no RAM disk: XA_FAULT_DRIVE is not set (tests/harness/faults mounts one as root)";
    SetupPackage older("full-old-package", " old");
    SetupPackage newer("full-newer-package", " big");
    MakeBig(newer / "AgentExt.dll");
    ScratchFolder logs("full-update-logs");
    std::string log = logs / "setup.log";
    std::string folder = drive_ + "\\Agents\\" + kInstance;
    std::string install = std::string("/g ") + kInstance + " /s /e /d " + drive_ + "\\Agents";
    std::string update = std::string("/g ") + kInstance + " /s /l \"" + log + "\"";
    ASSERT_EQ(0, older.Run(install));
    ASSERT_TRUE(WaitForServiceState(std::string("XA") + kInstance, SERVICE_RUNNING, 10000));
    std::map<std::string, std::string> kept = WriteInstanceFiles(folder);
    kept[folder + "\\Package.xml"] = ReadWholeFile(folder + "\\Package.xml");
    ASSERT_FALSE(kept[folder + "\\Package.xml"].empty());
    FullDisk disk(drive_, kFreeBytes);
    ASSERT_TRUE(disk.Ready());

    g_pointStart = GetTickCount();
    long code = newer.Run(update);
    std::vector<std::string> lost;
    if (!WaitForServiceState(std::string("XA") + kInstance, SERVICE_RUNNING, 10000))
        lost.push_back("agent not running");
    for (const auto& file : kept)
        if (ReadWholeFile(file.first) != file.second)
            lost.push_back(file.first.substr(file.first.rfind('\\') + 1) + " changed");
    for (const std::string& item : MissingParts(Footprint(folder)))
        lost.push_back("missing " + item);
    EXPECT_EQ(ERROR_DISK_FULL, code);
    std::vector<std::string> lines = LogMessages(log);
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Starting the agent service again after the failed update."))
        << ReadWholeFile(log);
    // Every program file the old one, byte for byte, and nothing of the attempt beside them.
    std::string files = ProgramFileStates(older, newer, folder, &lost);
    for (const std::string& file : PackageProgramFiles()) {
        if (ReadWholeFile(InstalledPath(folder, file)) != ReadWholeFile(older / file))
            lost.push_back(file + " not the old one");
    }
    for (const std::string& name : UpdateTraces(folder, {std::begin(kUpdateTraces), std::end(kUpdateTraces)}))
        lost.push_back("left " + name);
    std::string moment = "copy of AgentExt.dll: exit " + std::to_string(code) + ", old agent " +
                         (ReadServiceStatus(std::string("XA") + kInstance).dwCurrentState == SERVICE_RUNNING
                              ? "running"
                              : "stopped");
    EXPECT_EQ(std::vector<std::string>{}, lost) << ReadWholeFile(log);

    disk.Free();
    kept.erase(folder + "\\Package.xml");  // rewritten by the update
    long rerun = newer.Run(update);
    EXPECT_EQ(0, rerun);
    for (const std::string& item : NotWorking(newer, folder, kept))
        lost.push_back(item);
    for (const std::string& item : RemovalLeftovers(newer, folder))
        lost.push_back(item);
    PrintRow("disk full, update", moment, rerun, lost, files);
    EXPECT_EQ(std::vector<std::string>{}, lost);
}

}  // namespace
