#pragma once
// The one context record of a run: what this setup run is to do. Built once on the main thread
// (command line, package file, defaults, the machine), then read by every operation; only
// RebootRequired and LeftForFirstProcess change afterwards. Flags are 0 or 1. String fields are heap copies owned by
// the record (null when absent) and freed with it; destroying the record closes the setup log.

#include "support/SetupLog.h"

// How a procedure shows its progress: the procedure's line, the step's line with the bar, and the
// file at hand, each by the string-table id of its text. The base shows nothing: it is the sink
// of a run without a window. The run's window implements it.
struct InstallationStatus {
    // Upper line: the procedure.
    virtual void SetStatusText(int /*stringId*/) {}
    // Lower line (string id > 0) and the bar (percent >= 0); the other stays as it is.
    virtual void SetDetailText(int /*stringId*/, int /*percent*/) {}
    // Lower line: the format string ("Copying %s", "Deleting %s") with path.
    virtual void ShowFileText(int /*stringId*/, const char* /*path*/) {}
};

enum {
    kInstanceChars = 20,     // characters an instance id may have
    kPartitionIdChars = 26,  // characters a partition id may have
};

struct InstallationData {
    int IsSilent;             // /s: no user interface
    int IsRemove;             // /r: remove the agent instance
    int UpdateLegacyAgent;    // /u, corrected by the lookup: take over an older-generation agent
    int RunProgram;           // /e: start the agent service after a new installation
    int NoInteract;           // /x: ask nothing and close by itself at the end
    int ShowProgress;         // /b: show the progress window even when silent
    int bNoDriver;            // /n: leave the network drivers out
    char* Instance;           // the agent instance id (required)
    char* Company;            // maker name for the default folder and the title
    char* DestFolder;         // the agent folder, a full expanded path
    char* Comments;           // uninstall-entry comment
    char* Contact;            // uninstall-entry contact
    char* HelpLink;           // uninstall-entry help link
    char* Publisher;          // uninstall-entry publisher
    char* AboutLink;          // uninstall-entry about link
    char* PartitionId;        // stored with the agent's settings
    int IsModify;             // an agent of this instance is installed: update it
    char* Title;              // display title of the agent
    char* SrcFolder;          // where the agent's files are copied from (the program's folder)
    char* AgentWorkingFolder; // the agent's working folder, from its configuration file
    int IsWin9x;              // the system is Windows 9x
    int LegacyAgentExists;    // an older-generation agent is present
    int RebootRequired;       // a file replacement waits for the next restart
    int RunAsTemp;            // /t: this process is the temporary copy that performs a removal
    int bNoShortcut;          // /j or the installed instance: create no shortcuts
    int bNoAddRemove;         // /i or the installed instance: create no uninstall entry
    int bDontStartAgent;      // /k: never start the agent service at the end
    int LogEnabled;           // /l: the setup log is asked for (a run ends when it cannot be written)
    char* HandOver;           // /w: the first process of a removal's hand-over, which waits for this copy's
                              // result: "<its process handle>:<result pipe handle>:<its program's name>"
    char* FirstProcessProgram;  // that process's program in the agent folder; null without a hand-over
    int LeftForFirstProcess;  // set by the removal: what goes once the first process has ended
                              // (procedures/RemovalLeftovers.h)
    mutable int PartFailure;  // the first error of a part the run went on without (NotePartFailure)
    mutable int PartFailures; // how many such parts failed
    SetupLog Log;
    InstallationStatus* Status;  // never null: a sink that shows nothing until the run sets its window

    InstallationData();
    ~InstallationData();
    InstallationData(const InstallationData&) = delete;
    InstallationData& operator=(const InstallationData&) = delete;
};

// printf-style line into the setup log of data; does nothing while the log is off.
void LogMessage(const InstallationData* data, const char* format, ...) XA_PRINTF_FORMAT(2, 3);

// message, a blank and the system's text for code ("[Code: %d]" when it has none).
void LogError(const InstallationData* data, int code, const char* message);

// A part that the run goes on without could not be written or removed (a driver file or their
// owner, a Safe Mode key, the uninstall entry, the shortcut, the service of a removal): logs
// format with what and the system's text (unless format is null: the caller's own line tells)
// and keeps the first error. The run ends with it once it has otherwise completed, so that a
// deployment tool hears of the part; the next run takes care of it.
void NotePartFailure(const InstallationData* data, int code, const char* format, const char* what = nullptr);
extern const char kCouldNotWrite[];   // "Could not write %s."
extern const char kCouldNotRemove[];  // "Could not remove %s."
extern const char kCouldNotRead[];    // "Could not read %s."

// The result of removing the part what: anything but its absence is noted as a part failure.
// Returns code.
int NoteRemoval(const InstallationData* data, int code, const char* what);


// As LogError, with the message formatted printf-style first.
void LogErrorFormatted(const InstallationData* data, int code, const char* format, ...) XA_PRINTF_FORMAT(3, 4);

// New heap text describing a Windows error code (caller frees with FreeText); null only when
// memory is short. -1 is "Error is not specified."; codes without a system text give
// "[Code: %d]". The system's text comes as the system gives it, with its closing line break.
char* GetErrorText(int code);
