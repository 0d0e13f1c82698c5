#pragma once
// The object on which the procedures and the operations they share run.

#include "setup/InstallationData.h"

struct Installer {
    InstallationData* Data;

    explicit Installer(InstallationData* data) : Data(data) {}

    // Replaces "$TARGETDIR$", "$AGENTTEMPDIR$", "$TARGETREGKEY$" and "$SYSTEMDIR$" (exact case)
    // in text. Returns a new heap text that the caller frees with FreeText, or null for a null
    // text, a macro whose value is missing, an empty result or one longer than
    // kTargetMacroChars characters.
    char* ExpandTargetMacros(const char* text) const;

    // The agent service "XA" + Instance (on Windows 9x its RunServices value): creates it with
    // the agent's description, failure actions and Safe Mode keys. 0, or the error; 1073
    // (ERROR_SERVICE_EXISTS) when the service exists already, which is then left unchanged.
    int InstallAgentService();

    // As InstallAgentService, but an existing service only gets the image path of this
    // installation (when it differs other than in letter case); a missing one is created.
    int ConfigureAgentService();

    // Deletes the agent service (the legacy service "ArvaneAgent" when UpdateLegacyAgent is
    // set) and, but for the legacy one, its Safe Mode keys. 0 also when it did not exist; a
    // failure is logged and returned.
    int RemoveAgentService();

    // --- Agent settings, uninstall entry, package file and shortcut -------------------------
    // (procedures/AgentRegistry.cpp, UninstallEntry.cpp, PackageInfoFile.cpp, Shortcuts.cpp)

    // Writes the instance key under SOFTWARE\Arvane\Agent, the settings taken over from an
    // older-generation agent during its update, and (except on Windows 9x) the Run value that
    // starts the user task. Returns 0 or the registry error that stopped it.
    int WriteAgentRegistry();

    // Deletes the instance key, the common keys once no instance is left, and the Run value.
    // Returns 0, or -1 when the instance key could not be deleted; never stops early.
    int RemoveAgentRegistry();

    // Writes the instance's entry in the system's list of installed programs; isUpdate keeps a
    // display name that is already set. Best effort: always returns 0.
    int WriteUninstallEntry(int isUpdate);

    // Deletes the instance's uninstall entry; the result is the deletion's registry code.
    int RemoveUninstallEntry();

    // Writes Package.xml with the instance id into the agent folder; keepExisting leaves an
    // existing file alone. Returns 0 or the error of creating or writing the file.
    int WritePackageFile(int keepExisting);

    // Creates the Start-menu link to the agent in the company's program group; onlyIfMissing
    // leaves an existing link alone. Returns 0, 87 when Title, Company or DestFolder is missing,
    // or the low 16 bits of the failing HRESULT.
    int CreateAgentShortcut(int onlyIfMissing);

    // Deletes the agent's link and then the program group when it is empty. Returns 0, 87 when
    // Title or Company is missing, or the low 16 bits of the deletion's HRESULT.
    int RemoveAgentShortcut();
    // --- end of agent settings, uninstall entry, package file and shortcut ------------------
};

enum { kTargetMacroChars = 511 };
