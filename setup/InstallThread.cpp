#include "setup/InstallThread.h"

#include "procedures/Installer.h"
#include "procedures/RunProcedure.h"
#include "resources/resource.h"
#include "setup/InstanceLock.h"
#include "setup/ProgressWindow.h"
#include "support/StringTable.h"

namespace {

const int kFinalTextBytes = 1024;

}  // namespace

int RunInstallProcess(Installer* installer, bool holdsInstanceLock)
{
    InstallationData* data = installer->Data;
    HANDLE lock = nullptr;
    // The program's run holds the lock from its start; a run built without it takes it here.
    if (!holdsInstanceLock && TakeInstanceLock(data->Instance, &lock) != 0) {
        LogMessage(data, "Another setup of this agent instance is running.");
        return ERROR_INSTALL_ALREADY_RUNNING;
    }
    int result = RunProcedure(installer);
    ReleaseInstanceLock(&lock);
    return result;
}

DWORD WINAPI InstallThread(void* context)
{
    const InstallThreadContext& run = *static_cast<const InstallThreadContext*>(context);
    Installer installer(run.Data);
    int result = RunInstallProcess(&installer, run.HoldsInstanceLock);
    // Read by the main thread after the loop: the run's exit code.
    InterlockedExchange(run.Result, result);
    // From now on the window may be closed.
    InterlockedExchange(run.Running, 0);

    const InstallationData& data = *run.Data;
    if (!data.IsSilent || data.ShowProgress) {
        char format[kFinalTextBytes], text[kFinalTextBytes];
        if (result != 0) {
            LoadProgramText(IDS_SETUP_FAILED, format, sizeof(format));
            FormatText(text, sizeof(text), format, result);
        } else {
            LoadProgramText(data.IsRemove ? IDS_REMOVE_COMPLETED : IDS_SETUP_COMPLETED, text, sizeof(text));
        }
        run.Progress->Finish(text);
        // The person closes the window with Close; without the dialog there is no Close.
        if (!data.IsSilent && !data.NoInteract && run.Progress->Dialog)
            return (DWORD)result;
    }
    PostMessageA(run.MainWindow, WM_COMMAND, IDM_CLOSE_RUN, 0);
    return (DWORD)result;
}
