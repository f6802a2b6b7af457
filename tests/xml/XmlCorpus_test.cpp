// Every XML file that Debian packages install in the usual places loads with a consistent tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "xml/TreeChecker.h"
#include "xml/XmlDocument.h"

namespace fs = std::filesystem;

namespace {

// shared-mime-info, xml-core, iso-codes, fontconfig, xkb-data, glib and dbus install these.
const char* const kFolders[] = {"/usr/share/xml",          "/usr/share/mime",  "/usr/share/X11/xkb/rules",
                                "/usr/share/glib-2.0/schemas", "/usr/share/dbus-1", "/usr/share/fontconfig",
                                "/etc/fonts"};

std::vector<fs::path> CorpusFiles() {
  std::vector<fs::path> files;
  for (const char* folder : kFolders) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      std::string ext = it->path().extension().string();
      if (it->is_regular_file(ec) && (ext == ".xml" || ext == ".conf" || ext == ".xsd"))
        files.push_back(it->path());
    }
  }
  return files;
}

TEST(XmlCorpus, InstalledXmlFilesLoadWellFormedWithConsistentTrees) {
  std::vector<fs::path> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no XML files installed in the corpus folders";
  size_t wellFormed = 0;
  std::vector<std::string> illFormed;
  for (const fs::path& file : files) {
    XmlDocument doc;
    bool ok = doc.load(file.u16string());
    ASSERT_EQ(qvtest::CheckTree(doc), "") << file;
    if (ok) {
      ++wellFormed;
      // The root and every element under it can be walked.
      ASSERT_TRUE(doc.findElement(u""));
    } else if (!doc.text().empty()) {
      illFormed.push_back(file.string() + ": " + std::string(doc.results().begin(), doc.results().end()));
    }
  }
  std::string list;
  for (const std::string& f : illFormed) list += f + "\n";
  EXPECT_TRUE(illFormed.empty()) << illFormed.size() << " of " << files.size() << " files not well formed:\n" << list;
  RecordProperty("files", static_cast<int>(files.size()));
  RecordProperty("well_formed", static_cast<int>(wellFormed));
}

}  // namespace
