#include "Json.h"

#include <cstdio>
#include <cstring>

namespace roomsim {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

JsonPtr ParseJson(const std::string& text, std::string* error) {
  json_settings settings = {};
  char message[json_error_max] = {};
  JsonPtr value(json_parse_ex(&settings, text.data(), text.size(), message));
  if (!value && error) *error = message[0] ? message : "not JSON";
  return value;
}

const json_value* Member(const json_value* object, const char* key) {
  if (!object || object->type != json_object) return nullptr;
  for (unsigned i = 0; i < object->u.object.length; ++i) {
    if (std::strcmp(object->u.object.values[i].name, key) == 0) return object->u.object.values[i].value;
  }
  return nullptr;
}

bool IsInteger(const json_value* v) { return v && v->type == json_integer; }
bool IsString(const json_value* v) { return v && v->type == json_string; }

int64_t IntOr(const json_value* v, int64_t fallback) { return IsInteger(v) ? v->u.integer : fallback; }

std::string StringOr(const json_value* v, const std::string& fallback) {
  return IsString(v) ? std::string(v->u.string.ptr, v->u.string.length) : fallback;
}

namespace {

size_t SkipSpace(const std::string& s, size_t i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  return i;
}

// `i` at an opening quote; returns the index after the closing one.
size_t SkipString(const std::string& s, size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return s.size();
}

size_t SkipValue(const std::string& s, size_t i) {
  if (i < s.size() && s[i] == '"') return SkipString(s, i);
  int depth = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      i = SkipString(s, i);
      continue;
    }
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      if (depth == 0) return i;
      if (--depth == 0) return i + 1;
    }
    if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n')) return i;
    ++i;
  }
  return i;
}

}  // namespace

std::string RawMember(const std::string& text, const std::string& key) {
  size_t i = SkipSpace(text, 0);
  if (i >= text.size() || text[i] != '{') return "";
  ++i;
  for (;;) {
    i = SkipSpace(text, i);
    if (i >= text.size() || text[i] != '"') return "";
    size_t nameEnd = SkipString(text, i);
    std::string name = text.substr(i + 1, nameEnd - i - 2);
    i = SkipSpace(text, nameEnd);
    if (i >= text.size() || text[i] != ':') return "";
    i = SkipSpace(text, i + 1);
    size_t valueEnd = SkipValue(text, i);
    if (name == key) return text.substr(i, valueEnd - i);
    i = SkipSpace(text, valueEnd);
    if (i >= text.size() || text[i] != ',') return "";
    ++i;
  }
}

}  // namespace roomsim
