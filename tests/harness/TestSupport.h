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

// Runs a command line and waits up to timeoutMs; returns the exit code, or -2 when it could not
// start or did not end in time (then it is terminated). output, when given, receives what the
// program wrote to its standard output and error.
long RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000, std::string* output = nullptr);

// The running system's text for an error code as FormatMessageA gives it, without its closing
// line break.
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
