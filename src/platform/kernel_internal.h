// Kernel pieces other parts of the layer build on.
#pragma once

namespace qvp {

// Runs on a thread made by CreateThread after its start routine returns and before its handle is
// signalled; the window model frees the thread's queue and windows there. Threads the layer did
// not start clean up in thread-local destructors instead.
void SetThreadExitHook(void (*hook)());

}  // namespace qvp
