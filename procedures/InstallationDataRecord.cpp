// The record's own life: empty at birth, everything it owns released with it. Kept apart from
// its builders (setup/BuildInstallationData.cpp), which ask the system, so that the native build
// (tests/fuzz) takes it as it is.
#include "procedures/InstallationData.h"

namespace {
InstallationStatus gSilentStatus;
}  // namespace

InstallationData::InstallationData()
    : IsSilent(0), IsRemove(0), UpdateLegacyAgent(0), RunProgram(0), NoInteract(0), ShowProgress(0),
      bNoDriver(0), Instance(nullptr), Company(nullptr), DestFolder(nullptr), Comments(nullptr),
      Contact(nullptr), HelpLink(nullptr), Publisher(nullptr), AboutLink(nullptr), PartitionId(nullptr),
      IsModify(0), Title(nullptr), SrcFolder(nullptr), AgentWorkingFolder(nullptr),
      IsWin9x(0), LegacyAgentExists(0), RebootRequired(0), RunAsTemp(0), bNoShortcut(0), bNoAddRemove(0),
      bDontStartAgent(0), LogEnabled(0), HandOver(nullptr), FirstProcessProgram(nullptr), LeftForFirstProcess(0),
      PartFailure(0), PartFailures(0), Status(&gSilentStatus)
{
}

InstallationData::~InstallationData()
{
    char** strings[] = {&Instance,  &Company,   &DestFolder,  &Comments, &Contact,   &HelpLink,
                        &Publisher, &AboutLink, &PartitionId, &Title,    &SrcFolder, &AgentWorkingFolder,
                        &HandOver,  &FirstProcessProgram};
    for (char** field : strings)
        FreeText(*field);
    Log.Close();
}
