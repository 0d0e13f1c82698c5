#pragma once
// The one context record of a run: what this setup run is to do. Built once on the main thread
// (command line, package file, defaults, the machine), then read by every operation; only
// RebootRequired changes afterwards. Flags are 0 or 1. String fields are heap copies owned by
// the record (null when absent) and freed with it; destroying the record closes the setup log.

#include "setup/SetupLog.h"

// The agent's service program and the service of the older-generation agent.
inline constexpr char kAgentExecutable[] = "AgentCore.exe";
// The key under HKEY_LOCAL_MACHINE that holds one sub-key per agent instance and the values
// that all instances share.
inline constexpr char kAgentKey[] = "SOFTWARE\\Arvane\\Agent";
inline constexpr char kLegacyServiceName[] = "ArvaneAgent";

// How a procedure shows its progress: the procedure's line, the step's line with the bar, and the
// file at hand, each by the string-table id of its text. The base shows nothing: it is the sink
// of a run without a window. The run's window implements it in setup/ProgressWindow.h.
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
    char* DestRegKey;         // the agent's key under HKEY_LOCAL_MACHINE
    char* SrcFolder;          // where the agent's files are copied from (the program's folder)
    char* AgentWorkingFolder; // the agent's working folder, from its configuration file
    int IsWin9x;              // the system is Windows 9x
    int LegacyAgentExists;    // an older-generation agent is present
    int RebootRequired;       // a file replacement waits for the next restart
    int RunAsTemp;            // /t: this process is the temporary copy that performs a removal
    int bNoShortcut;          // /j or the installed instance: create no shortcuts
    int bNoAddRemove;         // /i or the installed instance: create no uninstall entry
    int bDontStartAgent;      // /k: never start the agent service at the end
    int LogEnabled;           // /l: the setup log is written
    SetupLog Log;
    InstallationStatus* Status;  // never null: a sink that shows nothing until the run sets its window

    InstallationData();
    ~InstallationData();
    InstallationData(const InstallationData&) = delete;
    InstallationData& operator=(const InstallationData&) = delete;
};

// Builds the whole record from the command line text (after the program name): options, the
// package file, defaults, the platform, an installed or legacy agent, the title, and the dump
// to the log. 0 on success; on failure (logged) the error of a package file that cannot be read,
// or -1. With instanceLock, first takes the lock of the instance (setup/InstanceLock.h) into
// *instanceLock, before the first line is logged; ERROR_INSTALL_ALREADY_RUNNING (logged) when
// another run kept it. With failure, a run that cannot start leaves there why, as a new heap text
// (FreeText) or null.
int InitInstallationData(InstallationData* data, const char* commandLine, HANDLE* instanceLock = nullptr,
                         char** failure = nullptr);

// A new installation's title: "<Company> Agent", numbered when that is in use (" #N"); a title
// that comes out other than before is logged ("> Title = ...").
void NumberNewTitle(InstallationData* data);

// Splits the command line into words and applies the options; reads the package file named by
// /f, or with packageFile hands its path over there instead (a new heap text, null without /f).
// 0 on success, -1 when the command line cannot be copied or split. Logs nothing.
int ParseCommandLine(InstallationData* data, const char* commandLine, char** packageFile = nullptr);

// Logs each word that looks like an option ("/" or "-" first) but names none; older command
// lines keep working.
void LogUnknownOptions(const InstallationData* data, const char* commandLine);

// Whether the command line asks for the option table (/? or -?): 0 no, 1 yes, 2 yes and silent
// (/s). Nothing is opened or logged.
int FindOptionTableRequest(const char* commandLine);

// The option table: a heading, then one line per option ("/g<tab>id<tab>meaning") from
// the parser's own table; a new heap text (caller frees) or null.
char* FormatOptionTable();

// Fills what the command line left empty from the package information file. 0 when it loaded
// (a file whose root is not a Package element fills nothing), else the error of loading it.
int ReadPackageFile(InstallationData* data, const char* path);

// Looks up an installed agent of this instance and a legacy agent to take over (IsModify tells
// whether one was found), reads the agent's working folder and numbers the title of a new
// installation. 0, or -1 on failure.
int ReadExistingInstallation(InstallationData* data);

// True when the older-generation agent ("ArvaneAgent") is present.
bool DetectLegacyAgent(const InstallationData* data);

// The folder of the legacy agent's program as a new heap text in folder (caller frees); true,
// or false when there is none.
bool GetLegacyAgentFolder(const InstallationData* data, char** folder);

// An instance id names the agent's own folder, key and service: it must be a plain, non-empty
// file name of at most kInstanceChars characters (no path parts, wildcards, quotes or control
// characters, and no trailing dot or blank, which Windows drops from folder names).
bool IsValidInstanceId(const char* id);
