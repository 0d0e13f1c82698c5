#pragma once
// Makes one call of the code under test fail: the system functions that change the machine or
// take its resources (files, registry, services, processes, the allocator) are counted in the
// order the code calls them, and the k-th fails as the system would fail it (access denied, a
// sharing violation, a full disk, no system resources, no memory). The product is linked into the
// test program, so its calls go through the program's own import table, whose entries are
// pointed at the stand-ins as OpenedResources points them at its counting ones. Calls under
// NotCounted (the test's own records) are neither counted nor failed.

#include <windows.h>

#include <string>

namespace xatest {

class FailingCalls {
public:
    // failAt: the number of the call that fails (1 for the first); 0 counts only. With only, just
    // the calls of that function are counted.
    explicit FailingCalls(long failAt, const char* only = nullptr);
    ~FailingCalls();
    FailingCalls(const FailingCalls&) = delete;
    FailingCalls& operator=(const FailingCalls&) = delete;

    // Calls counted so far (the failed one included).
    long Calls() const;
    // "CreateFileA -> 32" for the call that failed; "" while none has.
    std::string Failed() const;
    // The number of the occurrence-th call (1 for the first) of function, as counted so far; 0
    // when there was none.
    long NumberOf(const std::string& function, int occurrence) const;
    // The function of the call with that number ("" when unknown).
    std::string NameOf(long number) const;
};

}  // namespace xatest
