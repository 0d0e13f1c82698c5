// The running agent of this installation, stopped before its files are replaced or removed:
// through the service manager, then by the shutdown request over its pipe, then by waiting for
// its executable to end.
#include "procedures/AgentShutdown.h"

#include "control/AgentPipe.h"
#include "control/Processes.h"
#include "control/ServiceManager.h"
#include "procedures/AgentService.h"
#include "procedures/InstallationData.h"
#include "support/AgentNames.h"
#include "support/Clock.h"

namespace {

enum : DWORD { kAgentExitWaitMs = 120000 };

// Asks the agent (the service's process serviceProcessId, as it was before the stop) to exit over
// its pipe, giving the whole exchange kAgentPipeLimitMs. Errors, time-out included, say nothing the
// wait that follows would not; only a pipe of another program is worth a line.
void SendShutdownRequest(const InstallationData* data, const char* pipeName, DWORD serviceProcessId)
{
    DWORD started = ClockTicks();
    HANDLE pipe = AgentPipeConnect(pipeName, serviceProcessId, started);
    if (pipe == INVALID_HANDLE_VALUE) {
        if (GetLastError() == kAgentPipeForeignServer)
            LogMessage(data, "The agent's pipe is served by another program; the shutdown request is not sent.");
        return;
    }
    AgentPipeRequest request = {kAgentShutdownCode, 0, nullptr};
    (void)AgentPipeTransact(pipe, &request, nullptr, nullptr, nullptr, started);
    CloseHandle(pipe);
}

}  // namespace

int StopAgentService(const InstallationData* data, bool* wasRunning)
{
    char agentPath[MAX_PATH];
    char serviceName[kServiceNameChars];
    char pipeName[MAX_PATH];
    int result = -1;
    const char* instance = data->UpdateLegacyAgent ? "" : data->Instance;
    if (wasRunning)
        *wasRunning = false;

    if (!data->DestFolder || !instance) {
        result = ERROR_INVALID_PARAMETER;
        LogMessage(data, "StopAgentService() returns %d", result);
        return result;
    }
    if (!FormatAgentProgramPath(data->DestFolder, agentPath, sizeof(agentPath)) ||
        !FormatAgentServiceName(data, serviceName, sizeof(serviceName)) ||
        !FormatAgentPipeName(instance, pipeName, sizeof(pipeName))) {
        result = ERROR_FILENAME_EXCED_RANGE;
        LogMessage(data, "StopAgentService() returns %d", result);
        return result;
    }

    // Windows 9x starts the agent as a plain process: there is no service to stop.
    DWORD serviceProcess = 0;
    if (!data->IsWin9x) {
        LogMessage(data, "Stopping service %s...", serviceName);
        DWORD state = SERVICE_STOPPED;
        if (QueryServiceState(serviceName, &state, &serviceProcess) == 0 && state != SERVICE_STOPPED && wasRunning)
            *wasRunning = true;
        result = StopServiceAndWait(serviceName);
        if (result == ERROR_SERVICE_DOES_NOT_EXIST) {
            // No service, no agent of this installation to wait for.
            LogMessage(data, "Agent service %s doesn't exist.", serviceName);
            result = 0;
            LogMessage(data, "Stopping service returns %d.", result);
            return result;
        }
        if (result != 0) {
            LogErrorFormatted(data, result, "Failed to stop agent service: %s.", serviceName);
        }
        LogMessage(data, "Stopping service returns %d.", result);
    }

    if (wasRunning && data->IsWin9x) {
        bool running = false;
        if (IsProcessRunning(agentPath, &running) == 0 && running)
            *wasRunning = true;
    }
    LogMessage(data, "Trying to connect to agent via \"%s\"...", pipeName);
    SendShutdownRequest(data, pipeName, serviceProcess);

    (void)PollUntil(kAgentExitWaitMs, kWaitPollMs, [&agentPath, &result] {
        bool running = false;
        // A search that fails proves nothing: the outcome of the service stop stands.
        if (IsProcessRunning(agentPath, &running) != 0)
            return true;
        if (!running)
            result = 0;
        return !running;
    });

    LogMessage(data, "StopAgentService() returns %d", result);
    return result;
}

void WaitForAgentEnd(const InstallationData* data, DWORD limitMs)
{
    char agentPath[MAX_PATH];
    if (FormatAgentProgramPath(data->DestFolder, agentPath, sizeof(agentPath)))
        (void)WaitForProgramRelease(agentPath, limitMs);
}
