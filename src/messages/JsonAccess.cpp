#include "messages/JsonAccess.h"

#include <cmath>
#include <cstring>

const json_value& JsonMember(const json_value& value, const char* key) {
  if (value.type != json_object || !key) return json_value_none;
  size_t keyLength = std::strlen(key);
  for (const json_object_entry& entry : value.u.object) {
    if (entry.name_length == keyLength && std::memcmp(entry.name, key, keyLength) == 0)
      return *entry.value;
  }
  return json_value_none;
}

const json_value& JsonFirstItem(const json_value& value) {
  if (value.type != json_array || value.u.array.length == 0) return json_value_none;
  return *value.u.array.values[0];
}

int64_t JsonToInt64(const json_value& value) {
  switch (value.type) {
    case json_integer:
      return value.u.integer;
    case json_double: {
      // Converting a double outside int64's range is undefined; such numbers saturate.
      double d = value.u.dbl;
      if (std::isnan(d)) return 0;
      if (d >= 9223372036854775808.0) return INT64_MAX;
      if (d <= -9223372036854775808.0) return INT64_MIN;
      return static_cast<int64_t>(d);
    }
    default:
      return 0;
  }
}

const char* JsonToText(const json_value& value) {
  return value.type == json_string && value.u.string.ptr ? value.u.string.ptr : "";
}
