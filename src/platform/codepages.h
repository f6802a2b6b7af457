// Code pages other than UTF-8, for MultiByteToWideChar/WideCharToMultiByte and the XML file
// encodings.
#pragma once

#include <cstddef>
#include <string>

namespace qvp {

enum class CodePageResult {
  Ok,
  Unsupported,  // the code page is not known: ERROR_INVALID_PARAMETER
  Invalid,      // strict conversion met a sequence it cannot map: ERROR_NO_UNICODE_TRANSLATION
};

// Bytes of code page `cp` to UTF-16. Without `strict`, bytes that do not map become the code
// page's default Unicode character, as Windows does.
CodePageResult DecodeCodePage(unsigned cp, const char* src, size_t len, bool strict, std::u16string& out);

// UTF-16 to code page `cp`. Characters that do not map become `defaultChar` (the code page's own
// default when null); `usedDefault`, when given, tells whether that happened.
CodePageResult EncodeCodePage(unsigned cp, const char16_t* src, size_t len, const char* defaultChar,
                              bool* usedDefault, std::string& out);

}  // namespace qvp
