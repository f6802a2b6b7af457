// A small XML document: the whole text as UTF-16 in memory and, beside it, a tree of element
// records that only hold offsets into that text.
#pragma once

#include <string>

#include "xml/ElementTree.h"

class XmlDocument {
 public:
  // Document flags.
  enum : int {
    kUtf16LE = 0x01,         // file written with the FF FE mark
    kUtf8Bom = 0x04,         // UTF-8 file written with the EF BB BF mark
    kIgnoreCase = 0x08,      // tag names compare without regard to ASCII case
    kReadingFile = 0x10,     // a streamed read is in progress
    kWritingFile = 0x20,     // a streamed write is in progress
    kAppendFile = 0x40,      // writes append to an existing file
    kUtf16BE = 0x80,         // file written with the FE FF mark
  };
  // addElement flags.
  enum : int {
    kAddCdata = 0x01,        // the value as a CDATA section
    kAddNoLineEnd = 0x02,    // no CR LF after the element
    kAddSpacedEmpty = 0x04,  // an empty element as <name />
    kAddKeepRefs = 0x08,     // character and entity references in the value are kept
    kAddStartOnly = 0x10,    // start tag only (empty value only)
    kAddChild = 0x4000,      // as the last child of the current element
  };

  XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the text (empty for null) and parses it; the answer is isWellFormed().
  bool setDocument(const char16_t* text);
  bool load(const std::u16string& path);
  bool save(const std::u16string& path);
  bool findElement(const char16_t* name);
  std::u16string elementContent() const;
  bool addElement(const char16_t* name, const char16_t* value, int flags = 0);
  bool isWellFormed() const;

  const std::u16string& text() const { return m_text; }
  const std::u16string& results() const { return m_results; }
  int docFlags() const { return m_docFlags; }
  void setDocFlags(int flags) { m_docFlags = flags; }
  const ElementTree& tree() const { return m_tree; }
  int freeIndex() const { return m_freeIndex; }
  int currentIndex() const { return m_currentIndex; }
  int parentIndex() const { return m_parentIndex; }

 private:
  struct OpenElement;
  class TreeBuilder;

  bool parseDocument();
  void resetPosition();
  int takeRecord();
  void linkLastChild(int parent, int index);
  bool nameMatches(const ElementRecord& record, const char16_t* name, size_t nameLength) const;
  int insertionOffset(int parent, int after, int flags) const;
  void insertText(int offset, int erase, const std::u16string& markup);
  void openEmptyElement(int index);

  std::u16string m_text;
  std::u16string m_results;
  int m_parentIndex = 0;
  int m_currentIndex = 0;
  int m_freeIndex = 1;
  int m_deletedIndex = 0;
  int m_nodeType = 0;
  int m_docFlags = 0;
  ElementTree m_tree;
};
