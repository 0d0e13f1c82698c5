#include "setup/InstallationData.h"

InstallationData::InstallationData()
    : DestFolder(nullptr), DestRegKey(nullptr), AgentWorkingFolder(nullptr), LogEnabled(0)
{
}

InstallationData::~InstallationData()
{
    FreeText(DestFolder);
    FreeText(DestRegKey);
    FreeText(AgentWorkingFolder);
    Log.Close();
}
