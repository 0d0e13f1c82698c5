#pragma once
// Every file and folder that belongs to an installed agent, in the order of copying and of
// removal (folders after the files in them). Folders hold the target macros $TARGETDIR$ (the
// agent folder) or $AGENTTEMPDIR$ (the agent's working folder); a null name stands for the folder
// itself, and a name may hold the wildcards '?' and '*'. Flags are those of
// procedures/FileInstall.h. A row with a null folder ends the table.

#include <windows.h>

struct AgentFileRow {
    const char* Folder;
    const char* Name;
    DWORD Flags;
};

extern const AgentFileRow AgentFileTable[];

enum { kAgentFileRows = 79 };  // rows before the terminator

// The bar's position after row index (from 0) of a walk that starts at base: the walk moves it
// by 60 points over the table, so 0..56 from 0 and 20..76 from 20.
inline int AgentFileProgress(int base, int index)
{
    return base + (60 * index) / 83;
}

struct Installer;
struct RemovalLeftovers;

// Copies every installable row of the table from SrcFolder, moving the bar from
// progressBase, and notes in the installer's CopiedRows the files that were not there before.
// An update (IsModify) keeps every file it replaces or creates until it ends
// (procedures/PreviousFiles.h). Returns 0 or the result of the row that stopped the walk.
int CopyAgentFiles(Installer* installer, int progressBase);

// Removes every removable row of the table (the agent folder's row takes whatever else it holds,
// an update's kept files too), moving the bar from progressBase. With leftovers, what stays is
// counted, and what stays of the agent folder is left for the next restart
// (procedures/RemovalLeftovers.h).
void RemoveAgentFiles(Installer* installer, int progressBase, RemovalLeftovers* leftovers = nullptr);

// Notes in CopiedRows the row of the file name (in the agent folder) that this run created
// outside the copy.
void NoteFileCreated(Installer* installer, const char* name);

// The version of the agent's program (AgentCore.exe) in folder as "a.b.c.d", or "unknown" when
// it cannot be read; returned as one number (0 when unknown), for comparing.
ULONGLONG FormatAgentVersion(const char* folder, char (&text)[32]);
