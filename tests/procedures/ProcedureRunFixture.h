#pragma once
// The fixture of the procedure tests: each run's record is built from a command line as the
// program builds it, logs into a file of its own, takes the agent's files from a package folder,
// and runs on a clock whose fixed waits take 20 ms of real time each (so that the stand-ins
// really end meanwhile). Whatever a test installed is taken off the machine afterwards, so that
// the next test finds the prefix as it was. A run may be counted: every handle, key, heap block
// and library it opens must be closed again by the time its record is gone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "harness/OpenedResources.h"
#include "harness/VirtualClock.h"
#include "network/WinsockCatalog.h"
#include "procedures/InstallationTestSupport.h"
#include "procedures/Installer.h"
#include "procedures/LeftoversTestSupport.h"

namespace xatest {

// The lines of one file copied by force, and of one settings file the package does not have.
inline void AddCopied(std::vector<std::string>& lines, const std::string& from, const std::string& to)
{
    lines.push_back("InstallFile: Source=\"" + from + "\" Destination=\"" + to + "\"");
    lines.push_back("InstallFile: > Force copying...");
    lines.push_back("InstallFile: > File is copied.");
}

inline void AddMissing(std::vector<std::string>& lines, const std::string& name)
{
    lines.push_back("InstallFile: Source=\"<pkg>\\" + name + "\" Destination=\"<dest>\\" + name + "\"");
    lines.push_back("InstallFile: > Source file is missing!");
}

// The copy lines of every program file of the package into the agent folder ("<pkg>" and
// "<dest>"), then the lines of the settings files the package does not have.
inline void AddPackageCopy(std::vector<std::string>& lines)
{
    for (const std::string& file : PackageProgramFiles()) {
        bool driver = file == "ArvaneD.VXD" || file == "XAPFA.sys" || file == "XAPFA64.sys" || file == "ArvaneSP.dll";
        AddCopied(lines, "<pkg>\\" + file, (driver ? "<dest>\\drivers\\" : "<dest>\\") + file);
    }
    for (const char* name : {"ArvaneD.ini", "ArvaneFW.ini", "AgtFirewall.log", "AgtAgent.log", "AgtError.log",
                             "AgtStats.log"})
        AddMissing(lines, name);
}

// The lines of the driver installation by the owner.
inline void AddDriverCopy(std::vector<std::string>& lines)
{
    lines.push_back("Installing drivers...");
    AddCopied(lines, "<dest>\\Drivers\\" + DriverSourceName(), InstalledDriverPath());
    AddCopied(lines, "<dest>\\Drivers\\ArvaneSP.dll", SystemFolder() + "\\ArvaneSP.dll");
}

class ProcedureRunTest : public testing::Test {
protected:
    ProcedureRunTest() : logs_("runlogs"), clock_(0xFFFF0000u, 20)
    {
        // The Winsock catalogue is bound once a process and its library kept for good: bound
        // here, it is no part of a counted run.
        (void)GetWinsockCatalog();
    }

    ~ProcedureRunTest() override
    {
        for (const AgentFootprint& footprint : forget_)
            ForgetInstance(footprint);
        // The record closes the last log before its folder goes.
        data_.reset();
    }

    // A counted run that no test checked is checked at the end.
    void TearDown() override
    {
        if (opened_)
            ExpectNothingLeftOpen();
    }

    // A new empty record for the procedures; the old one closes its log.
    void FreshRecord()
    {
        data_.reset();
        data_.reset(NewRecord(&status_));
        installer_.Data = data_.get();
    }

    static InstallationData* NewRecord(InstallationStatus* status)
    {
        InstallationData* data = new InstallationData;
        data->Status = status;
        return data;
    }

    // Runs one procedure (a callable that returns its result) and counts what it opens. An
    // earlier counted run is checked first, against the record as it is then (normally the
    // next run's Prepare has replaced the one it used).
    template <typename Procedure>
    int Counted(Procedure procedure)
    {
        if (opened_) {
            // A record that lives on into this run (a roll-back's) keeps the texts that the
            // earlier run gave it, its title for one.
            const InstallationData& data = Data();
            for (const char* text : {data.Instance, data.Company, data.DestFolder, data.Comments, data.Contact,
                                     data.HelpLink, data.Publisher, data.AboutLink, data.PartitionId, data.Title,
                                     data.SrcFolder, data.AgentWorkingFolder})
                opened_->Kept(text);
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
    void ExpectNothingLeftOpen()
    {
        FreshRecord();
        CheckNothingLeftOpen();
    }

    // A new run: the record from the command line (/l added), the files from source. The status
    // that the procedures report is recorded from here on.
    int Prepare(const std::string& commandLine, const std::string& source)
    {
        log_ = logs_ / ("run" + std::to_string(++runs_) + ".log");
        FreshRecord();
        status_.Clear();
        return PrepareRunData(*data_, commandLine, log_, source);
    }

    InstallationData& Data() { return *data_; }
    // What the procedures reported since the last Prepare.
    const StatusRecorder& ReportedStatus() const { return status_; }
    Installer& Run() { return installer_; }

    // Remembers the instance of the current record for the clean-up; returns its footprint.
    AgentFootprint Remember()
    {
        AgentFootprint footprint = FootprintOf(Data());
        forget_.push_back(footprint);
        return footprint;
    }

    // A new installation of instance from package with more options; the footprint.
    AgentFootprint Install(const std::string& instance, const AgentPackage& package, const std::string& options = "")
    {
        EXPECT_EQ(0, Prepare("/g " + instance + " /s " + options, package.Folder()));
        AgentFootprint footprint = Remember();
        EXPECT_EQ(0, Counted([&] { return Run().InstallNewAgent(); }));
        return footprint;
    }

    std::vector<std::string> Messages() const { return ReadLogMessages(log_); }

    // The messages from the first that equals first.
    std::vector<std::string> MessagesFrom(const std::string& first) const
    {
        std::vector<std::string> messages = Messages();
        auto at = std::find(messages.begin(), messages.end(), first);
        return std::vector<std::string>(at, messages.end());
    }

    bool Logged(const std::string& message) const
    {
        std::vector<std::string> messages = Messages();
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }

    // The position of message in the log, -1 when missing.
    int IndexOf(const std::string& message) const
    {
        std::vector<std::string> messages = Messages();
        auto at = std::find(messages.begin(), messages.end(), message);
        return at == messages.end() ? -1 : (int)(at - messages.begin());
    }

    // The messages from first with each path of names replaced by its short name ("<pkg>").
    std::vector<std::string> StepsFrom(const std::string& first,
                                       const std::vector<std::pair<std::string, std::string>>& names) const
    {
        std::vector<std::string> messages = MessagesFrom(first);
        for (std::string& message : messages) {
            for (const auto& name : names) {
                for (size_t at = message.find(name.first); at != std::string::npos;
                     at = message.find(name.first, at + name.second.size()))
                    message.replace(at, name.first.size(), name.second);
            }
        }
        return messages;
    }

    // One message a line, for a failure report that can be read (and copied).
    static std::string Joined(const std::vector<std::string>& lines)
    {
        std::string text = "\n";
        for (const std::string& line : lines)
            text += "        \"" + line + "\",\n";
        return text;
    }

    void CheckNothingLeftOpen()
    {
        ASSERT_TRUE(opened_) << "no counted run";
        EXPECT_EQ(std::vector<std::string>{}, opened_->LeftOpen()) << opened_->Summary();
        std::printf("[  opened  ] %s\n", opened_->Summary().c_str());
        opened_.reset();
    }

    ScratchFolder logs_;
    std::unique_ptr<OpenedResources> opened_;
    std::string log_;
    int runs_ = 0;
    VirtualClock clock_;
    // The status of every record, and the record of the current run (the procedures' own, not
    // the program's).
    StatusRecorder status_;
    std::unique_ptr<InstallationData> data_{NewRecord(&status_)};
    Installer installer_{data_.get()};
    std::vector<AgentFootprint> forget_;
};

}  // namespace xatest
