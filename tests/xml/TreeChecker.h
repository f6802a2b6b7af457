// Walks every element record of a document and checks it against the text: positions and
// lengths, tags at both ends, levels, and the parent, child and sibling links.
#pragma once

#include <string>

class XmlDocument;

namespace qvtest {

// Empty when the tree is consistent; otherwise what is wrong, for the failure message.
std::string CheckTree(const XmlDocument& doc);

}  // namespace qvtest
