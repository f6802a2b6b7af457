#include "xml/XmlNodeScanner.h"

#include "xml/XmlReport.h"

namespace {

bool IsTagStart(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u':' || c == u'_' || c >= 0x7B;
}

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

int ScannedNameLength(const char16_t* text, int length) {
  int n = 0;
  while (n < length && !IsXmlSpace(text[n]) && text[n] != u'/' && text[n] != u'>') ++n;
  return n;
}

bool SameXmlName(std::u16string_view a, std::u16string_view b, bool foldCase) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) {
      if (a[i] >= 0x80) foldCase = false;
      continue;
    }
    if (!foldCase || FoldAscii(a[i]) != FoldAscii(b[i]) || FoldAscii(a[i]) < u'a' || FoldAscii(a[i]) > u'z')
      return false;
  }
  return true;
}

bool FindXmlAttribute(std::u16string_view tag, std::u16string_view name, std::u16string_view& value) {
  size_t i = 1;
  while (i < tag.size() && !IsXmlSpace(tag[i]) && tag[i] != u'>' && tag[i] != u'/') ++i;  // the tag name
  while (i < tag.size()) {
    while (i < tag.size() && (IsXmlSpace(tag[i]) || tag[i] == u'/' || tag[i] == u'?')) ++i;
    size_t nameStart = i;
    while (i < tag.size() && !IsXmlSpace(tag[i]) && tag[i] != u'=' && tag[i] != u'>' && tag[i] != u'/') ++i;
    std::u16string_view attr = tag.substr(nameStart, i - nameStart);
    if (attr.empty()) {
      if (i < tag.size() && tag[i] != u'=') return false;  // reached '>'
    }
    while (i < tag.size() && IsXmlSpace(tag[i])) ++i;
    if (i >= tag.size() || tag[i] != u'=') continue;  // an attribute without value
    ++i;
    while (i < tag.size() && IsXmlSpace(tag[i])) ++i;
    size_t valueStart, valueEnd;
    if (i < tag.size() && (tag[i] == u'"' || tag[i] == u'\'')) {
      char16_t quote = tag[i];
      valueStart = ++i;
      while (i < tag.size() && tag[i] != quote) ++i;
      valueEnd = i;
      if (i < tag.size()) ++i;
    } else {
      valueStart = i;
      while (i < tag.size() && !IsXmlSpace(tag[i]) && tag[i] != u'>') ++i;
      valueEnd = i;
    }
    if (SameXmlName(attr, name, true)) {
      value = tag.substr(valueStart, valueEnd - valueStart);
      return true;
    }
  }
  return false;
}

int XmlNodeScanner::find(int from, std::u16string_view what) const {
  std::u16string_view all(m_text, static_cast<size_t>(m_length));
  size_t at = all.find(what, static_cast<size_t>(from));
  return at == std::u16string_view::npos ? -1 : static_cast<int>(at);
}

// A comparison at one place, not a search to the end of the text.
bool XmlNodeScanner::startsAt(int at, std::u16string_view what) const {
  std::u16string_view all(m_text, static_cast<size_t>(m_length));
  return all.substr(static_cast<size_t>(at), what.size()) == what;
}

void XmlNodeScanner::error(XmlNode& node, int length, const char16_t* result, std::u16string* results) {
  if (results) AddReport(*results, {result, nullptr, {}, u"offset", node.offset});
  node.kind = kXmlError;
  node.length = length;
}

void XmlNodeScanner::unterminated(XmlNode& node, const char16_t* type, std::u16string* results) {
  if (results) AddReport(*results, {u"unterminated_tag_syntax", u"type", type, u"offset", node.offset});
  node.kind = kXmlError;
  node.length = m_length - node.offset;
}

bool XmlNodeScanner::startTag(XmlNode& node) {
  const char16_t* t = m_text;
  char16_t quote = 0;
  int unquotedValueStart = -1;  // where an unquoted attribute value began, -1 outside one
  bool afterEquals = false;
  for (int i = node.offset + 1; i < m_length; ++i) {
    char16_t c = t[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == u'>') {
      node.kind = kXmlStartTag;
      node.length = i + 1 - node.offset;
      node.emptyElement = t[i - 1] == u'/' && (unquotedValueStart < 0 || unquotedValueStart > i - 1);
      return true;
    }
    if (c == u'"' || c == u'\'') {
      quote = c;
      afterEquals = false;
      unquotedValueStart = -1;
    } else if (IsXmlSpace(c)) {
      unquotedValueStart = -1;
    } else if (c == u'=') {
      afterEquals = true;
      unquotedValueStart = -1;
    } else if (afterEquals) {
      afterEquals = false;
      unquotedValueStart = i;
    }
  }
  return false;
}

bool XmlNodeScanner::doctype(XmlNode& node, std::u16string* results) {
  const char16_t* t = m_text;
  char16_t quote = 0;
  for (int i = node.offset + 2; i < m_length; ++i) {
    char16_t c = t[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (c == u'>') {
      node.kind = kXmlDocumentType;
      node.length = i + 1 - node.offset;
      return true;
    } else if (c == u'[') {
      // The internal subset: declarations, comments, processing instructions and parameter
      // entity references up to the closing ']'.
      for (++i; i < m_length && t[i] != u']';) {
        if (IsXmlSpace(t[i])) {
          ++i;
        } else if (t[i] == u'%') {
          int end = find(i, u";");
          i = end < 0 ? m_length : end + 1;
        } else if (startsAt(i, u"<!--")) {
          int end = find(i + 4, u"-->");
          i = end < 0 ? m_length : end + 3;
        } else if (startsAt(i, u"<?")) {
          int end = find(i + 2, u"?>");
          i = end < 0 ? m_length : end + 2;
        } else if (i + 2 < m_length && t[i] == u'<' && t[i + 1] == u'!' &&
                   (t[i + 2] == u'A' || t[i + 2] == u'E' || t[i + 2] == u'N')) {
          char16_t q = 0;
          for (i += 3; i < m_length; ++i) {
            if (q) {
              if (t[i] == q) q = 0;
            } else if (t[i] == u'"' || t[i] == u'\'') {
              q = t[i];
            } else if (t[i] == u'>') {
              break;
            }
          }
          if (i < m_length) ++i;
        } else if (i + 2 >= m_length && t[i] == u'<') {
          i = m_length;  // cut off inside a declaration
        } else {
          XmlNode bad = node;
          bad.offset = i;
          error(bad, 0, u"doctype_tag_syntax", results);
          node.kind = kXmlError;
          node.length = i - node.offset;
          return true;
        }
      }
      if (i >= m_length) break;
    }
  }
  unterminated(node, u"document_type", results);
  return true;
}

int XmlNodeScanner::next(XmlNode& node, std::u16string* results) {
  node = XmlNode();
  node.offset = m_offset;
  if (m_offset >= m_length) {
    node.kind = kXmlEndOfText;
    return node.kind;
  }
  const char16_t* t = m_text;
  int i = m_offset;
  int left = m_length - i;
  if (t[i] != u'<') {
    bool spaceOnly = true;
    for (; i < m_length && t[i] != u'<'; ++i)
      if (spaceOnly && !IsXmlSpace(t[i])) spaceOnly = false;
    node.kind = spaceOnly ? kXmlWhitespace : kXmlText;
    node.length = i - node.offset;
  } else if (left < 2) {
    unterminated(node, u"tag", results);
  } else if (t[i + 1] == u'/') {
    int end = find(i + 2, u">");
    if (end < 0) {
      unterminated(node, u"end_tag", results);
    } else {
      node.kind = kXmlEndTag;
      node.length = end + 1 - i;
    }
  } else if (IsTagStart(t[i + 1])) {
    if (!startTag(node)) unterminated(node, u"start_tag", results);
  } else if (t[i + 1] == u'?') {
    int end = find(i + 2, u"?>");
    if (end < 0) {
      unterminated(node, u"processing_instruction", results);
    } else {
      node.kind = kXmlProcessingInstruction;
      node.length = end + 2 - i;
    }
  } else if (t[i + 1] != u'!') {
    error(node, 1, u"first_tag_syntax", results);
  } else if (left < 3) {
    unterminated(node, u"tag", results);
  } else if (t[i + 2] == u'-') {
    if (left < 4) {
      unterminated(node, u"tag", results);
    } else if (t[i + 3] != u'-') {
      error(node, 3, u"comment_tag_syntax", results);
    } else {
      int end = find(i + 4, u"-->");
      if (end < 0) {
        unterminated(node, u"comment", results);
      } else {
        node.kind = kXmlComment;
        node.length = end + 3 - i;
      }
    }
  } else if (t[i + 2] == u'[') {
    if (left < 4) {
      unterminated(node, u"tag", results);
    } else if (t[i + 3] != u'C') {
      error(node, 3, u"cdata_section_syntax", results);
    } else {
      int end = find(i + 4, u"]]>");
      if (end < 0) {
        unterminated(node, u"cdata_section", results);
      } else {
        node.kind = kXmlCdata;
        node.length = end + 3 - i;
      }
    }
  } else if (t[i + 2] == u'D') {
    doctype(node, results);
  } else {
    error(node, 2, u"exclamation_tag_syntax", results);
  }
  m_offset = node.offset + node.length;
  return node.kind;
}
