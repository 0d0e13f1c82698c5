#pragma once
// How the run's record is built on the main thread before any procedure runs: the command line,
// the package file, the defaults and what the machine already holds (an installed or legacy
// agent).

#include <windows.h>

#include "procedures/InstallationData.h"

// Builds the whole record from the command line text (after the program name): options, the
// package file, defaults, the platform, an installed or legacy agent, the title, and the dump
// to the log. 0 on success; on failure (logged) the error of a package file that cannot be read,
// or -1; ERROR_INSTALL_LOG_FAILURE (1622) before anything else when /l names a log that cannot be
// written. With instanceLock, first takes the lock of the instance (setup/InstanceLock.h) into
// *instanceLock, before the first line is logged; ERROR_INSTALL_ALREADY_RUNNING (logged) when
// another run kept it.
int InitInstallationData(InstallationData* data, const char* commandLine, HANDLE* instanceLock = nullptr);

// Splits the command line into words and applies the options (a value option followed by an
// option takes no value: LogOptionMistakes); reads the package file named by
// /f, or with packageFile hands its path over there instead (a new heap text, null without /f).
// 0 on success, -1 when the command line cannot be copied or split. Logs nothing.
int ParseCommandLine(InstallationData* data, const char* commandLine, char** packageFile = nullptr);

// Logs each word that looks like an option ("/" or "-" first) but names none, so that older
// command lines keep working; and the first value option whose next word is itself an option
// ("/" or "-" and a letter), which the run must refuse: true then.
bool LogOptionMistakes(const InstallationData* data, const char* commandLine);

// Whether the command line asks for the option table (/? or -?): 0 no, 1 yes, 2 yes and silent
// (/s). Nothing is opened or logged.
int FindOptionTableRequest(const char* commandLine);

// The option table: a heading, then one line per option ("/g<tab>id<tab>meaning") from
// the parser's own table; a new heap text (caller frees) or null.
char* FormatOptionTable();

// Fills what the command line left empty from the package information file. 0 when it loaded
// (a file whose root is not a Package element fills nothing), else the error of loading it.
int ReadPackageFile(InstallationData* data, const char* path);

// Sets DestFolder to folder as one spelling (support/Files.h NormalizePath), wherever it comes
// from (the command line, a registry value an earlier version wrote, the legacy agent's service),
// so that it is stored, compared and joined one way. A folder that cannot be resolved, or a device
// path (support/FolderTree.h), leaves it null. folder may be DestFolder's own text.
void SetDestinationFolder(InstallationData* data, const char* folder);

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
