#include "procedures/ProcedureTestSupport.h"

#include <algorithm>
#include <regex>

#include "harness/OpenedResources.h"

namespace xatest {

namespace {

// A text of the program's string table, as the window loads it.
std::string StringText(int stringId)
{
    char text[512] = "";
    LoadStringA(GetModuleHandleA(nullptr), stringId, text, sizeof(text));
    return text;
}

// The fixed part of a "Copying %s" style format, up to the placeholder.
std::string FormatPrefix(int stringId)
{
    std::string format = StringText(stringId);
    size_t at = format.find("%s");
    return at == std::string::npos ? format : format.substr(0, at);
}

bool IsBar(const std::string& event, int* position)
{
    if (event.compare(0, 5, "bar: ") != 0)
        return false;
    *position = std::stoi(event.substr(5));
    return true;
}

const std::regex kLineHead(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[0-9a-f]+\]: )");

}  // namespace

bool IsWin9xSystem()
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

LoggedData::LoggedData() : folder_("log"), path_(folder_ / "Setup.log")
{
    data_.LogEnabled = 1;
    data_.Log.Open(path_.c_str());
    data_.IsWin9x = IsWin9xSystem() ? 1 : 0;
}

std::vector<std::string> LoggedData::Messages() const
{
    return ReadLogMessages(path_);
}

std::vector<std::string> ReadLogMessages(const std::string& logPath)
{
    // A message runs from its line head to the next line head, so that one holding a line
    // break (a system error text) stays whole.
    std::string content = ReadWholeFile(logPath);
    std::vector<std::pair<size_t, size_t>> heads;  // where each message's text begins and ends
    for (std::sregex_iterator it(content.begin(), content.end(), kLineHead), end; it != end; ++it) {
        size_t at = (size_t)it->position(0);
        if (at != 0 && content[at - 1] != '\n')
            continue;
        if (!heads.empty())
            heads.back().second = at;
        heads.push_back({at + (size_t)it->length(0), content.size()});
    }
    std::vector<std::string> messages;
    for (const auto& head : heads) {
        std::string message = content.substr(head.first, head.second - head.first);
        if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0)
            message.resize(message.size() - 2);
        messages.push_back(message);
    }
    return messages;
}

std::vector<std::string> LoggedData::MessagesFrom(const std::string& prefix) const
{
    std::vector<std::string> messages = Messages();
    auto first = std::find_if(messages.begin(), messages.end(),
                              [&](const std::string& message) { return message.rfind(prefix, 0) == 0; });
    return std::vector<std::string>(first, messages.end());
}

bool LoggedData::HasMessage(const std::string& message) const
{
    std::vector<std::string> messages = Messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

void LoggedData::ClearLog()
{
    DeleteFileA(path_.c_str());
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

StatusRecorder::StatusRecorder()
    : copyingPrefix_(FormatPrefix(IDS_COPYING_FILE)), deletingPrefix_(FormatPrefix(IDS_DELETING_FILE))
{
}

// The window's rules: an id of 0 leaves the line, a negative percent the bar.
void StatusRecorder::SetStatusText(int stringId)
{
    NotCounted test;
    events_.push_back("status: " + StringText(stringId));
}

void StatusRecorder::SetDetailText(int stringId, int percent)
{
    NotCounted test;
    if (stringId > 0)
        events_.push_back("detail: " + StringText(stringId));
    if (percent >= 0)
        events_.push_back("bar: " + std::to_string(percent));
}

void StatusRecorder::ShowFileText(int stringId, const char* path)
{
    NotCounted test;
    std::string text = StringText(stringId);
    size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, path ? path : "");
    events_.push_back("detail: " + text);
}

bool StatusRecorder::IsFileText(const std::string& event) const
{
    const std::string head = "detail: ";
    if (event.compare(0, head.size(), head) != 0)
        return false;
    std::string text = event.substr(head.size());
    return (!copyingPrefix_.empty() && text.compare(0, copyingPrefix_.size(), copyingPrefix_) == 0) ||
           (!deletingPrefix_.empty() && text.compare(0, deletingPrefix_.size(), deletingPrefix_) == 0);
}

std::vector<std::string> StatusRecorder::Steps() const
{
    std::vector<std::string> steps;
    int first = -1;
    int last = -1;
    auto flush = [&]() {
        if (first < 0)
            return;
        steps.push_back("bar: " + std::to_string(first) + (first == last ? "" : ".." + std::to_string(last)));
        first = last = -1;
    };
    for (const std::string& event : events_) {
        int position = 0;
        if (IsFileText(event))
            continue;
        if (IsBar(event, &position)) {
            if (first < 0)
                first = position;
            last = position;
            continue;
        }
        flush();
        steps.push_back(event);
    }
    flush();
    return steps;
}

std::vector<std::vector<int>> StatusRecorder::BarRuns() const
{
    std::vector<std::vector<int>> runs;
    std::vector<int> run;
    for (const std::string& event : events_) {
        int position = 0;
        if (IsFileText(event))
            continue;
        if (IsBar(event, &position)) {
            run.push_back(position);
            continue;
        }
        if (run.size() > 1)
            runs.push_back(run);
        run.clear();
    }
    if (run.size() > 1)
        runs.push_back(run);
    return runs;
}

std::vector<int> StatusRecorder::Positions() const
{
    std::vector<int> positions;
    int position = 0;
    for (const std::string& event : events_) {
        if (IsBar(event, &position))
            positions.push_back(position);
    }
    return positions;
}

std::string StatusRecorder::LastDetail() const
{
    const std::string head = "detail: ";
    for (auto event = events_.rbegin(); event != events_.rend(); ++event) {
        if (event->compare(0, head.size(), head) == 0)
            return event->substr(head.size());
    }
    return "";
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
    // Whole seconds, so that every file system keeps the time exactly.
    value.QuadPart -= value.QuadPart % 10000000ULL;
    value.QuadPart += (LONGLONG)hours * 3600LL * 10000000LL;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

DWORD Attributes(const std::string& path)
{
    return GetFileAttributesA(path.c_str());
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

bool LinkFolder(const std::string& target, const std::string& link)
{
    typedef char*(CDECL * UnixNameFunction)(LPCWSTR);
    UnixNameFunction unixName =
        (UnixNameFunction)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    if (!unixName)
        return false;
    char* unixTarget = unixName(std::wstring(target.begin(), target.end()).c_str());
    char* unixLink = unixName(std::wstring(link.begin(), link.end()).c_str());
    if (!unixTarget || !unixLink)
        return false;
    std::string command = std::string("Z:\\bin\\ln -s \"") + unixTarget + "\" \"" + unixLink + "\"";
    HeapFree(GetProcessHeap(), 0, unixTarget);
    HeapFree(GetProcessHeap(), 0, unixLink);
    RunProcess(command, 20000);
    // Wine does not wait for a Unix program's end: the link appears a moment later.
    for (int wait = 0; wait < 100; ++wait) {
        DWORD attributes = GetFileAttributesA(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        Sleep(50);
    }
    return false;
}

}  // namespace xatest
