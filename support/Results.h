#pragma once
// The one way of turning a failed Windows call into a result code. Results throughout are 0,
// a Windows error code, or -1 for a failure without a code.

// The thread's last error as a result: -1 when a call failed without setting one, so that a
// failure never passes for success.
int LastErrorResult();
