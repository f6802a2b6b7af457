#include "xml/TreeChecker.h"

#include <sstream>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlNodeScanner.h"

namespace qvtest {
namespace {

struct Checker {
  const XmlDocument& doc;
  const std::u16string& text;
  const ElementTree& tree;
  std::vector<char> seen;
  std::ostringstream problem;

  explicit Checker(const XmlDocument& d)
      : doc(d), text(d.text()), tree(d.tree()), seen(static_cast<size_t>(d.freeIndex()), 0) {}

  bool fail(int index, const char* what) {
    const ElementRecord& r = tree[index];
    problem << "record " << index << ": " << what << " (start " << r.start << ", length " << r.length
            << ", tags " << r.startTagLength() << "/" << r.endTagLength() << ", flags 0x" << std::hex << r.flags
            << std::dec << ")";
    return false;
  }

  std::u16string_view nameAt(int offset, int limit) const {
    return std::u16string_view(text).substr(static_cast<size_t>(offset),
                                            static_cast<size_t>(ScannedNameLength(text.data() + offset, limit)));
  }

  bool checkElement(int i, int level, long lower, long upper) {
    const ElementRecord& r = tree[i];
    long size = static_cast<long>(text.size());
    int stl = r.startTagLength();
    int etl = r.endTagLength();
    if (r.flags & ElementRecord::kDeleted) return fail(i, "deleted record linked");
    if (r.level() != (level > 0xFFFF ? 0xFFFF : level)) return fail(i, "wrong level");
    if (r.start < lower || static_cast<long>(r.start) + r.length > upper || r.start + r.length > size)
      return fail(i, "outside its parent or after its previous sibling");
    if (stl < 2 || r.length < stl + etl) return fail(i, "lengths do not add up");
    if (text[r.start] != u'<' || text[r.start + stl - 1] != u'>') return fail(i, "start tag not delimited");
    std::u16string_view name = nameAt(r.start + 1, stl - 1);
    if (name.empty()) return fail(i, "empty tag name");
    if (etl > 0) {
      int end = r.start + r.length - etl;
      if (etl < 3 || text[end] != u'<' || text[end + 1] != u'/' || text[r.start + r.length - 1] != u'>')
        return fail(i, "end tag not delimited");
      if (!SameXmlName(nameAt(end + 2, etl - 2), name, (doc.docFlags() & XmlDocument::kIgnoreCase) != 0))
        return fail(i, "end tag names another element");
      if (r.flags & (ElementRecord::kEmptyElement | ElementRecord::kUnended)) return fail(i, "closed but marked open");
    } else {
      bool empty = (r.flags & ElementRecord::kEmptyElement) != 0;
      bool unended = (r.flags & ElementRecord::kUnended) != 0;
      if (r.length != stl || empty == unended) return fail(i, "no end tag but neither empty nor unended");
      if (empty && text[r.start + stl - 2] != u'/') return fail(i, "empty element without '/>'");
      if (r.child) return fail(i, "element without end tag has children");
    }
    return true;
  }

  // Checks the children of `parent` and, depth first, theirs.
  bool checkChildren(int parent, int level, long lower, long upper) {
    int first = tree[parent].child;
    if (!first) return true;
    int prev = 0;
    int count = 0;
    for (int i = first; i; i = tree[i].next) {
      if (i < 1 || i >= doc.freeIndex()) return fail(parent, "link out of range");
      if (seen[static_cast<size_t>(i)]) return fail(i, "reached twice");
      seen[static_cast<size_t>(i)] = 1;
      const ElementRecord& r = tree[i];
      if (r.parent != parent) return fail(i, "wrong parent");
      if (((r.flags & ElementRecord::kFirstChild) != 0) != (i == first)) return fail(i, "first-child mark wrong");
      if (i != first && r.prev != prev) return fail(i, "prev is not the previous sibling");
      if (!checkElement(i, level, lower, upper)) return false;
      lower = r.start + r.length;
      if (r.child && !checkChildren(i, level + 1, r.start + r.startTagLength(), r.start + r.length - r.endTagLength()))
        return false;
      prev = i;
      ++count;
    }
    if (tree[first].prev != prev) return fail(first, "first child's prev is not the last child");
    return true;
  }

  bool run() {
    if (doc.freeIndex() < 1 || (doc.freeIndex() > 1 && tree.size() < doc.freeIndex())) {
      problem << "free index " << doc.freeIndex() << " beyond tree size " << tree.size();
      return false;
    }
    if (doc.freeIndex() == 1) return true;
    if (tree[0].length != static_cast<int>(text.size())) return fail(0, "document length is not the text length");
    if (!checkChildren(0, 0, 0, static_cast<long>(text.size()))) return false;
    for (int i = 1; i < doc.freeIndex(); ++i)
      if (!seen[static_cast<size_t>(i)] && !(tree[i].flags & ElementRecord::kDeleted))
        return fail(i, "not reachable from the document");
    return true;
  }
};

}  // namespace

std::string CheckTree(const XmlDocument& doc) {
  Checker checker(doc);
  return checker.run() ? std::string() : checker.problem.str();
}

}  // namespace qvtest
