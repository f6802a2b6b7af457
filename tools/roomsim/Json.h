// Small JSON helpers of the simulator: quoting, json-parser ownership, raw member spans.
#pragma once

#include <json-parser/json.h>

#include <cstdint>
#include <memory>
#include <string>

namespace roomsim {

// `text` as a JSON string literal (UTF-8 passes through; quotes, backslashes and controls escaped).
std::string Quote(const std::string& text);

struct JsonFree {
  void operator()(json_value* v) const { json_value_free(v); }
};
using JsonPtr = std::unique_ptr<json_value, JsonFree>;

// Parses `text`; null with `error` set when it is not JSON.
JsonPtr ParseJson(const std::string& text, std::string* error);

// Member `key` of an object, or null.
const json_value* Member(const json_value* object, const char* key);
bool IsInteger(const json_value* v);
bool IsString(const json_value* v);
int64_t IntOr(const json_value* v, int64_t fallback);
std::string StringOr(const json_value* v, const std::string& fallback);

// The exact source text of top-level member `key` of the object in `text` (empty when absent),
// so a frame is replayed byte for byte, e.g. 10010209.0 stays a fraction.
std::string RawMember(const std::string& text, const std::string& key);

}  // namespace roomsim
