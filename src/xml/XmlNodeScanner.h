// Splits XML text into nodes one at a time: tags, text, whitespace, CDATA sections, processing
// instructions, comments and document types, with the syntax errors it meets on the way.
#pragma once

#include <string>
#include <string_view>

enum XmlNodeKind {
  kXmlEndOfText = -2,
  kXmlError = -1,
  kXmlEndTag = 0,
  kXmlStartTag = 1,
  kXmlText = 2,
  kXmlWhitespace = 4,
  kXmlCdata = 8,
  kXmlProcessingInstruction = 16,
  kXmlComment = 32,
  kXmlDocumentType = 64,
};

struct XmlNode {
  int kind = kXmlEndOfText;
  int offset = 0;
  int length = 0;
  bool emptyElement = false;  // start tags only: <a/>
};

class XmlNodeScanner {
 public:
  XmlNodeScanner(const char16_t* text, int length) : m_text(text), m_length(length) {}

  // Scans the node at the current offset and moves past it. Syntax errors are reported into
  // `results` when it is given.
  int next(XmlNode& node, std::u16string* results);
  int offset() const { return m_offset; }

 private:
  bool startTag(XmlNode& node);
  int find(int from, std::u16string_view what) const;
  bool startsAt(int at, std::u16string_view what) const;
  bool doctype(XmlNode& node, std::u16string* results);
  void error(XmlNode& node, int length, const char16_t* result, std::u16string* results);
  void unterminated(XmlNode& node, const char16_t* type, std::u16string* results);

  const char16_t* m_text;
  int m_length;
  int m_offset = 0;
};

inline bool IsXmlSpace(char16_t c) { return c == u' ' || c == u'\n' || c == u'\r' || c == u'\t'; }

// Length of the tag name that starts at `text[0]`, as the scanner delimits it.
int ScannedNameLength(const char16_t* text, int length);

// Whether `a` and `b` are the same name; with `foldCase`, ASCII letters fold together until an
// equal unit at or above 0x80 has been passed.
bool SameXmlName(std::u16string_view a, std::u16string_view b, bool foldCase);

// The value of attribute `name` (ASCII case ignored) inside the tag `tag`, raw.
bool FindXmlAttribute(std::u16string_view tag, std::u16string_view name, std::u16string_view& value);
