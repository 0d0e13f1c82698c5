#pragma once
// The network drivers and the layered provider of an installation. Whose they are is the
// DriverControl value (network/DriverOwner.h).
//
// On 64-bit Windows the filter driver goes into the native System32\drivers folder, which a
// 32-bit program reaches only with file-system redirection turned off. The provider library is
// a 32-bit library: it lives in the system folder that 32-bit programs see (SysWOW64 on disk),
// the folder WinSock2LspDll names, and is installed and removed there with redirection on.

#include "procedures/InstallationData.h"

struct RemovalLeftovers;

// What a driver installation brought into being, for the roll-back of a failed new installation.
struct CreatedDrivers {
    bool Ownership;        // DriverControl set where no instance was named
    bool DriverFile;       // the driver in the system's drivers folder (Windows 9x: system folder)
    bool ProviderLibrary;  // the layered provider's library in the system folder
};

// Installs the drivers and the provider library when this run may own them, taking the
// ownership first. Failures are logged and absorbed. Under the lock of the values that
// instances share (procedures/SharedAgentValues.h), as is RemoveDrivers.
void InstallDrivers(InstallationData* data);

// In a removal run of the owning instance: removes the drivers and the provider, then gives up
// the ownership; with leftovers, a file in use is left for the next restart.
void RemoveDrivers(const InstallationData* data, RemovalLeftovers* leftovers = nullptr);

// For an update that is not to install the drivers (/n): gives up this instance's ownership,
// under the lock, and leaves the drivers where they are.
void ReleaseDriverOwnership(const InstallationData* data);

// The two without the lock, for a caller that holds it; created, when given, learns what the
// installation brought into being.
void InstallOwnedDrivers(InstallationData* data, CreatedDrivers* created = nullptr);
void RemoveOwnedDrivers(const InstallationData* data, RemovalLeftovers* leftovers = nullptr);

// Takes back, under the lock, what created says a failed new installation brought: the files,
// and the ownership while it still names what that installation wrote.
void RemoveCreatedDrivers(const InstallationData* data, const CreatedDrivers& created);

// Takes the provider out of the Winsock catalogue and deletes its library; the result of the
// catalogue removal (the library stays when it is not 0).
int RemoveNetworkLayer(const InstallationData* data, RemovalLeftovers* leftovers = nullptr);
