// Element records of an XmlDocument: offsets into the document text only, kept in segments of
// 65,536 records so that a large document never moves its records wholesale.
#pragma once

#include <cstdint>
#include <memory>

struct ElementRecord {
  int32_t start;        // offset of the start tag's '<'
  int32_t length;       // from the start tag's '<' to the end tag's '>'
  uint32_t tagLengths;  // low 22 bits: start-tag length; high 10 bits: end-tag length
  uint32_t flags;       // low 16 bits: nesting level; the rest: the ElementFlag bits
  int32_t parent;       // 0: top level
  int32_t child;        // first child, 0: none
  int32_t next;         // next sibling, 0: last
  int32_t prev;         // previous sibling; on the first child, the last child

  int startTagLength() const { return static_cast<int>(tagLengths & 0x3FFFFF); }
  int endTagLength() const { return static_cast<int>(tagLengths >> 22); }
  void setTagLengths(int startTag, int endTag) {
    tagLengths = (static_cast<uint32_t>(startTag) & 0x3FFFFF) | (static_cast<uint32_t>(endTag) << 22);
  }
  int level() const { return static_cast<int>(flags & kLevelMask); }
  void setLevel(int level) {
    // Deeper nesting than the field holds stays at its maximum.
    uint32_t l = level > static_cast<int>(kLevelMask) ? kLevelMask : static_cast<uint32_t>(level);
    flags = (flags & ~kLevelMask) | l;
  }
  int contentStart() const { return start + startTagLength(); }
  int contentLength() const { return length - startTagLength() - endTagLength(); }

  static constexpr uint32_t kLevelMask = 0xFFFF;
  static constexpr uint32_t kEmptyElement = 0x10000;
  static constexpr uint32_t kDeleted = 0x20000;
  static constexpr uint32_t kFirstChild = 0x80000;
  static constexpr uint32_t kUnended = 0x100000;
  static constexpr uint32_t kIllFormedData = 0x200000;
  static constexpr uint32_t kDocumentIllFormed = 0x800000;  // record 0 only
  static constexpr int kMaxEndTagLength = 0x3FF;
  static constexpr int kMaxStartTagLength = 0x3FFFFF;
};

class ElementTree {
 public:
  static constexpr int kSegmentBits = 16;
  static constexpr int kSegmentSize = 1 << kSegmentBits;

  ElementTree() = default;
  ElementTree(const ElementTree&) = delete;
  ElementTree& operator=(const ElementTree&) = delete;

  // Number of records reserved.
  int size() const { return m_size; }
  // Makes room for `count` records; existing records keep their contents. False when out of memory.
  bool grow(int count);
  // Releases every segment.
  void release();

  ElementRecord& operator[](int i) { return m_segments[i >> kSegmentBits][i & (kSegmentSize - 1)]; }
  const ElementRecord& operator[](int i) const { return m_segments[i >> kSegmentBits][i & (kSegmentSize - 1)]; }

 private:
  std::unique_ptr<std::unique_ptr<ElementRecord[]>[]> m_segments;
  int m_size = 0;          // records reserved
  int m_segmentSlots = 0;  // capacity of m_segments
};
