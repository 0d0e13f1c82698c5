#pragma once
// The client side of the agent's named pipe: one request message, one reply message.
//
// Request: Code (32-bit little-endian) followed by Length payload bytes; the length itself is not
// sent. Reply: Status (32-bit), the payload length (32-bit), the payload; read in one message of
// at most kAgentPipeReplySize bytes.

#include <windows.h>

enum : DWORD {
    kAgentPipeReplySize = 8192,
    kAgentPipeBusyWaitMs = 1000,  // one wait for a busy pipe; repeated while instances free up
    kAgentPipeLimitMs = 30000,    // connection, request and reply together, on the clock
    kAgentPipePollMs = 50,        // how often a reply is looked for
    kAgentShutdownCode = 9,       // asks the agent to exit; its reply carries nothing of use
};

struct AgentPipeRequest {
    DWORD Code;
    DWORD Length;      // payload bytes
    const void* Data;  // may be null when Length is 0
};

// The error of AgentPipeConnect when the pipe is served by another program than the agent's
// service (an application-defined code: no system error has bit 29 set).
enum : DWORD { kAgentPipeForeignServer = 0x20000001 };

// serviceProcessId of AgentPipeConnect that takes whatever serves the pipe.
enum : DWORD { kAgentPipeAnyServer = 0xFFFFFFFF };

// Opens the pipe name in message read mode, waiting for a busy pipe in rounds of
// kAgentPipeBusyWaitMs for as long as an instance becomes free, until kAgentPipeLimitMs have
// passed since started (a ClockTicks value). The server may only identify this process, never act
// as it. On Windows NT the pipe is kept only when its server is the agent service's process
// serviceProcessId (0: none known) or runs as LocalSystem (before Vista, where the system does not
// name a pipe's server: when SYSTEM or Administrators own the pipe); else the last error is
// kAgentPipeForeignServer. INVALID_HANDLE_VALUE when the pipe does not exist, stays busy for a
// whole round, cannot be opened, has another server, or the time is up (last error 1460,
// ERROR_TIMEOUT).
HANDLE AgentPipeConnect(const char* name, DWORD serviceProcessId, DWORD started);

// Sends request and reads the reply, looking every kAgentPipePollMs whether each is done, until
// kAgentPipeLimitMs have passed since started (a ClockTicks value; the connection's start when
// both belong to one exchange). On Windows NT a write that the server never takes is given up
// too (AgentPipeConnect opens the pipe for overlapped I/O there); Windows 9x writes as it comes.
// 0 when both the write and the read succeeded, also for a reply shorter than 4 bytes (then no
// out value is set); otherwise the error, which is also left as the thread's last error (87
// without request, 6 without a pipe, 8 when memory is short, 1460 when the time was up). From a reply of at least 4 bytes, status receives the Status and length
// the number of payload bytes that arrived, never more than the reply's own length field says;
// payload receives a new heap copy of them (free with free(); null when there are none). Every
// out value may be null.
int AgentPipeTransact(HANDLE pipe, const AgentPipeRequest* request, DWORD* status, unsigned char** payload,
                      DWORD* length, DWORD started);

// The call through which the pipe's server check asks whether a process runs as LocalSystem,
// which a test has to play: Wine runs no process as LocalSystem.
struct AgentPipeCalls {
    bool (*IsLocalSystemProcess)(DWORD processId);
};

// Makes calls (its member set) the current ones, or restores the system's for null.
void SetAgentPipeCalls(const AgentPipeCalls* calls);
