// UTF-8 <-> UTF-16 conversion with Windows' replacement rules, for the layer's own use (paths,
// traces, window titles) and for MultiByteToWideChar/WideCharToMultiByte with CP_UTF8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvp {

// Ill-formed input: each maximal ill-formed subsequence becomes one U+FFFD. With `strict`,
// conversion stops at the first ill-formed sequence and the function returns false.
bool Utf8ToUtf16(std::string_view in, std::u16string& out, bool strict = false);
// Unpaired surrogates become U+FFFD (EF BF BD); with `strict` they make the function return false.
bool Utf16ToUtf8(std::u16string_view in, std::string& out, bool strict = false);

inline std::u16string ToUtf16(std::string_view in) {
  std::u16string out;
  Utf8ToUtf16(in, out);
  return out;
}
inline std::string ToUtf8(std::u16string_view in) {
  std::string out;
  Utf16ToUtf8(in, out);
  return out;
}

// Length of a NUL-terminated UTF-16 string.
inline size_t WideLength(const char16_t* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

}  // namespace qvp
