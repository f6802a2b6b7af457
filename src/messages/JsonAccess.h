// Read-only accessors over a json-parser value tree. Each returns a usable value for any input:
// a missing member or an item of the wrong type reads as the library's "none" value, 0 or "".
#pragma once

#include <json.h>

#include <cstdint>

// The first member named key (byte for byte, in document order) of an object; else "none".
const json_value& JsonMember(const json_value& value, const char* key);
// The first element of a non-empty array; else "none".
const json_value& JsonFirstItem(const json_value& value);
// An integer as it is, a floating-point number truncated toward zero (clamped to 64 bits), else 0.
int64_t JsonToInt64(const json_value& value);
// A string's bytes (NUL-terminated UTF-8); else "".
const char* JsonToText(const json_value& value);
