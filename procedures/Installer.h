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

    // ---- Network drivers and the layered provider (network/Drivers.cpp) ----
    // Installs the drivers and the provider library when this run may own them, taking the
    // ownership first. Failures are logged and absorbed: always 0.
    int InstallDrivers();
    // In a removal run of the owning instance: gives up the ownership and removes the drivers
    // and the provider. Always 0.
    int RemoveDrivers();
    // Takes the provider out of the Winsock catalogue and deletes its library; the result of
    // the catalogue removal (the library stays when it is not 0).
    int RemoveNetworkLayer();
    // 1 on x64 Windows, else 0 (Itanium included).
    static int Is64BitWindows();
    // Reads DriverControl into buffer; 0 or a Windows error code (buffer untouched then).
    static int GetDriverControl(char* buffer, DWORD size);
    // Writes owner into DriverControl, or deletes the value for null; 0 or a Windows error code.
    static int SetDriverControl(const char* owner);
    // ---- end of network drivers ----
};

enum { kTargetMacroChars = 511 };
