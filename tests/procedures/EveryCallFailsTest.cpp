// Every call that can fail fails once. Each procedure (a new installation, an update of a running
// agent with its user task, a removal, a legacy conversion) is first run to count its calls of
// the functions that FailingCalls fails; then, from the same starting state each time, it runs
// with the k-th of them failing. After each run:
//   - an exit code of 0 means the procedure completed, and the machine is as after one;
//   - otherwise a failed update left every program file the old one whole and the previous agent
//     running, a failed new installation left nothing but what its log names, a failed removal
//     touched nothing but the agent's own and its log names what remains;
//   - then the same run without the fault ends with 0 (or 3010) and completes.
// Every procedure prints one row "EVERY-CALL|procedure|calls|runs|outside|second failed|seconds"
// (scripts/faults --every-call makes the table), and each run outside those states a line
// "EVERY-CALL-RUN|...". XA_EVERY_CALL_STEP=n fails every n-th call only (1: every call); the
// suite's default takes a sample that keeps it short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "control/ServiceTestSupport.h"
#include "harness/FailingCalls.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RunProcedure.h"

using namespace xatest;

namespace {

// The suite's sample: about this many runs per procedure, spread over its calls.
const long kSuiteRuns = 12;

long Step(long calls)
{
    const char* step = std::getenv("XA_EVERY_CALL_STEP");
    if (step && *step)
        return std::max(1L, std::atol(step));
    return std::max(1L, calls / kSuiteRuns);
}

// What a campaign does: makes its starting state, names the run's command line and package,
// and tells what is not as it must be after a completed run and after a failed one.
struct Campaign {
    const char* Name;
    std::string Command;
    const AgentPackage* Package;
    std::function<void()> Arrange;
    std::function<std::vector<std::string>()> NotCompleted;
    std::function<std::vector<std::string>(const std::vector<std::string>& log)> NotFailedCleanly;
    std::function<void()> Clear;
    // The calls whose failure once ended outside those states, each "<function>:<occurrence>":
    // the suite fails them besides its sample.
    std::vector<std::string> Rows;
};

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// True when a line of the log names the item ("<what> <where>"): its path, key or name whole, or
// its last part in a line that says what could not be done ("Could not remove Arvane Agent.lnk.");
// the drivers' parts also by a line about their owner that could not be read or written or about
// the network layer that could not be uninstalled, the
// shortcut by the line that gives its creation's result, the instance's key and Run value by the
// line that says it stays registered.
bool Named(const std::vector<std::string>& log, const std::string& item)
{
    size_t at = std::string::npos;
    for (const char* root : {":\\", "SOFTWARE\\", "SYSTEM\\"})
        at = std::min(at, item.find(root) == std::string::npos ? at : item.find(root) - (root[0] == ':'));
    std::string where = at == std::string::npos ? item.substr(item.rfind(' ') + 1) : item.substr(at);
    std::string last = where.substr(where.rfind('\\') + 1);
    bool drivers = StartsWith(item, "DriverControl") || StartsWith(item, "driver ") || StartsWith(item, "provider ");
    bool registration = StartsWith(item, "key ") || StartsWith(item, "Run value ");
    for (const std::string& line : log) {
        bool couldNot = StartsWith(line, "Could not ");
        if (line.find(where) != std::string::npos || (couldNot && line.find(last) != std::string::npos) ||
            (drivers && ((couldNot && line.find("DriverControl") != std::string::npos) ||
                         line == "Failed to uninstall network layer driver.")) ||
            (StartsWith(item, "shortcut ") && StartsWith(line, "Shortcut creation returns 0x") &&
             line != "Shortcut creation returns 0x0") ||
            (registration && StartsWith(line, "Agent instance ") && line.find(" stays registered") != std::string::npos))
            return true;
    }
    return false;
}

std::vector<std::string> Unnamed(const std::vector<std::string>& log, const std::vector<std::string>& items)
{
    std::vector<std::string> unnamed;
    for (const std::string& item : items)
        if (!Named(log, item))
            unnamed.push_back(item + " left, not in the log");
    return unnamed;
}

class EveryCallFails : public ProcedureRunTest {
protected:
    // The agent (the service stand-in serving its pipe) and its user task, running.
    void StartAgentAndTask(const AgentFootprint& footprint)
    {
        ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\AgentCore.ini",
                                   "[Agent]\r\nPipe=\\\\.\\pipe\\arvaneAgent" + footprint.Instance +
                                       "\r\nLifetimeMs=-1\r\n"));
        ASSERT_TRUE(StartForReal("XA" + footprint.Instance));
        const std::string pipe = "\\\\.\\pipe\\arvaneAgent" + footprint.Instance;
        for (int tries = 0; tries < 200 && !WaitNamedPipeA(pipe.c_str(), 50); ++tries)
            Sleep(50);
        std::string ready = "EveryCallReady" + std::to_string(++tasks_);
        task_.reset(new StartedProcess(
            "\"" + footprint.DestFolder + "\\UserTray.exe\" --id " + footprint.Instance + " --ready " + ready, ready));
        ASSERT_TRUE(task_->Started());
    }

    // What is not as after a completed installation or update from package: every part in place,
    // the package's program files, the agent running.
    static std::vector<std::string> NotInstalledFrom(const AgentPackage& package, const AgentFootprint& footprint)
    {
        std::vector<std::string> wrong = MissingParts(footprint);
        std::vector<std::string> files = NotFilesOf(package, footprint);
        wrong.insert(wrong.end(), files.begin(), files.end());
        if (!AgentRuns(footprint))
            wrong.push_back("agent not running");
        return wrong;
    }

    // An installation that stays although the run failed (its agent did not start, or a part that
    // it went on without is missing): the rest in place, and the log names what is not.
    static std::vector<std::string> InstalledBut(const std::vector<std::string>& log, const AgentPackage& package,
                                                 const AgentFootprint& footprint)
    {
        std::vector<std::string> wrong = NotFilesOf(package, footprint);
        for (const std::string& item : MissingParts(footprint))
            if (!Named(log, item))
                wrong.push_back("missing " + item + ", not in the log");
        if (!AgentRuns(footprint) && !Logged(log, "Failed to start agent service."))
            wrong.push_back("agent not running, not in the log");
        return wrong;
    }

    static bool Logged(const std::vector<std::string>& log, const std::string& start)
    {
        for (const std::string& line : log)
            if (StartsWith(line, start))
                return true;
        return false;
    }

    static bool AgentRuns(const AgentFootprint& footprint)
    {
        return WaitForServiceState("XA" + footprint.Instance, SERVICE_RUNNING, 10000);
    }

    // The program files in the agent folder that are not package's whole.
    static std::vector<std::string> NotFilesOf(const AgentPackage& package, const AgentFootprint& footprint)
    {
        std::vector<std::string> wrong;
        for (const std::string& file : PackageProgramFiles()) {
            bool driver = file == "ArvaneD.VXD" || file == "XAPFA.sys" || file == "XAPFA64.sys" || file == "ArvaneSP.dll";
            std::string installed = footprint.DestFolder + (driver ? "\\drivers\\" : "\\") + file;
            if (ReadWholeFile(installed) != ReadWholeFile(package / file))
                wrong.push_back(file + (FileExistsAt(installed) ? " not the expected one" : " missing"));
        }
        return wrong;
    }

    void RunCampaign(const Campaign& campaign)
    {
        DWORD started = GetTickCount();
        campaign.Arrange();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(0, Prepare(campaign.Command, campaign.Package->Folder()));
        long calls = 0;
        int result = 0;
        // The calls to fail: the k-th of all, or (a row) the k-th of one function, which stays the
        // same call when a wait polls more or less often.
        std::vector<std::pair<long, std::string>> faults;
        {
            FailingCalls counting(0);
            result = RunProcedure(&Run());
            calls = counting.Calls();
            for (long k = 1; k <= calls; k += Step(calls))
                faults.push_back({k, ""});
            for (const std::string& row : campaign.Rows) {
                size_t colon = row.find(':');
                long k = std::atol(row.c_str() + colon + 1);
                EXPECT_NE(0, counting.NumberOf(row.substr(0, colon), (int)k)) << campaign.Name << ": no call " << row;
                if (!std::getenv("XA_EVERY_CALL_STEP"))
                    faults.push_back({k, row.substr(0, colon)});
            }
            if (std::getenv("XA_EVERY_CALL_LIST"))
                for (long k = 1; k <= calls; ++k)
                    std::printf("EVERY-CALL-LIST|%s|%ld|%s\n", campaign.Name, k, counting.NameOf(k).c_str());
        }
        ASSERT_EQ(0, result) << Joined(Messages());
        ASSERT_EQ(std::vector<std::string>{}, campaign.NotCompleted());
        campaign.Clear();

        long runs = 0, outside = 0, secondFailed = 0;
        for (const auto& fault : faults) {
            long k = fault.first;
            ++runs;
            campaign.Arrange();
            ASSERT_FALSE(HasFatalFailure());
            ASSERT_EQ(0, Prepare(campaign.Command, campaign.Package->Folder()));
            std::string failed;
            {
                FailingCalls failing(k, fault.second.empty() ? nullptr : fault.second.c_str());
                result = RunProcedure(&Run());
                failed = failing.Failed();
            }
            // The program ends so when the restart completes the run.
            if (result == 0 && Data().RebootRequired)
                result = ERROR_SUCCESS_REBOOT_REQUIRED;
            std::vector<std::string> log = Messages();
            std::vector<std::string> wrong = result == 0 ? campaign.NotCompleted()
                                             : result == ERROR_SUCCESS_REBOOT_REQUIRED
                                                 ? Unnamed(log, campaign.NotCompleted())
                                                 : campaign.NotFailedCleanly(log);
            outside += !wrong.empty();
            int second = 0;
            if (result != 0 && result != ERROR_SUCCESS_REBOOT_REQUIRED) {
                Prepare(campaign.Command, campaign.Package->Folder());
                second = RunProcedure(&Run());
                std::vector<std::string> after = campaign.NotCompleted();
                if (second == 0 && Data().RebootRequired)
                    after = Unnamed(Messages(), after);
                if ((second != 0 && second != ERROR_SUCCESS_REBOOT_REQUIRED) || !after.empty()) {
                    ++secondFailed;
                    wrong.push_back("second run " + std::to_string(second));
                    wrong.insert(wrong.end(), after.begin(), after.end());
                    std::vector<std::string> again = Messages();
                    log.push_back("-- the second run:");
                    log.insert(log.end(), again.begin(), again.end());
                }
            }
            if (!wrong.empty()) {
                std::printf("EVERY-CALL-RUN|%s|%ld%s%s|%s|%d|%s\n", campaign.Name, k, fault.second.empty() ? "" : " of ",
                            fault.second.c_str(), failed.c_str(), result,
                            Joined(wrong).c_str());
                ADD_FAILURE() << campaign.Name << ": call " << k << " (" << failed << ") ended " << result << "\n"
                              << Joined(wrong) << "\n"
                              << Joined(log);
            }
            campaign.Clear();
        }
        std::printf("EVERY-CALL|%s|%ld|%ld|%ld|%ld|%.0f\n", campaign.Name, calls, runs, outside, secondFailed,
                    (GetTickCount() - started) / 1000.0);
        std::fflush(stdout);
    }

    std::unique_ptr<StartedProcess> task_;
    int tasks_ = 0;
};

TEST_F(EveryCallFails, NewInstallation)
{
    AgentPackage package("every-call-new");
    ASSERT_TRUE(package.Complete());
    AgentFootprint footprint;
    Campaign campaign;
    campaign.Name = "new installation";
    campaign.Command = "/g V1 /s /e";
    campaign.Package = &package;
    campaign.Arrange = [&] {
        ASSERT_EQ(0, Prepare(campaign.Command, package.Folder()));
        footprint = Remember();
    };
    campaign.NotCompleted = [&] { return NotInstalledFrom(package, footprint); };
    campaign.NotFailedCleanly = [&](const std::vector<std::string>& log) {
        if (Logged(log, "Installation finished."))
            return InstalledBut(log, package, footprint);
        return Unnamed(log, Leftovers(footprint));
    };
    campaign.Clear = [&] { ForgetInstance(footprint); };
    // The drivers' owner read and written, a driver file's path, a Safe Mode key, the uninstall
    // entry: parts the run goes on without, which once ended it with 0 (or, the owner unread, let
    // it take the drivers as nobody's). The shortcut's row is NewInstallationTest's.
    campaign.Rows = {"RegOpenKeyExA:19", "RegSetValueExA:14", "malloc:82", "RegCreateKeyExA:3", "RegCreateKeyExA:5"};
    RunCampaign(campaign);
}

TEST_F(EveryCallFails, UpdateOfARunningAgent)
{
    AgentPackage older("every-call-older", {}, " older");
    AgentPackage newer("every-call-newer", {}, " newer");
    AgentFootprint footprint;
    Campaign campaign;
    campaign.Name = "update";
    campaign.Command = "/g V2 /s";
    campaign.Package = &newer;
    campaign.Arrange = [&] {
        footprint = Install("V2", older);
        StartAgentAndTask(footprint);
    };
    campaign.NotCompleted = [&] { return NotInstalledFrom(newer, footprint); };
    campaign.NotFailedCleanly = [&](const std::vector<std::string>& log) {
        std::vector<std::string> wrong = NotFilesOf(older, footprint);
        if (!wrong.empty() && NotFilesOf(newer, footprint).empty())
            return InstalledBut(log, newer, footprint);  // updated, with a part missing
        if (!AgentRuns(footprint))
            wrong.push_back("previous agent not running");
        return wrong;
    };
    campaign.Clear = [&] {
        task_.reset();
        ForgetInstance(footprint);
    };
    RunCampaign(campaign);
}

// What is not the removal's: a neighbour's folder beside the agent's and a neighbour instance's key.
class Neighbour {
public:
    explicit Neighbour(const std::string& agentFolder)
        : folder_(agentFolder.substr(0, agentFolder.rfind('\\')) + "\\Neighbour"), file_(folder_ + "\\keep.txt")
    {
    }
    void Place()
    {
        CreateDirectoryA(folder_.c_str(), nullptr);
        EXPECT_TRUE(WriteWholeFile(file_, "a neighbour's"));
        EXPECT_TRUE(SetMachineText(kKey, "Keep", "a neighbour's"));
    }
    std::vector<std::string> Touched() const
    {
        std::vector<std::string> touched;
        if (ReadWholeFile(file_) != "a neighbour's")
            touched.push_back("neighbour's file touched");
        if (ReadMachineString(kKey, "Keep") != "a neighbour's")
            touched.push_back("neighbour's key touched");
        return touched;
    }
    void Clear()
    {
        DeleteFileA(file_.c_str());
        RemoveDirectoryA(folder_.c_str());
        DeleteMachineTree(kKey);
    }

private:
    static constexpr const char* kKey = "SOFTWARE\\Arvane\\Agent\\Neighbour";
    std::string folder_;
    std::string file_;
};

TEST_F(EveryCallFails, RemovalOfARunningAgent)
{
    AgentPackage package("every-call-removed");
    AgentFootprint footprint;
    std::unique_ptr<Neighbour> neighbour;
    Campaign campaign;
    campaign.Name = "removal";
    campaign.Command = "/g V3 /r /s";
    campaign.Package = &package;
    campaign.Arrange = [&] {
        footprint = Install("V3", package);
        StartAgentAndTask(footprint);
        neighbour.reset(new Neighbour(footprint.DestFolder));
        neighbour->Place();
    };
    campaign.NotCompleted = [&] {
        std::vector<std::string> wrong = Leftovers(footprint);
        std::vector<std::string> touched = neighbour->Touched();
        wrong.insert(wrong.end(), touched.begin(), touched.end());
        return wrong;
    };
    campaign.NotFailedCleanly = [&](const std::vector<std::string>& log) {
        std::vector<std::string> wrong = neighbour->Touched();
        // A removal that ended before it took anything leaves the whole installation.
        if (!MissingParts(footprint).empty()) {
            std::vector<std::string> unnamed = Unnamed(log, Leftovers(footprint));
            wrong.insert(wrong.end(), unnamed.begin(), unnamed.end());
        }
        return wrong;
    };
    campaign.Clear = [&] {
        task_.reset();
        neighbour->Clear();
        ForgetInstance(footprint);
    };
    // The service and a Safe Mode key; the agent folder's hold (the rerun then finds the instance
    // gone and its folder empty); the drivers' owner deleted, a driver file's path, the owner
    // read; the instance key, the Run value, the shortcut, the uninstall entry: each once left
    // while the removal ended with 0.
    campaign.Rows = {"DeleteService:1",    "RegDeleteKeyA:1",   "CreateFileA:105",  "RegDeleteValueA:1",
                     "malloc:93",          "RegOpenKeyExA:51",  "RegDeleteKeyA:3",  "RegDeleteValueA:2",
                     "DeleteFileA:40",     "RegDeleteKeyA:4"};
    RunCampaign(campaign);
}

TEST_F(EveryCallFails, LegacyConversion)
{
    AgentPackage package("every-call-converted");
    LegacyAgent legacy(logs_ / "Legacy Agent");
    AgentFootprint footprint;
    std::string program;
    Campaign campaign;
    campaign.Name = "legacy conversion";
    campaign.Command = "/g V4 /u /s";
    campaign.Package = &package;
    campaign.Arrange = [&] {
        ASSERT_NO_FATAL_FAILURE(legacy.Start(logs_ / "legacy.txt"));
        program = ReadWholeFile(legacy.Folder() + "\\AgentCore.exe");
        ASSERT_EQ(0, Prepare(campaign.Command, package.Folder()));
        footprint = Remember();
    };
    campaign.NotCompleted = [&] {
        std::vector<std::string> wrong = NotInstalledFrom(package, footprint);
        std::vector<std::string> left = legacy.Leftovers();
        wrong.insert(wrong.end(), left.begin(), left.end());
        return wrong;
    };
    // A failed conversion puts the legacy agent's program back.
    campaign.NotFailedCleanly = [&](const std::vector<std::string>&) {
        std::vector<std::string> wrong;
        if (ReadWholeFile(legacy.Folder() + "\\AgentCore.exe") != program)
            wrong.push_back("the legacy agent's program not put back");
        return wrong;
    };
    campaign.Clear = [&] {
        ForgetInstance(footprint);
        legacy.Forget();
        RemoveTree(legacy.Folder());
    };
    RunCampaign(campaign);
}

}  // namespace
