// Fuzz target for the parser and addElement, with the tree checker as the oracle. Odd-length
// inputs are read as UTF-16 units, the others a byte per unit so that markup stays readable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "xml/TreeChecker.h"
#include "xml/XmlDocument.h"

namespace {

void Check(const XmlDocument& doc, const char* step) {
  std::string problem = qvtest::CheckTree(doc);
  if (problem.empty()) return;
  std::fprintf(stderr, "tree inconsistent after %s: %s\n", step, problem.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  if (size % 2) {
    for (size_t i = 1; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  } else {
    for (size_t i = 0; i < size; ++i) text += static_cast<char16_t>(data[i]);
  }
  // A zero unit would end the text early; keep what follows it.
  for (char16_t& c : text)
    if (c == 0) c = u' ';

  XmlDocument doc;
  doc.setDocFlags(size > 0 && (data[0] & 1) ? XmlDocument::kIgnoreCase : 0);
  bool wellFormed = doc.setDocument(text.c_str());
  Check(doc, "parsing");
  if (wellFormed && doc.tree()[0].child == 0) std::abort();

  // A few edits steered by the input's first bytes.
  const char16_t* names[] = {u"a", u"RoomID0", u"b"};
  const int flags[] = {0, XmlDocument::kAddChild, XmlDocument::kAddNoLineEnd, XmlDocument::kAddSpacedEmpty,
                       XmlDocument::kAddCdata, XmlDocument::kAddStartOnly, XmlDocument::kAddKeepRefs};
  for (size_t i = 0; i < 6 && i < size; ++i) {
    uint8_t b = data[i];
    if (b & 0x80) {
      doc.findElement((b & 0x40) ? nullptr : names[b % 3]);
    } else {
      int f = flags[b % 7];
      doc.addElement(names[(b >> 3) % 3], f == XmlDocument::kAddStartOnly ? u"" : u"v]]>&amp;<", f);
    }
    Check(doc, "an edit");
  }
  return 0;
}
