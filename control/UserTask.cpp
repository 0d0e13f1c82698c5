// The agent's per-user task, which must be gone before its executable is replaced or removed.
#include "control/Processes.h"
#include "procedures/Installer.h"
#include "setup/SetupLog.h"
#include "support/Text.h"

namespace {

const char kUserTaskExecutable[] = "UserTray.exe";

}  // namespace

int Installer::StopUserTask()
{
    // Windows 9x runs no task per user session.
    if (Data->IsWin9x)
        return 0;

    char path[MAX_PATH];
    int result = 0;
    if (!Data->DestFolder)
        result = ERROR_INVALID_PARAMETER;
    else if (!FormatText(path, sizeof(path), "%s\\%s", Data->DestFolder, kUserTaskExecutable))
        result = ERROR_FILENAME_EXCED_RANGE;
    else
        result = StopUserTaskProcess(path, Data->UpdateLegacyAgent ? nullptr : Data->Instance);
    if (result != 0)
        LogMessage(Data, "Failed to stop user task. Error Code: %d", result);
    return result;
}
