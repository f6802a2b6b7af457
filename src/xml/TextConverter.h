// Converts text between a file's encoding and UTF-16, by encoding name. Code page 1200 stands for
// UTF-16 (the document's own form), 65001 for UTF-8 and 65005 for 32-bit code points.
#pragma once

#include <string>
#include <string_view>

// The Windows code page known by `name` (ASCII case ignored): 0 for an empty name, 65005 for a name
// beginning with "UTF-32" in exactly that case, -1 when unknown or 100 units long or longer.
int codePageForName(std::u16string_view name);

class TextConverter {
 public:
  // Unknown names convert with the system's ANSI code page.
  TextConverter(std::u16string_view fromEncoding, std::u16string_view toEncoding);

  // Bytes of the from-encoding to UTF-16, appended to `out`.
  bool toUtf16(const char* src, size_t length, std::u16string& out);
  // UTF-16 to bytes of the to-encoding, appended to `out`; characters without a representation
  // are counted in lostCount().
  bool fromUtf16(const char16_t* src, size_t length, std::string& out);
  // Between two byte encodings, through UTF-16.
  bool convert(const char* src, size_t length, std::string& out);

  int lostCount() const { return m_lost; }
  static bool IsUtf16(int codePage) { return codePage == 1200; }

 private:
  std::u16string m_from;
  std::u16string m_to;
  int m_fromPage;
  int m_toPage;
  int m_lost = 0;
};
