// The servers the program talks to are compiled in. In test builds (QV_TEST_ENDPOINTS) the
// environment's QV_API_ENDPOINT ("host:port") and QV_ROOM_ENDPOINT ("host[:port]") replace them,
// so an end-to-end test can run its own simulator on ports of its choice.
#pragma once

#include <string>

#include "net/HttpLookups.h"

// Applies the variables that are set and well formed to `endpoints`; returns a message for each
// one that is set but malformed (it is then ignored).
std::string ApplyEndpointOverrides(HttpEndpoints& endpoints);
