// Copies a large agent payload with Installer::CopyAgentFiles and, in the same run, with two bare
// loops over the same files: CopyFileA alone, and CopyFileA followed by a flush of each copy (the
// floor of a copy that reaches the disk before it counts). Prints the times and the ratios of the
// table's copy to each floor:
//   copy_agent_files_bench.exe [--core-mib N] [--other-mib N] [--rounds N] [--folder PATH]
//                              [--log on|off]
// The three copies take turns in order from round to round so that none always meets a warm
// cache; the ratios reported are those of the median and of the fastest times.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "procedures/AgentFileTable.h"
#include "procedures/FileInstall.h"
#include "procedures/Installer.h"
#include "support/Text.h"

namespace {

bool WriteFileOfSize(const std::string& path, unsigned mib, unsigned seed)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<unsigned> block(1 << 18);  // 1 MiB
    bool ok = true;
    for (unsigned m = 0; m < mib && ok; ++m) {
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = (seed + m) * 2654435761u + (unsigned)i;
        DWORD written = 0;
        ok = WriteFile(file, block.data(), (DWORD)(block.size() * sizeof(unsigned)), &written, nullptr) &&
             written == block.size() * sizeof(unsigned);
    }
    CloseHandle(file);
    return ok;
}

void RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + "\\" + name);
            else
                DeleteFileA((path + "\\" + name).c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

// Where a row's file lands under the agent folder.
std::string Destination(const AgentFileRow& row, const std::string& agent)
{
    std::string folder = row.Folder;
    return agent + folder.substr(strlen("$TARGETDIR$")) + "\\" + row.Name;
}

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency)
{
    return (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Writes what the system holds of the file at path to the disk.
bool Flush(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

void PrintTimes(const char* what, double table, double loop, double flushed)
{
    printf("%s: CopyAgentFiles %.3f s, CopyFileA loop %.3f s (ratio %.3f), with flushes %.3f s (ratio %.3f)\n",
           what, table, loop, table / loop, flushed, table / flushed);
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned coreMib = 200, otherMib = 1, rounds = 5;
    bool logged = true;
    std::string root = "C:\\xabench";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--core-mib"))
            coreMib = (unsigned)atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--other-mib"))
            otherMib = (unsigned)atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--rounds"))
            rounds = (unsigned)atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--folder"))
            root = argv[i + 1];
        else if (!strcmp(argv[i], "--log"))
            logged = strcmp(argv[i + 1], "off") != 0;
    }
    std::string source = root + "\\Setup";
    std::string viaTable = root + "\\AgentTable";
    std::string viaLoop = root + "\\AgentLoop";
    std::string viaFlushed = root + "\\AgentFlushed";
    RemoveTree(root);
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA(source.c_str(), nullptr);

    std::vector<const AgentFileRow*> rows;
    unsigned totalMib = 0, seed = 1;
    for (const AgentFileRow* row = AgentFileTable; row->Folder; ++row) {
        if (!(row->Flags & FileInstall))
            continue;
        rows.push_back(row);
        unsigned mib = !strcmp(row->Name, "AgentCore.exe") ? coreMib : otherMib;
        if (!WriteFileOfSize(source + "\\" + row->Name, mib, seed++)) {
            fprintf(stderr, "cannot write the payload\n");
            return 1;
        }
        totalMib += mib;
    }
    printf("payload: %u files, %u MiB (AgentCore.exe %u MiB, others %u MiB each), %u rounds\n",
           (unsigned)rows.size(), totalMib, coreMib, otherMib, rounds);

    InstallationData data;
    data.SrcFolder = DuplicateText(source.c_str());
    data.DestFolder = DuplicateText(viaTable.c_str());
    // Logged by default, as setup runs are when deployed.
    data.LogEnabled = logged ? 1 : 0;
    data.Log.Open((root + "\\Setup.log").c_str());
    Installer installer(&data);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> tableTimes, loopTimes, flushedTimes;
    for (unsigned round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            // 0 the table, 1 the bare loop, 2 the loop with flushes; the first shifts each round.
            int copy = (turn + round) % 3;
            const std::string& folder = copy == 0 ? viaTable : copy == 1 ? viaLoop : viaFlushed;
            // Each copy starts alike: its previous copy just deleted, the file system settled.
            RemoveTree(folder);
            Sleep(500);
            if (copy == 0) {
                QueryPerformanceCounter(&start);
                int result = CopyAgentFiles(&installer, 0);
                QueryPerformanceCounter(&end);
                if (result != 0) {
                    fprintf(stderr, "CopyAgentFiles failed with %d\n", result);
                    return 1;
                }
                tableTimes.push_back(Seconds(start, end, frequency));
                continue;
            }
            // The bare loops get their folders for free.
            CreateDirectoryA(folder.c_str(), nullptr);
            CreateDirectoryA((folder + "\\drivers").c_str(), nullptr);
            QueryPerformanceCounter(&start);
            for (const AgentFileRow* row : rows) {
                std::string target = Destination(*row, folder);
                if (!CopyFileA((source + "\\" + row->Name).c_str(), target.c_str(), FALSE)) {
                    fprintf(stderr, "CopyFileA failed with %lu\n", GetLastError());
                    return 1;
                }
                if (copy == 2 && !Flush(target)) {
                    fprintf(stderr, "the flush failed with %lu\n", GetLastError());
                    return 1;
                }
            }
            QueryPerformanceCounter(&end);
            (copy == 1 ? loopTimes : flushedTimes).push_back(Seconds(start, end, frequency));
        }
        printf("round %u: CopyAgentFiles %.3f s, CopyFileA loop %.3f s, with flushes %.3f s\n", round + 1,
               tableTimes.back(), loopTimes.back(), flushedTimes.back());
    }
    PrintTimes("median", Median(tableTimes), Median(loopTimes), Median(flushedTimes));
    PrintTimes("fastest", *std::min_element(tableTimes.begin(), tableTimes.end()),
               *std::min_element(loopTimes.begin(), loopTimes.end()),
               *std::min_element(flushedTimes.begin(), flushedTimes.end()));
    RemoveTree(root);
    return 0;
}
