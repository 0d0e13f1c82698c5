#include "harness/TestSupport.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

namespace xatest {

std::string WineKind()
{
    const char* kind = std::getenv("XA_WINE_KIND");
    return kind && *kind ? kind : "win32-win7";
}

bool IsWin9xKind()
{
    return WineKind().find("win98") != std::string::npos;
}

bool IsNt4Kind()
{
    return WineKind().find("nt40") != std::string::npos;
}

std::string FixturePath(const std::string& name)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder(path, length);
    return folder.substr(0, folder.rfind('\\') + 1) + name;
}

ScratchFolder::ScratchFolder(const std::string& name)
{
    char base[MAX_PATH];
    GetTempPathA(sizeof(base), base);
    CreateDirectoryA((std::string(base) + "xatest").c_str(), nullptr);
    path_ = std::string(base) + "xatest\\" + name + "." + std::to_string(GetCurrentProcessId()) + "." +
            std::to_string(GetTickCount());
    RemoveTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    RemoveTree(path_);
}

bool RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool FileExistsAt(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::string& path)
{
    std::string content;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        content.append(buffer, got);
    CloseHandle(file);
    return content;
}

bool WriteWholeFile(const std::string& path, const std::string& content)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool ok = WriteFile(file, content.data(), (DWORD)content.size(), &done, nullptr) && done == content.size();
    CloseHandle(file);
    return ok;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

bool CopyFixture(const std::string& fixture, const std::string& destination)
{
    return CopyFileA(FixturePath(fixture).c_str(), destination.c_str(), FALSE) != 0;
}

bool AppendToFile(const std::string& path, const std::string& text)
{
    return WriteWholeFile(path, ReadWholeFile(path) + text);
}

bool SetWriteTime(const std::string& path, const FILETIME& time)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    return ok != 0;
}

FILETIME TimeFromNow(int hours)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME time;
    SystemTimeToFileTime(&now, &time);
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    value.QuadPart -= value.QuadPart % 10000000ULL;
    value.QuadPart += (LONGLONG)hours * 3600LL * 10000000LL;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

std::vector<std::string> WaitForRecordLines(const std::string& file, size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(file));
    while (lines.size() < count && GetTickCount() - start < timeoutMs) {
        Sleep(50);
        lines = SplitLines(ReadWholeFile(file));
    }
    return lines;
}

std::vector<std::string> FolderEntries(const std::string& folder, const std::string& pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\" + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::string SystemFolder()
{
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, sizeof(folder));
    return std::string(folder, length);
}

std::string WindowsFolder()
{
    char folder[MAX_PATH];
    UINT length = GetWindowsDirectoryA(folder, sizeof(folder));
    return std::string(folder, length);
}

std::string ShortPath(const std::string& path)
{
    char shortPath[MAX_PATH];
    DWORD length = GetShortPathNameA(path.c_str(), shortPath, sizeof(shortPath));
    return length && length < sizeof(shortPath) ? std::string(shortPath, length) : std::string();
}

namespace {

// The Unix path of a Windows path ("" when Wine cannot name it).
std::string UnixPath(const std::string& path)
{
    typedef char*(CDECL * UnixNameFunction)(LPCWSTR);
    UnixNameFunction unixName =
        (UnixNameFunction)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    char* name = unixName ? unixName(std::wstring(path.begin(), path.end()).c_str()) : nullptr;
    std::string text = name ? name : "";
    if (name)
        HeapFree(GetProcessHeap(), 0, name);
    return text;
}

}  // namespace

bool DenyListing(const std::string& folder, bool deny)
{
    std::string unix = UnixPath(folder);
    if (unix.empty())
        return false;
    RunProcess("Z:\\bin\\chmod " + std::string(deny ? "000" : "755") + " \"" + unix + "\"", 20000);
    // Wine does not wait for a Unix program's end: the change shows a moment later.
    for (int wait = 0; wait < 100; ++wait) {
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE)
            FindClose(find);
        if ((find == INVALID_HANDLE_VALUE) == deny)
            return true;
        Sleep(50);
    }
    return false;
}

bool LinkFolder(const std::string& target, const std::string& link)
{
    std::string unixTarget = UnixPath(target);
    std::string unixLink = UnixPath(link);
    if (unixTarget.empty() || unixLink.empty())
        return false;
    RunProcess("Z:\\bin\\ln -s \"" + unixTarget + "\" \"" + unixLink + "\"", 20000);
    // Wine does not wait for a Unix program's end: the link appears a moment later.
    for (int wait = 0; wait < 100; ++wait) {
        DWORD attributes = GetFileAttributesA(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        Sleep(50);
    }
    return false;
}

std::string PlantLibrary(const std::string& name)
{
    std::string planted = FixturePath(name);
    CopyFileA(FixturePath("planted.dll").c_str(), planted.c_str(), FALSE);
    return planted;
}

std::vector<std::string> LogMessages(const std::string& logPath)
{
    // A message runs from its line head to the next line head, so that one holding a line
    // break (a system error text) stays whole.
    static const std::regex head(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]+\]: )");
    std::string content = ReadWholeFile(logPath);
    std::vector<std::pair<size_t, size_t>> spans;  // where each message's text begins and ends
    for (std::sregex_iterator it(content.begin(), content.end(), head), end; it != end; ++it) {
        size_t at = (size_t)it->position(0);
        if (at != 0 && content[at - 1] != '\n')
            continue;
        if (!spans.empty())
            spans.back().second = at;
        spans.push_back({at + (size_t)it->length(0), content.size()});
    }
    std::vector<std::string> messages;
    for (const auto& span : spans) {
        std::string message = content.substr(span.first, span.second - span.first);
        if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0)
            message.resize(message.size() - 2);
        messages.push_back(message);
    }
    return messages;
}

RegistryValue ReadMachineValue(const std::string& keyPath, const char* name)
{
    RegistryValue value;
    HKEY key;
    value.Result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (value.Result != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    value.Result = RegQueryValueExA(key, name, nullptr, &value.Type, nullptr, &size);
    if (value.Result == ERROR_SUCCESS) {
        std::vector<BYTE> data(size + 1);
        value.Result = RegQueryValueExA(key, name, nullptr, &value.Type, data.data(), &size);
        value.Data.assign(reinterpret_cast<char*>(data.data()), size);
    }
    RegCloseKey(key);
    if (value.Result != ERROR_SUCCESS)
        value = RegistryValue{value.Result, REG_NONE, ""};
    return value;
}

std::string ReadMachineString(const std::string& key, const char* name)
{
    RegistryValue value = ReadMachineValue(key, name);
    if (value.Result != ERROR_SUCCESS)
        return "<missing>";
    if (value.Type != REG_SZ)
        return "<type " + std::to_string(value.Type) + ">";
    // The stored size counts the terminator.
    if (value.Data.empty() || value.Data.back() != '\0')
        return "<unterminated>";
    return value.Data.substr(0, value.Data.size() - 1);
}

long long ReadMachineNumber(const std::string& key, const char* name)
{
    RegistryValue value = ReadMachineValue(key, name);
    if (value.Result != ERROR_SUCCESS || value.Type != REG_DWORD || value.Data.size() != sizeof(DWORD))
        return -1;
    DWORD number;
    std::memcpy(&number, value.Data.data(), sizeof(number));
    return number;
}

std::string ReadMachineMultiString(const std::string& key, const char* name)
{
    RegistryValue value = ReadMachineValue(key, name);
    std::string data = value.Type == REG_MULTI_SZ ? value.Data : "";
    while (!data.empty() && data.back() == '\0')
        data.pop_back();
    std::replace(data.begin(), data.end(), '\0', '|');
    return data;
}

bool MachineKeyExists(const std::string& key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

bool MachineValueExists(const std::string& key, const char* name)
{
    return ReadMachineValue(key, name).Result == ERROR_SUCCESS;
}

bool SetMachineValue(const std::string& key, const char* name, DWORD type, const std::string& bytes)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExA(handle, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 (DWORD)bytes.size());
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

bool SetMachineText(const std::string& key, const char* name, const std::string& text, DWORD type)
{
    return SetMachineValue(key, name, type, StringBytes(text));
}

bool SetMachineNumber(const std::string& key, const char* name, DWORD number)
{
    return SetMachineValue(key, name, REG_DWORD, NumberBytes(number));
}

bool CreateMachineKey(const std::string& key)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void DeleteMachineTree(const std::string& keyPath)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    std::vector<std::string> children;
    char name[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& child : children)
        DeleteMachineTree(keyPath + "\\" + child);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str());
}

void DeleteMachineValue(const std::string& keyPath, const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

std::string StringBytes(const std::string& text)
{
    return std::string(text.c_str(), text.size() + 1);
}

std::string NumberBytes(DWORD number)
{
    return std::string(reinterpret_cast<const char*>(&number), sizeof(number));
}

std::vector<std::string> PendingRenames()
{
    RegistryValue value =
        ReadMachineValue("System\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations");
    // Every entry ends with a NUL, the list with one more.
    std::vector<std::string> entries;
    const std::string& data = value.Data;
    size_t start = 0;
    for (size_t end; (end = data.find('\0', start)) != std::string::npos && end + 1 < data.size(); start = end + 1)
        entries.push_back(data.substr(start, end - start));
    return entries;
}

FileHolder::FileHolder(const std::string& path, const std::string& share)
{
    static int count = 0;
    std::string event = "xatest_holder_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++count);
    ready_ = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
    release_ = CreateEventA(nullptr, TRUE, FALSE, (event + "_release").c_str());
    std::string command = "\"" + FixturePath("fileholder.exe") + "\" \"" + path + "\" " + event + " --share " + share;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    HANDLE waits[] = {ready_, process_};
    holding_ = WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
}

void FileHolder::Release()
{
    if (process_) {
        SetEvent(release_);
        if (WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
        CloseHandle(process_);
        process_ = nullptr;
    }
    holding_ = false;
}

FileHolder::~FileHolder()
{
    Release();
    CloseHandle(release_);
    CloseHandle(ready_);
}

long RunProcess(const std::string& commandLine, DWORD timeoutMs, std::string* output)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    if (output) {
        CreatePipe(&readEnd, &writeEnd, &inherit, 0);
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr,
                                  nullptr, &startup, &process);
    if (writeEnd)
        CloseHandle(writeEnd);
    if (!started) {
        if (readEnd)
            CloseHandle(readEnd);
        return -2;
    }
    if (output) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            output->append(buffer, got);
        CloseHandle(readEnd);
    }
    long result = -2;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = (long)code;
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

std::string SystemMessage(DWORD code)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    // As the log shows it: with the line break the system ends its texts with.
    return message;
}

std::vector<std::string> AccessEntries(PSECURITY_DESCRIPTOR descriptor)
{
    std::vector<std::string> entries;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED))
        entries.push_back("protected");
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl) {
        entries.push_back("<no list>");
        return entries;
    }
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace))
            break;
        const ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
        std::string kind = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                           : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                       : std::to_string(header->AceType);
        // Allowing and denying entries share their layout.
        const ACCESS_ALLOWED_ACE* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        char* sid = nullptr;
        std::string sidText = ConvertSidToStringSidA((PSID)&entry->SidStart, &sid) ? sid : "?";
        if (sid)
            LocalFree(sid);
        char text[200];
        std::snprintf(text, sizeof(text), "%s %s %lx %x", kind.c_str(), sidText.c_str(), entry->Mask,
                      header->AceFlags);
        entries.push_back(text);
    }
    return entries;
}

std::vector<std::string> FileAccessEntries(const std::string& path)
{
    DWORD needed = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<char> buffer(needed ? needed : 1);
    if (!needed || !GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed))
        return {"<unreadable: " + std::to_string(GetLastError()) + ">"};
    return AccessEntries(buffer.data());
}

std::vector<std::string> ObjectAccessEntries(HANDLE object)
{
    DWORD needed = 0;
    GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<char> buffer(needed ? needed : 1);
    if (!needed || !GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed))
        return {"<unreadable: " + std::to_string(GetLastError()) + ">"};
    return AccessEntries(buffer.data());
}

std::string AllowEntry(const char* sid, DWORD mask, DWORD flags)
{
    char text[200];
    std::snprintf(text, sizeof(text), "allow %s %lx %lx", sid, mask, flags);
    return text;
}

}  // namespace xatest
