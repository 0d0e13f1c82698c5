#pragma once
// Helpers for the tests of what agents leave behind (add-ons, the remote-control viewer): an
// Installer whose log is read back, and raw registry values under HKEY_LOCAL_MACHINE.

#include <windows.h>

#include <string>
#include <vector>

#include "control/ProcessTestSupport.h"
#include "control/ServiceTestSupport.h"
#include "procedures/Installer.h"

namespace xatest {

// An Installer for the platform of the prefix, logging into a scratch folder.
class LoggingInstaller {
public:
    explicit LoggingInstaller(const std::string& name);
    ScratchFolder& Scratch() { return scratch_; }
    InstallationData& Data() { return data_; }
    Installer& Run() { return installer_; }
    void SetInstance(const char* instance);
    // The messages of the log, without time stamps.
    std::vector<std::string> Messages() const;

private:
    ScratchFolder scratch_;
    std::string log_;
    InstallationData data_;
    Installer installer_;
};

// Writes a value of any type (size -1: a text with its terminator) and creates the keys on the
// way; false when that fails.
bool SetMachineValue(const std::string& key, const char* name, DWORD type, const void* data, int size = -1);
bool SetMachineText(const std::string& key, const char* name, const std::string& text, DWORD type = REG_SZ);
bool CreateMachineKey(const std::string& key);
// Deletes a key with everything below it (missing keys are fine).
void DeleteMachineTree(const std::string& key);
bool MachineValueExists(const std::string& key, const char* name);
// A REG_MULTI_SZ value with its strings joined by "|" ("" when missing).
std::string ReadMachineMultiString(const std::string& key, const char* name);

// The lines a stand-in wrote into its record file, waiting up to timeoutMs for count of them.
std::vector<std::string> WaitForRecordLines(const std::string& file, size_t count, DWORD timeoutMs = 10000);

}  // namespace xatest
