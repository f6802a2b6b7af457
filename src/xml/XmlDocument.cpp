#include "xml/XmlDocument.h"

#include <climits>
#include <vector>

#include "xml/XmlNodeScanner.h"
#include "xml/XmlReport.h"
#include "xml/XmlTextFile.h"

namespace {

constexpr int kNameBuckets = 23;
// Longer texts would overflow the records' 32-bit offsets.
constexpr size_t kMaxTextLength = INT_MAX / 2;
constexpr size_t kMaxNameLength = ElementRecord::kMaxEndTagLength - 3;

bool IsNameDelimiter(char16_t c) {
  switch (c) {
    case u'\t': case u'\n': case u'\r': case u' ': case u'!': case u'"': case u'\'': case u'/':
    case u';': case u'<': case u'=': case u'>': case u'?': case u'\\':
      return true;
    default:
      return false;
  }
}

int NameHash(const char16_t* name, int length, bool foldCase) {
  unsigned sum = 0;
  for (int i = 0; i < length; ++i) {
    char16_t c = name[i];
    if (foldCase && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    sum += c;
  }
  return static_cast<int>(sum % kNameBuckets);
}

size_t Length(const char16_t* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

}  // namespace

struct XmlDocument::OpenElement {
  int record;
  int nameOffset;
  int nameLength;
  int hash;
  int hashNext;  // stack index + 1 of the next open element lower down with the same hash
};

// One pass over the nodes of the text, keeping a stack of the open elements.
class XmlDocument::TreeBuilder {
 public:
  explicit TreeBuilder(XmlDocument& doc)
      : m_doc(doc), m_tree(doc.m_tree), m_text(doc.m_text.data()),
        m_foldCase((doc.m_docFlags & kIgnoreCase) != 0) {}

  void run() {
    int length = static_cast<int>(m_doc.m_text.size());
    XmlNodeScanner scanner(m_text, length);
    XmlNode node;
    for (;;) {
      switch (scanner.next(node, &m_doc.m_results)) {
        case kXmlEndOfText:
          unendAbove(-1, length);
          if (m_levelsStale) recomputeLevels();
          return;
        case kXmlStartTag: startTag(node); break;
        case kXmlEndTag: endTag(node); break;
        case kXmlError: markIllFormed(); break;
        default: break;
      }
    }
  }

 private:
  void markIllFormed() {
    m_tree[0].flags |= ElementRecord::kDocumentIllFormed;
    if (!m_stack.empty()) m_tree[m_stack.back().record].flags |= ElementRecord::kIllFormedData;
  }

  void startTag(const XmlNode& node) {
    int index = node.length <= ElementRecord::kMaxStartTagLength ? m_doc.takeRecord() : 0;
    if (!index) {
      markIllFormed();
      return;
    }
    int parent = m_stack.empty() ? 0 : m_stack.back().record;
    m_doc.linkLastChild(parent, index);
    ElementRecord& r = m_tree[index];
    r.start = node.offset;
    r.setLevel(static_cast<int>(m_stack.size()));
    r.setTagLengths(node.length, 0);
    if (node.emptyElement) {
      r.length = node.length;
      r.flags |= ElementRecord::kEmptyElement;
      return;
    }
    int nameLength = ScannedNameLength(m_text + node.offset + 1, node.length - 1);
    int hash = NameHash(m_text + node.offset + 1, nameLength, m_foldCase);
    m_stack.push_back({index, node.offset + 1, nameLength, hash, m_buckets[hash]});
    m_buckets[hash] = static_cast<int>(m_stack.size());
  }

  void endTag(const XmlNode& node) {
    const char16_t* name = m_text + node.offset + 2;
    int nameLength = ScannedNameLength(name, node.length - 2);
    std::u16string_view wanted(name, static_cast<size_t>(nameLength));
    int found = -1;
    if (node.length <= ElementRecord::kMaxEndTagLength) {
      for (int at = m_buckets[NameHash(name, nameLength, m_foldCase)]; at; at = m_stack[at - 1].hashNext) {
        const OpenElement& open = m_stack[at - 1];
        std::u16string_view candidate(m_text + open.nameOffset, static_cast<size_t>(open.nameLength));
        if (SameXmlName(candidate, wanted, m_foldCase)) {
          found = at - 1;
          break;
        }
      }
    }
    if (found < 0) {
      AddReport(m_doc.m_results, {u"lone_end_tag", u"tagname", wanted, u"offset", node.offset});
      markIllFormed();
      return;
    }
    unendAbove(found, node.offset);
    ElementRecord& r = m_tree[m_stack.back().record];
    r.length = node.offset + node.length - r.start;
    r.setTagLengths(r.startTagLength(), node.length);
    pop();
  }

  void pop() {
    m_buckets[m_stack.back().hash] = m_stack.back().hashNext;
    m_stack.pop_back();
  }

  // Every open element above stack index `keep` has no end tag: it keeps only its start tag and
  // its children become its following siblings, all under the element at `keep` (or the document).
  void unendAbove(int keep, int offset2) {
    int top = static_cast<int>(m_stack.size()) - 1;
    if (top <= keep) return;
    for (int j = top; j > keep; --j) {
      const OpenElement& open = m_stack[j];
      ElementRecord& r = m_tree[open.record];
      std::u16string_view name(m_text + open.nameOffset, static_cast<size_t>(open.nameLength));
      AddReport(m_doc.m_results, {u"unended_start_tag", u"tagname", name, u"offset", r.start, offset2});
      r.length = r.startTagLength();
      r.setTagLengths(r.startTagLength(), 0);
      r.flags |= ElementRecord::kUnended;
    }
    m_tree[0].flags |= ElementRecord::kDocumentIllFormed;

    int keeper = keep >= 0 ? m_stack[keep].record : 0;
    int tail = m_stack[keep + 1].record;  // the keeper's last child
    for (int j = keep + 1; j <= top; ++j) {
      int unended = m_stack[j].record;
      int child = m_tree[unended].child;
      m_tree[unended].child = 0;
      if (child) {
        m_tree[tail].next = child;
        m_tree[child].prev = tail;
        for (; child; child = m_tree[child].next) {
          m_tree[child].parent = keeper;
          m_tree[child].flags &= ~ElementRecord::kFirstChild;
          tail = child;
        }
      }
    }
    m_tree[tail].next = 0;
    m_tree[m_tree[keeper].child].prev = tail;
    while (static_cast<int>(m_stack.size()) - 1 > keep) pop();
    m_levelsStale = true;
  }

  void recomputeLevels() {
    int depth = 0;
    int i = m_tree[0].child;
    while (i) {
      m_tree[i].setLevel(depth);
      if (m_tree[i].child) {
        i = m_tree[i].child;
        ++depth;
        continue;
      }
      while (i && !m_tree[i].next) {
        i = m_tree[i].parent;
        --depth;
      }
      if (i) i = m_tree[i].next;
    }
  }

  XmlDocument& m_doc;
  ElementTree& m_tree;
  const char16_t* m_text;
  bool m_foldCase;
  bool m_levelsStale = false;
  std::vector<OpenElement> m_stack;
  int m_buckets[kNameBuckets] = {};
};

XmlDocument::XmlDocument() { setDocument(nullptr); }

bool XmlDocument::setDocument(const char16_t* text) {
  if (m_docFlags & (kReadingFile | kWritingFile)) return false;
  size_t length = Length(text);
  if (length > kMaxTextLength) return false;
  if (text) {
    m_text.assign(text, length);
  } else {
    m_text.clear();
    m_tree.release();
  }
  m_results.clear();
  return parseDocument();
}

void XmlDocument::resetPosition() {
  m_parentIndex = 0;
  m_currentIndex = 0;
  m_nodeType = 0;
}

bool XmlDocument::parseDocument() {
  resetPosition();
  m_freeIndex = 1;
  int reserve = static_cast<int>(m_text.size() / 64 + 8);
  if (m_tree.size() < reserve && !m_tree.grow(reserve) && m_tree.size() == 0) return false;
  m_deletedIndex = 0;
  m_tree[0] = ElementRecord();
  if (!m_text.empty()) {
    TreeBuilder(*this).run();
    m_tree[0].length = static_cast<int32_t>(m_text.size());
    int first = m_tree[0].child;
    if (!first)
      AddReport(m_results, {u"no_root_element"});
    else if (m_tree[first].next)
      AddReport(m_results, {u"root_has_sibling"});
  }
  resetPosition();
  return isWellFormed();
}

bool XmlDocument::isWellFormed() const {
  if (m_docFlags & kWritingFile) return true;
  bool illFormed = m_tree.size() > 0 && (m_tree[0].flags & ElementRecord::kDocumentIllFormed);
  if (m_docFlags & kReadingFile) return !illFormed;
  if (illFormed || m_tree.size() == 0) return false;
  int first = m_tree[0].child;
  return first && !m_tree[first].next;
}

bool XmlDocument::load(const std::u16string& path) {
  if (m_docFlags & (kReadingFile | kWritingFile)) return false;
  m_results.clear();
  if (!readTextFile(path, m_text, m_results, m_docFlags) || m_text.size() > kMaxTextLength) {
    // Records describing the previous text must not point into the emptied one.
    m_text.clear();
    m_freeIndex = 1;
    if (m_tree.size() > 0) m_tree[0] = ElementRecord();
    resetPosition();
    return false;
  }
  return parseDocument();
}

bool XmlDocument::save(const std::u16string& path) {
  if (m_docFlags & (kReadingFile | kWritingFile)) return false;
  m_results.clear();
  return writeTextFile(path, m_text, m_results, m_docFlags);
}

int XmlDocument::takeRecord() {
  if (m_freeIndex >= m_tree.size()) {
    if (m_tree.size() >= INT_MAX / 3 * 2) return 0;
    int grown = m_tree.size() + m_tree.size() / 2;
    if (grown < m_freeIndex + 8) grown = m_freeIndex + 8;
    if (!m_tree.grow(grown)) return 0;
  }
  int index = m_freeIndex++;
  m_tree[index] = ElementRecord();
  return index;
}

void XmlDocument::linkLastChild(int parent, int index) {
  ElementRecord& r = m_tree[index];
  r.parent = parent;
  r.next = 0;
  int first = m_tree[parent].child;
  if (!first) {
    m_tree[parent].child = index;
    r.prev = index;
    r.flags |= ElementRecord::kFirstChild;
  } else {
    int last = m_tree[first].prev;
    m_tree[last].next = index;
    r.prev = last;
    m_tree[first].prev = index;
  }
}

bool XmlDocument::nameMatches(const ElementRecord& record, const char16_t* name, size_t nameLength) const {
  const char16_t* tag = m_text.data() + record.start + 1;
  size_t limit = static_cast<size_t>(record.startTagLength() > 0 ? record.startTagLength() - 1 : 0);
  size_t n = 0;
  while (n < limit && !IsNameDelimiter(tag[n])) ++n;
  return SameXmlName(std::u16string_view(tag, n), std::u16string_view(name, nameLength),
                     (m_docFlags & kIgnoreCase) != 0);
}

bool XmlDocument::findElement(const char16_t* name) {
  if ((m_docFlags & kWritingFile) || m_freeIndex <= 1) return false;
  size_t nameLength = Length(name);
  if (nameLength && name[0] == u'/') return false;
  int candidate = m_currentIndex ? m_tree[m_currentIndex].next : m_tree[m_parentIndex].child;
  for (; candidate; candidate = m_tree[candidate].next) {
    const ElementRecord& r = m_tree[candidate];
    if (r.flags & ElementRecord::kDeleted) continue;
    if (nameLength == 0 || nameMatches(r, name, nameLength)) {
      m_parentIndex = r.parent;
      m_currentIndex = candidate;
      m_nodeType = 1;
      return true;
    }
  }
  return false;
}

std::u16string XmlDocument::elementContent() const {
  if ((m_docFlags & (kReadingFile | kWritingFile)) || !m_currentIndex) return std::u16string();
  const ElementRecord& r = m_tree[m_currentIndex];
  if (r.contentLength() <= 0) return std::u16string();
  return m_text.substr(static_cast<size_t>(r.contentStart()), static_cast<size_t>(r.contentLength()));
}

int XmlDocument::insertionOffset(int parent, int after, int flags) const {
  size_t offset;
  if (after) {
    offset = static_cast<size_t>(m_tree[after].start + m_tree[after].length);
  } else if (parent) {
    const ElementRecord& p = m_tree[parent];
    offset = static_cast<size_t>(p.start + p.length - p.endTagLength());
  } else {
    offset = m_text.size();
  }
  if (!(flags & kAddNoLineEnd)) {
    // A new element goes after the line end of the one before it.
    size_t end = offset;
    while (end < m_text.size() && IsXmlSpace(m_text[end])) ++end;
    if (end == m_text.size() || m_text[end] == u'<') offset = end;
  }
  return static_cast<int>(offset);
}

// Replaces [offset, offset + erase) by `markup`: later elements move, enclosing ones grow.
void XmlDocument::insertText(int offset, int erase, const std::u16string& markup) {
  size_t newLength = m_text.size() - static_cast<size_t>(erase) + markup.size();
  if (m_text.capacity() < newLength) m_text.reserve(newLength + newLength / 2 + 128);
  m_text.replace(static_cast<size_t>(offset), static_cast<size_t>(erase), markup);
  int delta = static_cast<int>(markup.size()) - erase;
  int editEnd = offset + erase;
  for (int i = 1; i < m_freeIndex; ++i) {
    ElementRecord& r = m_tree[i];
    if (r.start >= editEnd)
      r.start += delta;
    else if (r.start < offset && r.start + r.length > offset)
      r.length += delta;
  }
  m_tree[0].length = static_cast<int32_t>(m_text.size());
}

bool XmlDocument::addElement(const char16_t* name, const char16_t* value, int flags) {
  if (m_docFlags & kReadingFile) return false;
  size_t nameLength = Length(name);
  if (nameLength == 0 || nameLength > kMaxNameLength) return false;
  char16_t first = name[0];
  if (!((first >= u'a' && first <= u'z') || (first >= u'A' && first <= u'Z') || first == u':' || first == u'_' ||
        first >= 0x7B))
    return false;
  for (size_t i = 0; i < nameLength; ++i)
    if (IsNameDelimiter(name[i]) || name[i] == u'&') return false;
  std::u16string_view val(value ? value : u"", Length(value));
  if ((flags & kAddStartOnly) && !val.empty()) return false;
  if ((flags & kAddChild) && !m_currentIndex) return false;
  int parent = (flags & kAddChild) ? m_currentIndex : m_parentIndex;
  int after = (flags & kAddChild) ? 0 : m_currentIndex;
  if (parent && (m_tree[parent].flags & ElementRecord::kUnended)) return false;
  bool openParent = parent && (m_tree[parent].flags & ElementRecord::kEmptyElement);
  if (openParent) {
    const ElementRecord& p = m_tree[parent];
    if (static_cast<size_t>(ScannedNameLength(m_text.data() + p.start + 1, p.startTagLength() - 1)) > kMaxNameLength)
      return false;
  }

  std::u16string_view tagName(name, nameLength);
  std::u16string markup;
  int startTag = static_cast<int>(nameLength) + 2;
  int endTag = 0;
  uint32_t kind = 0;
  markup += u'<';
  markup += tagName;
  if (!val.empty()) {
    markup += u'>';
    if (flags & kAddCdata) {
      markup += u"<![CDATA[";
      for (size_t at = 0;;) {
        size_t split = val.find(u"]]>", at);
        markup += val.substr(at, split == std::u16string_view::npos ? split : split - at);
        if (split == std::u16string_view::npos) break;
        markup += u"]]]]><![CDATA[>";
        at = split + 3;
      }
      markup += u"]]>";
    } else {
      AppendEscaped(markup, val, false, (flags & kAddKeepRefs) != 0);
    }
    markup += u"</";
    markup += tagName;
    markup += u'>';
    endTag = static_cast<int>(nameLength) + 3;
  } else if (flags & kAddStartOnly) {
    markup += u'>';
    kind = ElementRecord::kUnended;
  } else {
    markup += (flags & kAddSpacedEmpty) ? u" />" : u"/>";
    startTag = static_cast<int>(markup.size());
    kind = ElementRecord::kEmptyElement;
  }
  int elementLength = static_cast<int>(markup.size());
  if (!(flags & kAddNoLineEnd)) markup += u"\r\n";
  if (m_text.size() + markup.size() + nameLength + 3 > kMaxTextLength) return false;

  int index = takeRecord();
  if (!index) return false;
  if (openParent) openEmptyElement(parent);
  int offset = insertionOffset(parent, after, flags);
  insertText(offset, 0, markup);

  ElementRecord& r = m_tree[index];
  r.start = offset;
  r.length = elementLength;
  r.setTagLengths(startTag, endTag);
  r.flags = kind;
  r.setLevel(parent ? m_tree[parent].level() + 1 : 0);
  if (after) {
    r.parent = parent;
    r.prev = after;
    r.next = m_tree[after].next;
    m_tree[after].next = index;
    if (r.next)
      m_tree[r.next].prev = index;
    else
      m_tree[m_tree[parent].child].prev = index;
  } else {
    linkLastChild(parent, index);
  }
  m_parentIndex = parent;
  m_currentIndex = index;
  m_nodeType = 1;
  return true;
}

// <p/> or <p /> becomes <p></p> (or <p ></p>) so that it can take children.
void XmlDocument::openEmptyElement(int index) {
  ElementRecord& p = m_tree[index];
  int startTag = p.startTagLength();
  std::u16string markup = m_text.substr(static_cast<size_t>(p.start), static_cast<size_t>(startTag - 2));
  int nameLength = ScannedNameLength(markup.data() + 1, static_cast<int>(markup.size()) - 1);
  markup += u'>';
  std::u16string name = markup.substr(1, static_cast<size_t>(nameLength));
  markup += u"</" + name + u">";
  int oldLength = p.length;
  insertText(p.start, oldLength, markup);
  ElementRecord& q = m_tree[index];
  q.length = static_cast<int>(markup.size());
  q.setTagLengths(startTag - 1, nameLength + 3);
  q.flags &= ~ElementRecord::kEmptyElement;
}
