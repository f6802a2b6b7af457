// Network text (UTF-8) to the framework's wide string.
#pragma once

#include "dui/DuiString.h"

// Converts NUL-terminated UTF-8; null or text the converter rejects gives an empty string.
// Ill-formed sequences become U+FFFD, as the system converter does.
CDuiString Utf8ToDuiString(const char* pText);
