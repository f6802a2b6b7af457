// Every test runs under a reaper: a test that hangs is ended with a message naming it instead of
// stalling the suite. The limit is real time and generous; no test should come near it.
#pragma once

#include <chrono>

namespace qvtest {

// Changes the limit for the running test (for the few that legitimately take longer).
void SetWatchdogLimit(std::chrono::seconds limit);

}  // namespace qvtest
