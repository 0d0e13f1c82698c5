#pragma once
// Helpers for the Windows test programs (which, unlike the product, may use the whole standard
// library).

#include <windows.h>

#include <string>
#include <vector>

namespace xatest {

// The prefix kind the test runs in, e.g. "win32-win98" (XA_WINE_KIND), "win32-win7" by default.
std::string WineKind();

// The prefix runs in the Windows 98 or the NT 4 version mode.
bool IsWin9xKind();
bool IsNt4Kind();

// Full path of a file next to the running test program (the fixtures are built there).
std::string FixturePath(const std::string& name);

// A new, empty folder for one test under C:\xatest\scratch, removed with everything in it
// (read-only files included) when the object goes away.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// Deletes a folder tree; true when it is gone.
bool RemoveTree(const std::string& path);

bool FileExistsAt(const std::string& path);
std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& content);
std::vector<std::string> SplitLines(const std::string& text);  // on CR LF
bool AppendToFile(const std::string& path, const std::string& text);
// Copies a fixture built beside this program to destination.
bool CopyFixture(const std::string& fixture, const std::string& destination);
bool SetWriteTime(const std::string& path, const FILETIME& time);
// The time whole hours from now, in whole seconds, so that every file system keeps it exactly.
FILETIME TimeFromNow(int hours);
// The lines a stand-in wrote into its record file, waiting up to timeoutMs for count of them.
std::vector<std::string> WaitForRecordLines(const std::string& file, size_t count, DWORD timeoutMs = 10000);
// The names in folder that match pattern, sorted, without "." and "..".
std::vector<std::string> FolderEntries(const std::string& folder, const std::string& pattern = "*");
std::string SystemFolder();
std::string WindowsFolder();
// The path's short form, "" when the system gives none.
std::string ShortPath(const std::string& path);
// Makes link a symbolic link to the folder target. Wine 8 makes no linked folder through a
// Windows call (CreateSymbolicLinkA reports success and makes nothing; FSCTL_SET_REPARSE_POINT,
// the junction's way, fails with 50), but it shows a Unix symbolic link as one (a folder with a
// reparse point), and it runs Unix programs.
bool LinkFolder(const std::string& target, const std::string& link);

// Takes every permission of the folder from its Unix owner (the test's user), or gives them back:
// a folder that can be neither opened nor listed, which Wine cannot make through a Windows call.
bool DenyListing(const std::string& folder, bool deny = true);

// Copies tests/fixtures/Planted.cpp (planted.dll) beside this program under name; its path.
std::string PlantLibrary(const std::string& name);

// The messages of a setup log file without their time stamps; a message holding line breaks (a
// system error text) stays one entry.
std::vector<std::string> LogMessages(const std::string& logPath);

// The registry under HKEY_LOCAL_MACHINE as a test arranges and reads it back; writes create the
// keys on the way. A null value name is the key's default value.
struct RegistryValue {
    LONG Result = ERROR_FILE_NOT_FOUND;  // of the query; the other fields are empty unless 0
    DWORD Type = REG_NONE;
    std::string Data;  // raw bytes, terminators included
};
RegistryValue ReadMachineValue(const std::string& key, const char* name);
// A REG_SZ value's text, or "<missing>", "<type N>", "<unterminated>".
std::string ReadMachineString(const std::string& key, const char* name);
// A REG_DWORD value, or -1 when it is missing or of another type.
long long ReadMachineNumber(const std::string& key, const char* name);
// A REG_MULTI_SZ value with its strings joined by "|" ("" when missing).
std::string ReadMachineMultiString(const std::string& key, const char* name);
bool MachineKeyExists(const std::string& key);
bool MachineValueExists(const std::string& key, const char* name);
bool SetMachineValue(const std::string& key, const char* name, DWORD type, const std::string& bytes);
bool SetMachineText(const std::string& key, const char* name, const std::string& text, DWORD type = REG_SZ);
bool SetMachineNumber(const std::string& key, const char* name, DWORD number);
bool CreateMachineKey(const std::string& key);
// Deletes a key with everything below it, or one value (missing ones are fine).
void DeleteMachineTree(const std::string& key);
void DeleteMachineValue(const std::string& key, const char* name);
// The bytes the registry keeps for a REG_SZ text (its terminator included) and a REG_DWORD.
std::string StringBytes(const std::string& text);
std::string NumberBytes(DWORD number);
// The renames and deletions the system runs at the next restart, one entry per string (a
// deletion's target is empty).
std::vector<std::string> PendingRenames();

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

// Runs a command line and waits up to timeoutMs; returns the exit code, or -2 when it could not
// start or did not end in time (then it is terminated). output, when given, receives what the
// program wrote to its standard output and error.
long RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000, std::string* output = nullptr);

// The running system's text for an error code as FormatMessageA gives it, with its closing line
// break (as the log shows it).
std::string SystemMessage(DWORD code);

// An access list as the system keeps it: each entry as "<kind> <SID> <mask in hex> <flags in
// hex>", kind "allow" or "deny" (other kinds as their number), SIDs in their S-1-... form, in
// order; "protected" first when the list takes nothing from a parent. "<no list>" for a null
// list, "<unreadable: code>" when it cannot be read.
std::vector<std::string> AccessEntries(PSECURITY_DESCRIPTOR descriptor);
std::vector<std::string> FileAccessEntries(const std::string& path);
std::vector<std::string> ObjectAccessEntries(HANDLE object);  // opened with READ_CONTROL

// Entries as AccessEntries gives them, for the well-known accounts of the setup program.
std::string AllowEntry(const char* sid, DWORD mask, DWORD flags = 0);
inline constexpr char kSystemSid[] = "S-1-5-18";
inline constexpr char kAdministratorsSid[] = "S-1-5-32-544";
inline constexpr char kUsersSid[] = "S-1-5-32-545";

}  // namespace xatest
