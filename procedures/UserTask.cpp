// The agent's per-user task, which must be gone before its executable is replaced or removed.
#include "procedures/UserTask.h"

#include "control/Processes.h"
#include "procedures/InstallationData.h"
#include "support/Text.h"

namespace {

const char kUserTaskExecutable[] = "UserTray.exe";

}  // namespace

int StopUserTask(const InstallationData* data)
{
    // Windows 9x runs no task per user session.
    if (data->IsWin9x)
        return 0;

    char path[MAX_PATH];
    int result = 0;
    if (!data->DestFolder)
        result = ERROR_INVALID_PARAMETER;
    else if (!FormatText(path, sizeof(path), "%s\\%s", data->DestFolder, kUserTaskExecutable))
        result = ERROR_FILENAME_EXCED_RANGE;
    else
        result = StopUserTaskProcess(path, data->UpdateLegacyAgent ? nullptr : data->Instance);
    if (result != 0)
        LogMessage(data, "Failed to stop user task. Error Code: %d", result);
    return result;
}

void WaitForUserTaskEnd(const InstallationData* data, DWORD limitMs)
{
    char path[MAX_PATH];
    // Windows 9x stops no task: there is nothing to wait for.
    if (!data->IsWin9x && data->DestFolder &&
        FormatText(path, sizeof(path), "%s\\%s", data->DestFolder, kUserTaskExecutable))
        (void)WaitForProgramRelease(path, limitMs);
}
