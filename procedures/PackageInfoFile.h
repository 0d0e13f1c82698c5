#pragma once
// The file in the agent folder that records which instance the folder belongs to.

#include "procedures/InstallationData.h"

inline constexpr char kPackageInfoFile[] = "Package.xml";

// Writes kPackageInfoFile with the instance id into the agent folder; keepExisting leaves an
// existing file alone. Returns 0 or the error of creating or writing the file.
int WritePackageFile(const InstallationData* data, int keepExisting);

// True when the agent folder holds a kPackageInfoFile that names this instance: the folder is
// the instance's even when its key was lost.
bool PackageFileNamesInstance(const InstallationData* data);
