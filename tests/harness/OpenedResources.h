#pragma once
// What the code under test opens and leaves open: kernel handles (with the find and
// service-manager handles), registry keys, heap blocks and loaded libraries. Wine's
// GetProcessHandleCount answers 0, so the calls are counted instead: the product is linked into
// the test program, so its calls of kernel32, advapi32 and msvcrt go through the program's own
// import table, whose entries for the calls that open and close are pointed, on first use, at
// counting stand-ins of the real functions (they stay, and count only while an account is open).
// A function looked up by name is handed out as its stand-in too.

#include <windows.h>

#include <string>
#include <vector>

namespace xatest {

// The slots of this program's import table that hold function of library ("kernel32.dll"),
// in every descriptor of the library (the linker may make several); empty when not imported.
std::vector<void**> FindImports(const char* library, const char* function);

// Points each slot at replacement; returns what the first one held (null for none).
void* ReplaceImports(const std::vector<void**>& slots, void* replacement);

// One account at a time: it counts what is opened from its construction until Stop(), and keeps
// following the closes of what it counted until it goes.
class OpenedResources {
public:
    OpenedResources();
    ~OpenedResources();
    OpenedResources(const OpenedResources&) = delete;
    OpenedResources& operator=(const OpenedResources&) = delete;

    // Ends the window: later opens are not counted, closes of what was counted still are.
    void Stop();

    // A block that a record living on holds (a text field) is the record's to free: no longer
    // counted here.
    void Kept(const void* block);

    struct Tally {
        int Opened;
        int Closed;
    };
    Tally Handles() const;  // kernel objects, find handles, service-manager handles
    Tally Keys() const;
    Tally Blocks() const;
    Tally Libraries() const;

    // What the window opened that is open still, each as "<what> from <call>" ("block of 24
    // bytes from malloc"). A kernel handle that GetHandleInformation no longer knows was closed
    // by a call that is not counted, and is no leak.
    std::vector<std::string> LeftOpen() const;

    // "handles 12/12, keys 40/40, blocks 310/310, libraries 2/2 closed; GetProcessHandleCount 0 -> 0"
    std::string Summary() const;

private:
    DWORD systemCountBefore_ = 0;
};

// While one lives, the calls of this thread are not counted: a test's own records kept during a
// window (sleeps of the virtual clock, texts of a recording window) are not the code under test.
class NotCounted {
public:
    NotCounted();
    ~NotCounted();
    NotCounted(const NotCounted&) = delete;
    NotCounted& operator=(const NotCounted&) = delete;

private:
    bool active_;
};

// True on a thread inside a NotCounted scope: the test's own code, which other stand-ins leave
// alone too. Makes the stand-ins' thread marks on first use.
bool IsNotCounted();

}  // namespace xatest
