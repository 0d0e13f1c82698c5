#pragma once
// The shared setup log: one time-stamped line per call, appended under a system-wide named mutex
// so that several setup processes (and both threads of one) can write to the same file. The file
// is opened and closed for every line and rolls over to a single backup ("1" appended to the
// name) past kLogRollOverSize bytes.

#include <windows.h>

#include "support/Text.h"

enum : DWORD {
    kLogRollOverSize = 5000000,   // bytes; the log rolls over when it has grown past this
    kLogMutexWaitMs = 1000,       // a line waits this long for the mutex, then is dropped
};
enum { kLogMessageChars = 4096 }; // characters of a message that reach the file

struct SetupLog {
    HANDLE Mutex;          // null: nothing is ever written
    char Path[MAX_PATH];   // empty when no log file could be chosen
    bool RefuseLinks;      // NT: a log file that is a link is not written

    SetupLog();
    ~SetupLog();
    SetupLog(const SetupLog&) = delete;
    SetupLog& operator=(const SetupLog&) = delete;

    // Chooses the file (the default XASetup.log in the temporary folder for a null or empty
    // path) and creates or opens the mutex, which only SYSTEM and Administrators may open on NT;
    // one of that name that someone else made is not used, and the lines are then written
    // without it. On NT a file that is a link, or whose path holds one, leaves the log closed.
    // Reopens on a later call.
    void Open(const char* path);

    // True when a line can be appended now: the log is open and its file opens for appending (it
    // is created when missing).
    bool IsWritable() const;

    // Appends one line; true when it was written, false when it was dropped.
    bool WriteLine(const char* text) const;

    // Closes the mutex handle; the log is closed afterwards.
    void Close();
};

// Name of the mutex that guards the log at path: "ArvaneTL_" and the file name up to its first
// ".", in lower case, with "Global\" in front where the system has that namespace. False when
// it does not fit in size bytes.
bool BuildLogMutexName(const char* path, bool globalNamespace, char* name, size_t size);
