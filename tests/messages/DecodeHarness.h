// Drives the decoder the way the network thread does and writes down what the windows got.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

// Decodes payload on a worker thread against a session whose overlay and status windows are
// real test windows (or none), and returns, in this order: the debug traces ("trace ..."; the
// payload itself as "trace PAYLOAD"), the standard output ("stdout ..."), then the overlay's
// records ("msg ...") and the status window's ("state ...").
std::vector<std::string> DecodeAndCollect(const std::string& payload, bool withMsgWindow = true,
                                          bool withStateWindow = true);

}  // namespace qvtest
