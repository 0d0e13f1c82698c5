#include "control/AgentPipe.h"

#include <stdlib.h>
#include <string.h>

#include "support/AccessControl.h"
#include "support/Clock.h"
#include "support/Results.h"
#include "support/SystemLibrary.h"
#include "support/WindowsVersion.h"

namespace {

enum : DWORD {
    kCodeBytes = 4,
    kReplyHeaderBytes = 8,
};

const AgentPipeCalls kSystemCalls = {IsLocalSystemProcess};
AgentPipeCalls g_calls = kSystemCalls;

DWORD ReadLittleEndian32(const unsigned char* bytes)
{
    return (DWORD)bytes[0] | ((DWORD)bytes[1] << 8) | ((DWORD)bytes[2] << 16) | ((DWORD)bytes[3] << 24);
}

void WriteLittleEndian32(unsigned char* bytes, DWORD value)
{
    bytes[0] = (unsigned char)value;
    bytes[1] = (unsigned char)(value >> 8);
    bytes[2] = (unsigned char)(value >> 16);
    bytes[3] = (unsigned char)(value >> 24);
}

// Milliseconds left of the exchange that began at started; 0 when it is over.
DWORD TimeLeft(DWORD started)
{
    DWORD elapsed = ClockElapsed(started);
    return elapsed < kAgentPipeLimitMs ? kAgentPipeLimitMs - elapsed : 0;
}

typedef BOOL(WINAPI* CancelIoFunction)(HANDLE file);

// Where the pipe's reads and writes can be given up: Windows NT (NT 4 and later have CancelIo).
// Windows 9x has no overlapped I/O on pipes.
CancelIoFunction FindCancelIo()
{
    return IsWindowsNTPlatform() ? GetSystemFunction<CancelIoFunction>(GetModuleHandleA("kernel32.dll"), "CancelIo")
                                 : nullptr;
}

// Waits until a reply can be read without blocking (Windows 9x). False when the pipe broke (the
// thread's last error tells how) or no reply came in time (1460).
bool WaitForReply(HANDLE pipe, DWORD started)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available > 0)
            return true;
        DWORD left = TimeLeft(started);
        if (left == 0) {
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        ClockSleep(left < kAgentPipePollMs ? left : kAgentPipePollMs);
    }
}

// One write or read of the exchange that began at started, given up with 1460 once its time is up:
// a server that takes the connection and never reads the request, or never answers, would
// otherwise hold setup for ever, and with it the instance's lock. False with the last error set.
bool TransferWithin(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD* done, DWORD started)
{
    CancelIoFunction cancelIo = FindCancelIo();
    if (!cancelIo) {
        if (write)
            return WriteFile(pipe, buffer, size, done, nullptr) != FALSE;
        return WaitForReply(pipe, started) && ReadFile(pipe, buffer, size, done, nullptr);
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return false;
    BOOL finished = write ? WriteFile(pipe, buffer, size, done, &overlapped)
                          : ReadFile(pipe, buffer, size, done, &overlapped);
    if (!finished && GetLastError() == ERROR_IO_PENDING) {
        while (WaitForSingleObject(overlapped.hEvent, 0) == WAIT_TIMEOUT) {
            DWORD left = TimeLeft(started);
            if (left == 0) {
                cancelIo(pipe);
                break;
            }
            ClockSleep(left < kAgentPipePollMs ? left : kAgentPipePollMs);
        }
        // Waits only for the cancelled request to let go of the buffer.
        finished = GetOverlappedResult(pipe, &overlapped, done, TRUE);
        if (!finished && GetLastError() == ERROR_OPERATION_ABORTED)
            SetLastError(ERROR_TIMEOUT);
    }
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return finished != FALSE;
}

typedef BOOL(WINAPI* GetNamedPipeServerProcessIdFunction)(HANDLE pipe, ULONG* processId);

// Whether the pipe's server may be sent requests: the service's own process, or a process of
// LocalSystem, where the system names the server (Vista and later); before that a pipe that
// SYSTEM or Administrators made. A pipe's name is free to take for anyone once the service has
// stopped, and a program path proves nothing: anyone may start the agent's program. Windows 9x
// has no users to tell apart.
bool IsServedBy(HANDLE pipe, DWORD serviceProcessId)
{
    if (serviceProcessId == kAgentPipeAnyServer || !IsWindowsNTPlatform())
        return true;
    GetNamedPipeServerProcessIdFunction serverProcessId =
        GetSystemFunction<GetNamedPipeServerProcessIdFunction>(GetModuleHandleA("kernel32.dll"),
                                                               "GetNamedPipeServerProcessId");
    ULONG server = 0;
    if (!serverProcessId)
        return IsOwnedByAdministrators(pipe);
    return serverProcessId(pipe, &server) &&
           ((serviceProcessId != 0 && server == serviceProcessId) || g_calls.IsLocalSystemProcess(server));
}

}  // namespace

void SetAgentPipeCalls(const AgentPipeCalls* calls)
{
    g_calls = calls && calls->IsLocalSystemProcess ? *calls : kSystemCalls;
}

HANDLE AgentPipeConnect(const char* name, DWORD serviceProcessId, DWORD started)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE pipe = INVALID_HANDLE_VALUE;
    // Whoever created a pipe of this name once the agent's service freed it could otherwise
    // impersonate this elevated process. Windows 9x knows no impersonation.
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (IsWindowsNTPlatform() ? SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION : 0) |
                  (FindCancelIo() ? FILE_FLAG_OVERLAPPED : 0);
    for (;;) {
        pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            break;
        // A missing pipe means the agent does not run: no reason to wait.
        if (GetLastError() != ERROR_PIPE_BUSY)
            return INVALID_HANDLE_VALUE;
        // An agent whose pipe frees up and is taken again each round would keep us here.
        DWORD left = TimeLeft(started);
        if (left == 0) {
            SetLastError(ERROR_TIMEOUT);
            return INVALID_HANDLE_VALUE;
        }
        if (!WaitNamedPipeA(name, left < kAgentPipeBusyWaitMs ? left : kAgentPipeBusyWaitMs))
            return INVALID_HANDLE_VALUE;
    }
    if (!IsServedBy(pipe, serviceProcessId)) {
        CloseHandle(pipe);
        SetLastError(kAgentPipeForeignServer);
        return INVALID_HANDLE_VALUE;
    }
    // Without message mode a reply could arrive in pieces; the agent's replies are whole messages
    // in any case, so a refusal is no reason to give up.
    DWORD mode = PIPE_READMODE_MESSAGE;
    (void)SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    return pipe;
}

int AgentPipeTransact(HANDLE pipe, const AgentPipeRequest* request, DWORD* status, unsigned char** payload,
                      DWORD* length, DWORD started)
{
    int result = 0;
    if (!request || (request->Length > 0 && !request->Data))
        result = ERROR_INVALID_PARAMETER;
    else if (!pipe || pipe == INVALID_HANDLE_VALUE)
        result = ERROR_INVALID_HANDLE;
    else if (request->Length > MAXDWORD - kCodeBytes)
        result = ERROR_NOT_ENOUGH_MEMORY;
    if (result != 0) {
        SetLastError((DWORD)result);
        return result;
    }

    DWORD size = kCodeBytes + request->Length;
    DWORD done = 0;
    DWORD got = 0;
    unsigned char* message = nullptr;
    unsigned char* reply = nullptr;
    unsigned char* copy = nullptr;

    message = (unsigned char*)malloc(size);
    reply = (unsigned char*)malloc(kAgentPipeReplySize);
    if (!message || !reply) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        SetLastError((DWORD)result);
        goto Exit;
    }
    WriteLittleEndian32(message, request->Code);
    if (request->Length > 0)
        memcpy(message + kCodeBytes, request->Data, request->Length);

    if (!TransferWithin(pipe, true, message, size, &done, started) ||
        !TransferWithin(pipe, false, reply, kAgentPipeReplySize, &got, started)) {
        result = LastErrorResult();
        goto Exit;
    }
    if (got >= kCodeBytes) {
        // The reply's length field is the agent's word; what arrived is the limit.
        DWORD payloadBytes = 0;
        if (got >= kReplyHeaderBytes) {
            DWORD claimed = ReadLittleEndian32(reply + kCodeBytes);
            DWORD arrived = got - kReplyHeaderBytes;
            payloadBytes = claimed < arrived ? claimed : arrived;
        }
        if (payload && payloadBytes > 0) {
            copy = (unsigned char*)malloc(payloadBytes);
            if (!copy) {
                result = ERROR_NOT_ENOUGH_MEMORY;
                SetLastError((DWORD)result);
                goto Exit;
            }
            memcpy(copy, reply + kReplyHeaderBytes, payloadBytes);
        }
        if (status)
            *status = ReadLittleEndian32(reply);
        if (length)
            *length = payloadBytes;
        if (payload) {
            *payload = copy;
            copy = nullptr;
        }
    }

Exit:
    free(copy);
    free(reply);
    free(message);
    return result;
}
