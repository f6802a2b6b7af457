// Loading and saving documents as files in their encodings, with real files in a private folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/TempFolder.h"
#include "xml/TextConverter.h"
#include "xml/TreeChecker.h"
#include "xml/XmlDocument.h"
#include "xml/XmlTextFile.h"

namespace fs = std::filesystem;

namespace {

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

class XmlFiles : public ::testing::Test {
 protected:
  void TearDown() override { qvplatform::testing::SetACP(0); }
  std::u16string Path(const char* name) const { return (dir_ / name).u16string(); }
  void Put(const char* name, const std::string& bytes) { temp_.Put(name, bytes); }
  std::string Get(const char* name) const { return temp_.Get(name); }
  // Loads `bytes` as a file and returns the text; `flags` receives the document flags.
  std::u16string Load(const std::string& bytes, int* flags = nullptr, std::u16string* results = nullptr) {
    Put("in.xml", bytes);
    XmlDocument doc;
    doc.load(Path("in.xml"));
    EXPECT_EQ(qvtest::CheckTree(doc), "");
    if (flags) *flags = doc.docFlags();
    if (results) *results = doc.results();
    return doc.text();
  }

  qvtest::TempFolder temp_{"qv-xmlfile"};
  const fs::path& dir_ = temp_.Path();
};

TEST_F(XmlFiles, ByteOrderMarksSetFlagsAndAreDropped) {
  int flags = 0;
  std::u16string results;
  EXPECT_EQ(Load("\xEF\xBB\xBF<a>1</a>", &flags, &results), u"<a>1</a>");
  EXPECT_EQ(flags, XmlDocument::kUtf8Bom);
  EXPECT_EQ(results, u"<bom/><read encoding=\"UTF-8\" length=\"8\"/><converted_to encoding=\"UTF-16\" length=\"8\"/>");

  EXPECT_EQ(Load(std::string("\xFF\xFE<\0a\0/\0>\0\x2d\x4e", 12), &flags, &results), u"<a/>\u4e2d");
  EXPECT_EQ(flags, XmlDocument::kUtf16LE);
  EXPECT_EQ(results, u"<bom/><read encoding=\"UTF-16LE\" length=\"5\"/>");

  EXPECT_EQ(Load(std::string("\xFE\xFF\0<\0a\0/\0>\x4e\x2d", 12), &flags, &results), u"<a/>\u4e2d");
  EXPECT_EQ(flags, XmlDocument::kUtf16BE);
  EXPECT_EQ(results, u"<bom/><read encoding=\"UTF-16BE\" length=\"5\"/><endian_swap/>");
}

TEST_F(XmlFiles, EmptyFileLoadsAsEmptyText) {
  Put("empty.xml", "");
  XmlDocument doc;
  EXPECT_FALSE(doc.load(Path("empty.xml")));
  EXPECT_EQ(doc.text(), u"");
  EXPECT_EQ(doc.results(), u"<read encoding=\"\" length=\"0\"/>");
}

TEST_F(XmlFiles, MissingFileReportsTheSystemError) {
  XmlDocument doc;
  ASSERT_TRUE(doc.setDocument(u"<old>1</old>"));
  EXPECT_FALSE(doc.load(Path("missing.xml")));
  EXPECT_EQ(doc.results(), u"<file_error msg=\"The system cannot find the file specified.\" n=\"2\"/>");
  EXPECT_EQ(doc.text(), u"");
  EXPECT_FALSE(doc.findElement(u"old"));  // no record points into the emptied text
  EXPECT_EQ(qvtest::CheckTree(doc), "");
  EXPECT_FALSE(doc.load(Path("no/such/folder.xml")));
  EXPECT_EQ(doc.results(), u"<file_error msg=\"The system cannot find the path specified.\" n=\"3\"/>");
  EXPECT_FALSE(doc.load(dir_.u16string()));  // a folder
  EXPECT_EQ(doc.results(), u"<file_error msg=\"Access is denied.\" n=\"5\"/>");
}

TEST_F(XmlFiles, EncodingComesFromTheDeclarationOrTheUtf8Check) {
  qvplatform::testing::SetACP(1252);
  std::u16string results;
  // Declared: converted with 936 even though the bytes would pass as UTF-8.
  EXPECT_EQ(Load("<?xml version=\"1.0\" encoding=\"gb2312\"?><a>\xC4\xE3</a>", nullptr, &results),
            u"<?xml version=\"1.0\" encoding=\"gb2312\"?><a>\u4f60</a>");
  EXPECT_EQ(Narrow(results), "<read encoding=\"gb2312\" length=\"48\"/><converted_to encoding=\"UTF-16\" length=\"47\"/>");
  // First byte '<': UTF-8 without the check, so GBK bytes become replacement characters.
  EXPECT_EQ(Load("<a>\xC4\xE3</a>"), u"<a>\ufffd\ufffd</a>");
  // Neither: the UTF-8 check decides.
  EXPECT_EQ(Load(" <a>\xE4\xBD\xA0</a>", nullptr, &results), u" <a>\u4f60</a>");
  EXPECT_EQ(results, u"<read encoding=\"UTF-8\" length=\"11\"/><utf8_detection/>"
                     u"<converted_to encoding=\"UTF-16\" length=\"9\"/>");
  // Not UTF-8 and nothing declared: the ANSI code page.
  qvplatform::testing::SetACP(936);
  EXPECT_EQ(Load(" <a>\x81\x40</a>"), u" <a>\u4e02</a>");
  // An html meta names the charset.
  EXPECT_NE(Load("<html><head><meta http-equiv=\"content-type\" content=\"text/html; charset=big5\">"
                 "</head><body>\xA4\xA4</body></html>")
                .find(u"<body>\u4e2d</body>"),
            std::u16string::npos);
}

TEST_F(XmlFiles, NullUnitsAreRemoved) {
  std::u16string results;
  EXPECT_EQ(Load(std::string("<a>1\0\0</a>", 10), nullptr, &results), u"<a>1</a>");
  EXPECT_NE(results.find(u"<nulls_removed count=\"2\"/>"), std::u16string::npos);
}

TEST_F(XmlFiles, SavedWithFlagsZeroIsUtf8WithoutMark) {
  XmlDocument doc;
  doc.addElement(u"a", u"\u4f60\u597d");
  ASSERT_TRUE(doc.save(Path("out.xml")));
  EXPECT_EQ(Get("out.xml"), "<a>\xE4\xBD\xA0\xE5\xA5\xBD</a>\r\n");
  EXPECT_EQ(doc.results(), u"<converted_from encoding=\"UTF-16\" length=\"11\"/><write encoding=\"UTF-8\" length=\"15\"/>");
  EXPECT_EQ(doc.docFlags(), 0);
}

TEST_F(XmlFiles, SaveFollowsMarksAndDeclaration) {
  XmlDocument doc;
  doc.setDocument(u"<a>\u4e2d</a>");
  doc.setDocFlags(XmlDocument::kUtf16LE);
  ASSERT_TRUE(doc.save(Path("le.xml")));
  EXPECT_EQ(Get("le.xml"), std::string("\xFF\xFE<\0a\0>\0\x2d\x4e<\0/\0a\0>\0", 18));
  doc.setDocFlags(XmlDocument::kUtf16BE);
  ASSERT_TRUE(doc.save(Path("be.xml")));
  EXPECT_EQ(Get("be.xml"), std::string("\xFE\xFF\0<\0a\0>\x4e\x2d\0<\0/\0a\0>", 18));
  doc.setDocFlags(XmlDocument::kUtf8Bom);
  ASSERT_TRUE(doc.save(Path("bom.xml")));
  EXPECT_EQ(Get("bom.xml"), "\xEF\xBB\xBF<a>\xE4\xB8\xAD</a>");

  doc.setDocFlags(0);
  doc.setDocument(u"<?xml version=\"1.0\" encoding=\"GBK\"?><a>\u4e2d\u00e9</a>");
  ASSERT_TRUE(doc.save(Path("gbk.xml")));
  EXPECT_EQ(Get("gbk.xml"), "<?xml version=\"1.0\" encoding=\"GBK\"?><a>\xD6\xD0\xA8\xA6</a>");
  doc.setDocument(u"<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><a>\u4e2d</a>");
  ASSERT_TRUE(doc.save(Path("latin1.xml")));
  EXPECT_EQ(Get("latin1.xml"), "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><a>?</a>");
  EXPECT_NE(doc.results().find(u"<conversion_loss/>"), std::u16string::npos);

  // What was saved loads back to the same text.
  XmlDocument back;
  back.load(Path("gbk.xml"));
  EXPECT_EQ(back.text(), u"<?xml version=\"1.0\" encoding=\"GBK\"?><a>\u4e2d\u00e9</a>");
  back.load(Path("be.xml"));
  EXPECT_EQ(back.text(), u"<a>\u4e2d</a>");
}

TEST_F(XmlFiles, AnUnknownDeclaredEncodingIsWrittenInTheAnsiCodePage) {
  Put("doc.xml", "previous contents");
  XmlDocument doc;
  doc.setDocument(u"<?xml version=\"1.0\" encoding=\"no-such-charset\"?><a>\u4e2d</a>");
  EXPECT_TRUE(doc.save(Path("doc.xml"))) << Narrow(doc.results());
  EXPECT_EQ(Get("doc.xml"), "<?xml version=\"1.0\" encoding=\"no-such-charset\"?><a>\xE4\xB8\xAD</a>");
}

TEST_F(XmlFiles, AFileTooLargeForADocumentFailsToLoadWithoutAllocatingIt) {
  Put("huge.xml", "<a/>");
  fs::resize_file(dir_ / "huge.xml", std::uintmax_t{64} << 30);  // sparse: takes no disk space
  XmlDocument doc;
  EXPECT_FALSE(doc.load(Path("huge.xml")));
  EXPECT_TRUE(doc.text().empty());
  EXPECT_NE(doc.results().find(u"file_error"), std::u16string::npos) << Narrow(doc.results());
}

TEST_F(XmlFiles, AppendModeWritesTheMarkOnlyIntoAnEmptyFile) {
  int flags = XmlDocument::kAppendFile | XmlDocument::kUtf8Bom;
  std::u16string results;
  ASSERT_TRUE(writeTextFile(Path("log.xml"), u"<a/>", results, flags));
  EXPECT_EQ(flags, XmlDocument::kUtf8Bom);
  flags |= XmlDocument::kAppendFile;
  ASSERT_TRUE(writeTextFile(Path("log.xml"), u"<b/>", results, flags));
  EXPECT_EQ(Get("log.xml"), "\xEF\xBB\xBF<a/><b/>");
  // Reading never appends: the flag only goes away when the file is closed.
  XmlDocument doc;
  doc.setDocFlags(XmlDocument::kAppendFile);
  EXPECT_FALSE(doc.load(Path("log.xml")));  // two top-level elements
  EXPECT_EQ(doc.text(), u"<a/><b/>");
  EXPECT_EQ(doc.docFlags(), XmlDocument::kUtf8Bom);
  EXPECT_EQ(Get("log.xml"), "\xEF\xBB\xBF<a/><b/>");
}

TEST(XmlEncodings, Utf8CheckFollowsTheLeadByteRule) {
  auto check = [](const std::string& s, bool* atEnd = nullptr) {
    return detectUtf8(reinterpret_cast<const unsigned char*>(s.data()), s.size(), atEnd);
  };
  EXPECT_TRUE(check("plain"));
  EXPECT_TRUE(check("\xE4\xBD\xA0\xF0\x9F\x98\x80"));
  EXPECT_TRUE(check("\xC4\xE3 "));           // GBK bytes may pass: only the top bit of a follow byte counts
  EXPECT_FALSE(check("\x81\x40"));           // GBK: follow byte without the top bit
  EXPECT_FALSE(check("\xF8\x80\x80\x80\x80"));  // 0x20, 0x10 and 0x08 all set
  EXPECT_TRUE(check("\x80\x80"));            // the lead byte alone decides the length
  bool atEnd = false;
  EXPECT_FALSE(check("ab\xE4\xBD", &atEnd));
  EXPECT_TRUE(atEnd);
  EXPECT_FALSE(check("\xE4\x41\xBD", &atEnd));
  EXPECT_FALSE(atEnd);
  EXPECT_TRUE(check(std::string("ok\0\xFF", 4)));  // stops at the first zero byte
}

TEST(XmlEncodings, NamesFindTheirCodePages) {
  struct Row {
    const char16_t* name;
    int codePage;
  } rows[] = {
      {u"utf-8", 65001},     {u"UTF8", 65001},         {u"utf-16", 1200},     {u"utf-16le", 1200},
      {u"unicode", 1200},    {u"ucs-2", 1200},         {u"utf-16be", 1201},   {u"unicodeFFFE", 1201},
      {u"utf-32", 12000},    {u"UTF-32", 65005},       {u"UTF-32BE", 65005},  {u"us-ascii", 20127},
      {u"ascii", 20127},     {u"iso-8859-1", 28591},   {u"Latin1", 28591},    {u"windows-1252", 1252},
      {u"cp1252", 1252},     {u"gb2312", 936},         {u"GBK", 936},         {u"gb18030", 54936},
      {u"hz-gb-2312", 52936}, {u"big5", 950},          {u"Shift_JIS", 932},   {u"euc-jp", 20932},
      {u"euc-kr", 51949},    {u"koi8-r", 20866},       {u"", 0},              {u"no-such-charset", -1},
  };
  for (const Row& row : rows) EXPECT_EQ(codePageForName(row.name), row.codePage) << Narrow(row.name);
  EXPECT_EQ(codePageForName(std::u16string(100, u'a')), -1);
}

TEST(XmlEncodings, DeclaredEncodingScan) {
  EXPECT_EQ(declaredEncoding(u"<?xml version='1.0' encoding='Big5'?><a/>"), u"Big5");
  EXPECT_EQ(declaredEncoding(u"<?xml version='1.0'?><?xml encoding='x'?>"), u"");
  EXPECT_EQ(declaredEncoding(u" <?xml encoding='x'?><a/>"), u"");  // not at offset 0
  EXPECT_EQ(declaredEncoding(u"<!DOCTYPE html><HTML><HEAD><META HTTP-EQUIV='Content-Type' "
                             u"CONTENT='text/html;charset = koi8-r'></HEAD></HTML>"),
            u"koi8-r");
  EXPECT_EQ(declaredEncoding(u"<html><head></head><meta http-equiv='Content-Type' content='charset=x'>"), u"");
  EXPECT_EQ(declaredEncoding(u"<body><meta http-equiv='Content-Type' content='charset=x'>"), u"");
}

TEST(XmlEncodings, ConverterBetweenByteEncodings) {
  TextConverter converter(u"gbk", u"big5");
  std::string out;
  ASSERT_TRUE(converter.convert("\xD6\xD0", 2, out));
  EXPECT_EQ(out, "\xA4\xA4");
  TextConverter points(u"UTF-16", u"UTF-32");
  out.clear();
  const char16_t smile[] = u"a\U0001F600";
  ASSERT_TRUE(points.fromUtf16(smile, 3, out));
  EXPECT_EQ(out, std::string("a\0\0\0\x00\xF6\x01\x00", 8));
  std::u16string back;
  ASSERT_TRUE(TextConverter(u"UTF-32", u"UTF-16").toUtf16(out.data(), out.size(), back));
  EXPECT_EQ(back, smile);
}

}  // namespace
