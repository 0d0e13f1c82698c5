// Times the update of a running agent and its removal with two builds of XASetup.exe, in turn:
//   update_removal_bench.exe [--runs N] [--baseline PATH] [--core-mib N] [--keep-stopped]
// Each run installs the agent (the service stand-in as AgentCore.exe, serving its pipe, started
// with /e) and starts its user task (the tray stand-in), then times the update (/k with
// --keep-stopped), starts the task again and times the removal. Which build goes first changes
// from run to run. The update's copy and the agent's restart are read from its log, so that the
// time beyond the copy can be told. Prints each run and the medians with their ratios.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "procedures/AgentFileTable.h"
#include "procedures/FileInstall.h"

namespace {

const char kInstance[] = "BENCH";
const char kRoot[] = "C:\\xabench";

struct Options {
    unsigned Runs = 11;
    unsigned CoreMib = 0;
    bool KeepStopped = false;
    std::string Baseline = "C:\\xatest\\XASetupBaseline.exe";
};

// One build's times of one run, in seconds.
struct Times {
    double Update = 0, Copy = 0, Restart = 0, Removal = 0;
    double BeyondCopy() const { return Update - Copy; }
};

struct Side {
    const char* Name;
    std::string Program;
    std::string Package;
    std::vector<Times> Runs;
};

void Fail(const std::string& what)
{
    fprintf(stderr, "update_removal_bench: %s\n", what.c_str());
    exit(1);
}

std::string Here()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\'));
}

std::string AgentFolder()
{
    char folder[MAX_PATH] = "";
    ExpandEnvironmentStringsA("%ProgramFiles%\\Arvane\\", folder, sizeof(folder));
    return std::string(folder) + kInstance;
}

void WriteText(const std::string& path, const std::string& text)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr))
        Fail("cannot write " + path);
    CloseHandle(file);
}

// Appends mib MiB to a program: its loader ignores what follows the image.
void Pad(const std::string& path, unsigned mib)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Fail("cannot open " + path);
    std::vector<unsigned> block(1 << 18);
    for (unsigned m = 0; m < mib; ++m) {
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = (m * 2654435761u) ^ (unsigned)i;
        DWORD written = 0;
        if (!WriteFile(file, block.data(), (DWORD)(block.size() * sizeof(unsigned)), &written, nullptr))
            Fail("cannot pad " + path);
    }
    CloseHandle(file);
}

// The package of one build: its XASetup.exe beside the agent's program files.
std::string MakePackage(const char* name, const std::string& program, const Options& options)
{
    std::string package = std::string(kRoot) + "\\" + name;
    CreateDirectoryA(package.c_str(), nullptr);
    std::string here = Here();
    for (const AgentFileRow* row = AgentFileTable; row->Folder; ++row) {
        if (!(row->Flags & FileForceCopy))
            continue;
        std::string target = package + "\\" + row->Name;
        const char* from = !strcmp(row->Name, "XASetup.exe")     ? program.c_str()
                           : !strcmp(row->Name, "AgentCore.exe") ? "agentstandin.exe"
                           : !strcmp(row->Name, "UserTray.exe")  ? "usertraystandin.exe"
                                                                 : nullptr;
        if (!from) {
            WriteText(target, std::string("sample agent file ") + row->Name);
            continue;
        }
        std::string source = strchr(from, '\\') ? std::string(from) : here + "\\" + from;
        if (!CopyFileA(source.c_str(), target.c_str(), FALSE))
            Fail("cannot copy " + source);
    }
    if (options.CoreMib)
        Pad(package + "\\AgentCore.exe", options.CoreMib);
    return package;
}

double Now()
{
    static LARGE_INTEGER frequency = {};
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return (double)counter.QuadPart / (double)frequency.QuadPart;
}

// Runs the setup program with options and a log; its seconds. Fails on an exit code but 0.
double RunSetup(const std::string& program, const std::string& options, const std::string& log)
{
    DeleteFileA(log.c_str());
    std::string command = "\"" + program + "\" " + options + " /l \"" + log + "\"";
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    double started = Now();
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        Fail("cannot start " + command);
    WaitForSingleObject(process.hProcess, INFINITE);
    double took = Now() - started;
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0)
        Fail(command + " ended with " + std::to_string(code));
    return took;
}

// Seconds from the log line that starts with from to the next that starts with to; 0 when
// either is missing.
double LogSpan(const std::string& log, const char* from, const char* to)
{
    FILE* file = fopen(log.c_str(), "rb");
    if (!file)
        return 0;
    char line[4096];
    double begin = -1;
    double span = 0;
    while (fgets(line, sizeof(line), file)) {
        int year, month, day, hour, minute, second, ms, used = 0;
        if (sscanf(line, "%d/%d/%d %d:%d:%d.%d [%*x]: %n", &year, &month, &day, &hour, &minute, &second, &ms,
                   &used) < 7 ||
            !used)
            continue;
        double at = ((hour * 60 + minute) * 60 + second) + ms / 1000.0;
        const char* text = line + used;
        if (begin < 0 && !strncmp(text, from, strlen(from))) {
            begin = at;
        } else if (begin >= 0 && !strncmp(text, to, strlen(to))) {
            span = at >= begin ? at - begin : at + 86400 - begin;
            break;
        }
    }
    fclose(file);
    return span;
}

DWORD ServiceState(const char* name)
{
    DWORD state = 0;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    if (service && QueryServiceStatus(service, &status))
        state = status.dwCurrentState;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return state;
}

// Waits until the agent runs and serves its pipe, as a running agent does.
void WaitForRunningAgent()
{
    std::string service = std::string("XA") + kInstance;
    std::string pipe = std::string("\\\\.\\pipe\\arvaneAgent") + kInstance;
    for (int tries = 0; tries < 400; ++tries) {
        if (ServiceState(service.c_str()) == SERVICE_RUNNING && WaitNamedPipeA(pipe.c_str(), 50))
            return;
        Sleep(25);
    }
    Fail("the agent does not run");
}

// Starts the installed user task, once its exit event exists; the caller closes the handle.
HANDLE StartUserTask(unsigned round)
{
    std::string ready = "UpdateRemovalBenchReady" + std::to_string(round);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
    std::string command = "\"" + AgentFolder() + "\\UserTray.exe\" --id " + kInstance + " --ready " + ready;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!event || !CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &process))
        Fail("cannot start the user task");
    HANDLE waits[] = {event, process.hProcess};
    if (WaitForMultipleObjects(2, waits, FALSE, 10000) != WAIT_OBJECT_0)
        Fail("the user task did not get ready");
    CloseHandle(event);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// One run of one build: install, then the timed update and removal of the running agent.
Times RunOnce(const Side& side, unsigned round, const Options& options)
{
    std::string logs = std::string(kRoot) + "\\" + side.Name + "-" + std::to_string(round);
    std::string folder = AgentFolder();
    CreateDirectoryA(folder.substr(0, folder.rfind('\\')).c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    // The stand-in serves the agent's pipe and ends on its shutdown request, as the agent does.
    WriteText(folder + "\\AgentCore.ini",
              std::string("[Agent]\r\nPipe=\\\\.\\pipe\\arvaneAgent") + kInstance + "\r\n");
    std::string setup = side.Package + "\\XASetup.exe";
    std::string id = std::string("/g ") + kInstance + " /s";
    RunSetup(setup, id + " /e", logs + "-install.log");

    Times times;
    WaitForRunningAgent();
    HANDLE task = StartUserTask(round * 2);
    std::string updateLog = logs + "-update.log";
    times.Update = RunSetup(setup, id + (options.KeepStopped ? " /k" : ""), updateLog);
    times.Copy = LogSpan(updateLog, "Copying files...", "Updating package infomation file...");
    times.Restart = LogSpan(updateLog, "Start agent service.", "Agent service started.");
    CloseHandle(task);

    // The update left it stopped with /k, and may not have started it: the removal finds it running.
    if (ServiceState((std::string("XA") + kInstance).c_str()) != SERVICE_RUNNING) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = manager ? OpenServiceA(manager, (std::string("XA") + kInstance).c_str(), SERVICE_START)
                                    : nullptr;
        if (!service || !StartServiceA(service, 0, nullptr))
            Fail("cannot start the agent again");
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    WaitForRunningAgent();
    task = StartUserTask(round * 2 + 1);
    times.Removal = RunSetup(setup, id + " /r", logs + "-removal.log");
    CloseHandle(task);
    return times;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename Field>
double MedianOf(const Side& side, Field field)
{
    std::vector<double> values;
    for (const Times& times : side.Runs)
        values.push_back(field(times));
    return Median(values);
}

template <typename Field>
void PrintRow(const char* what, const Side& current, const Side& baseline, Field field)
{
    double a = MedianOf(current, field), b = MedianOf(baseline, field);
    printf("%-28s %10.3f s %12.3f s %10.3f\n", what, a, b, b > 0 ? a / b : 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--keep-stopped")
            options.KeepStopped = true;
        else if (option == "--runs" && i + 1 < argc)
            options.Runs = (unsigned)atoi(argv[++i]);
        else if (option == "--core-mib" && i + 1 < argc)
            options.CoreMib = (unsigned)atoi(argv[++i]);
        else if (option == "--baseline" && i + 1 < argc)
            options.Baseline = argv[++i];
        else
            Fail("unknown option " + option);
    }
    if (GetFileAttributesA(options.Baseline.c_str()) == INVALID_FILE_ATTRIBUTES)
        Fail("no baseline program " + options.Baseline);
    CreateDirectoryA(kRoot, nullptr);
    Side sides[2] = {{"new", Here() + "\\XASetup.exe", "", {}}, {"baseline", options.Baseline, "", {}}};
    for (Side& side : sides)
        side.Package = MakePackage(side.Name, side.Program, options);
    printf("update%s and removal of a running agent (service and user task stand-ins, AgentCore.exe +%u MiB), "
           "%u runs\n",
           options.KeepStopped ? " with /k" : "", options.CoreMib, options.Runs);

    for (unsigned round = 0; round < options.Runs; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            Side& side = sides[(turn + round) % 2];
            Times times = RunOnce(side, round, options);
            side.Runs.push_back(times);
            printf("run %2u %-8s update %7.3f s (copy %.3f s, restart %.3f s, beyond the copy %7.3f s), "
                   "removal %7.3f s\n",
                   round + 1, side.Name, times.Update, times.Copy, times.Restart, times.BeyondCopy(), times.Removal);
            fflush(stdout);
        }
    }

    printf("\nmedian of %u runs              new     baseline    new/baseline\n", options.Runs);
    PrintRow("update", sides[0], sides[1], [](const Times& t) { return t.Update; });
    PrintRow("  its copy", sides[0], sides[1], [](const Times& t) { return t.Copy; });
    PrintRow("  beyond the copy", sides[0], sides[1], [](const Times& t) { return t.BeyondCopy(); });
    PrintRow("  of which the restart", sides[0], sides[1], [](const Times& t) { return t.Restart; });
    PrintRow("removal", sides[0], sides[1], [](const Times& t) { return t.Removal; });
    return 0;
}
