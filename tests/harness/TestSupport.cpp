#include "harness/TestSupport.h"

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    // As the log shows it: without the line break the system ends its texts with.
    while (!message.empty() && std::strchr("\r\n ", message.back()))
        message.pop_back();
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
