// The XML document in memory: parsing, searching, contents, adding elements and result texts.
#include "xml/XmlDocument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "xml/TreeChecker.h"

namespace {

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// Parses `text`, checks the tree and returns the answer of setDocument.
bool Parse(XmlDocument& doc, const char16_t* text) {
  bool ok = doc.setDocument(text);
  EXPECT_EQ(qvtest::CheckTree(doc), "") << Narrow(text);
  return ok;
}


TEST(XmlDocumentParse, WellFormedOnlyWithExactlyOneRoot) {
  XmlDocument doc;
  EXPECT_TRUE(Parse(doc, u"<a><b>1</b><c/></a>"));
  EXPECT_EQ(doc.results(), u"");
  EXPECT_FALSE(Parse(doc, u"<a/><b/>"));
  EXPECT_EQ(doc.results(), u"<root_has_sibling/>");
  EXPECT_FALSE(Parse(doc, u"just text"));
  EXPECT_EQ(doc.results(), u"<no_root_element/>");
  EXPECT_FALSE(Parse(doc, u""));
  EXPECT_EQ(doc.results(), u"");
  EXPECT_FALSE(Parse(doc, nullptr));
}

TEST(XmlDocumentParse, RecordsHoldOffsetsLevelsAndLinks) {
  XmlDocument doc;
  ASSERT_TRUE(Parse(doc, u"<r>\r\n <a x='>'>t</a>\r\n <b/>\r\n</r>"));
  const ElementTree& t = doc.tree();
  EXPECT_EQ(doc.freeIndex(), 4);
  EXPECT_EQ(t[0].child, 1);
  EXPECT_EQ(t[1].start, 0);
  EXPECT_EQ(t[1].length, static_cast<int>(doc.text().size()));
  EXPECT_EQ(t[1].startTagLength(), 3);
  EXPECT_EQ(t[1].endTagLength(), 4);
  EXPECT_EQ(t[2].start, 6);
  EXPECT_EQ(t[2].startTagLength(), 9);  // the quoted '>' does not end the tag
  EXPECT_EQ(t[2].level(), 1);
  EXPECT_TRUE(t[2].flags & ElementRecord::kFirstChild);
  EXPECT_EQ(t[2].prev, 3);  // the first child points at the last
  EXPECT_EQ(t[2].next, 3);
  EXPECT_EQ(t[3].prev, 2);
  EXPECT_TRUE(t[3].flags & ElementRecord::kEmptyElement);
  EXPECT_EQ(t[3].endTagLength(), 0);
}

TEST(XmlDocumentParse, EmptyElementTagRule) {
  XmlDocument doc;
  struct Case {
    const char16_t* text;
    bool empty;
  } cases[] = {
      {u"<a/>", true},          {u"<a />", true},        {u"<a b=\"c\"/>", true}, {u"<a b='c'/>", true},
      {u"<a b=c />", true},     {u"<a b=c/>", false},    {u"<a b=/>", false},     {u"<a b=c d/>", true},
      {u"<a b=\"/>\"/>", true},
  };
  for (const Case& c : cases) {
    Parse(doc, c.text);
    EXPECT_EQ((doc.tree()[1].flags & ElementRecord::kEmptyElement) != 0, c.empty) << Narrow(c.text);
  }
}

TEST(XmlDocumentParse, UnendedElementsGiveTheirChildrenToTheirParent) {
  XmlDocument doc;
  EXPECT_FALSE(Parse(doc, u"<r><a><b/><c></c></r>"));
  EXPECT_EQ(doc.results(), u"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"17\"/>");
  const ElementTree& t = doc.tree();
  EXPECT_TRUE(t[2].flags & ElementRecord::kUnended);
  EXPECT_EQ(t[2].length, 3);
  EXPECT_EQ(t[2].child, 0);
  EXPECT_EQ(t[2].next, 3);
  EXPECT_EQ(t[3].parent, 1);
  EXPECT_EQ(t[3].level(), 1);
  EXPECT_EQ(t[4].parent, 1);
  EXPECT_TRUE(t[0].flags & ElementRecord::kDocumentIllFormed);

  // Nested unended elements and their grandchildren all come up to the closed element.
  Parse(doc, u"<r><a><x><y></y></x><b><c/></r><z/>");
  EXPECT_EQ(doc.results(),
            u"<unended_start_tag tagname=\"b\" offset=\"20\" offset2=\"27\"/>"
            u"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"27\"/>"
            u"<root_has_sibling/>");

  // At the end of the text every open element is unended.
  EXPECT_FALSE(Parse(doc, u"<TipsIndex>3"));
  EXPECT_EQ(doc.results(), u"<unended_start_tag tagname=\"TipsIndex\" offset=\"0\" offset2=\"12\"/>");
  ASSERT_TRUE(doc.findElement(u"TipsIndex"));
  EXPECT_EQ(doc.elementContent(), u"");
}

TEST(XmlDocumentParse, DeepUnclosedNestingStaysLinear) {
  std::u16string text;
  for (int i = 0; i < 70000; ++i) text += u"<br>";
  text += u"<x/>";
  XmlDocument doc;
  EXPECT_FALSE(Parse(doc, text.c_str()));
  EXPECT_EQ(doc.freeIndex(), 70002);
  EXPECT_EQ(doc.tree()[70001].level(), 0);
}

TEST(XmlDocumentParse, LoneEndTagIsReportedAndSkipped) {
  XmlDocument doc;
  EXPECT_FALSE(Parse(doc, u"<a></b></a>"));
  EXPECT_EQ(doc.results(), u"<lone_end_tag tagname=\"b\" offset=\"3\"/>");
  EXPECT_TRUE(doc.tree()[1].flags & ElementRecord::kIllFormedData);
  EXPECT_EQ(doc.tree()[1].length, 11);
}

TEST(XmlDocumentParse, SyntaxErrorsAreReportedWithOffsets) {
  XmlDocument doc;
  struct Case {
    const char16_t* text;
    const char16_t* results;
  } cases[] = {
      {u"<a>1 < 2</a>", u"<first_tag_syntax offset=\"5\"/>"},
      {u"<a><!x></a>", u"<exclamation_tag_syntax offset=\"3\"/>"},
      {u"<a><!-x></a>", u"<comment_tag_syntax offset=\"3\"/>"},
      {u"<a><![X[]]></a>", u"<cdata_section_syntax offset=\"3\"/>"},
      {u"<a><!-- open", u"<unterminated_tag_syntax type=\"comment\" offset=\"3\"/>"
                        u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"12\"/>"},
      {u"<a b='>", u"<unterminated_tag_syntax type=\"start_tag\" offset=\"0\"/><no_root_element/>"},
      {u"<a></a", u"<unterminated_tag_syntax type=\"end_tag\" offset=\"3\"/>"
                  u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"6\"/>"},
      {u"<a/><?pi", u"<unterminated_tag_syntax type=\"processing_instruction\" offset=\"4\"/>"},
      {u"<a/><![CDATA[x", u"<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>"},
      {u"<a/><", u"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>"},
      {u"<!DOCTYPE a [<!ELEMENT a ANY>", u"<unterminated_tag_syntax type=\"document_type\" offset=\"0\"/>"
                                          u"<no_root_element/>"},
      {u"<!DOCTYPE a [<!ELEMENT a ANY> junk]><a/>", u"<doctype_tag_syntax offset=\"30\"/>"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Parse(doc, c.text)) << Narrow(c.text);
    EXPECT_EQ(Narrow(doc.results()), Narrow(c.results)) << Narrow(c.text);
  }
}

TEST(XmlDocumentParse, MarkupNodesMakeNoRecords) {
  XmlDocument doc;
  EXPECT_TRUE(Parse(doc,
                    u"<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n <!ENTITY e \"<x>\">\n <!-- c -->\n %p;\n]>\n"
                    u"<r><![CDATA[<no/>]]><!-- <no/> --><?pi <no/>?>text</r>"));
  EXPECT_EQ(doc.freeIndex(), 2);
  EXPECT_EQ(doc.results(), u"");
}

TEST(XmlDocumentParse, IgnoreCaseFlagMatchesEndTags) {
  XmlDocument doc;
  EXPECT_FALSE(Parse(doc, u"<Room></ROOM>"));
  doc.setDocFlags(XmlDocument::kIgnoreCase);
  EXPECT_TRUE(Parse(doc, u"<Room></ROOM>"));
  // After an equal unit at or above 0x80 the rest compares exactly.
  EXPECT_TRUE(Parse(doc, u"<A\u00e9b></a\u00e9b>"));
  EXPECT_FALSE(Parse(doc, u"<a\u00e9B></a\u00e9b>"));
}

TEST(XmlDocumentParse, ResultTextStopsGrowingPast999Units) {
  std::u16string text = u"<a>";
  for (int i = 0; i < 200; ++i) text += u"</zz>";
  text += u"</a>";
  XmlDocument doc;
  Parse(doc, text.c_str());
  EXPECT_GT(doc.results().size(), 999u);
  EXPECT_LT(doc.results().size(), 999u + 60);
}

TEST(XmlDocumentFind, WalksTheCurrentLevelForward) {
  XmlDocument doc;
  Parse(doc, u"<RoomID0>1</RoomID0><RoomID2>3</RoomID2>");
  EXPECT_FALSE(doc.findElement(u"AutoConnect"));
  ASSERT_TRUE(doc.findElement(u"RoomID0"));  // still from the first element
  EXPECT_EQ(doc.elementContent(), u"1");
  EXPECT_FALSE(doc.findElement(u"RoomID1"));
  EXPECT_EQ(doc.elementContent(), u"1");  // position unchanged
  ASSERT_TRUE(doc.findElement(u"RoomID2"));
  EXPECT_EQ(doc.elementContent(), u"3");
  EXPECT_FALSE(doc.findElement(u"RoomID0"));  // only forward
}

TEST(XmlDocumentFind, NamesMatchWhole) {
  XmlDocument doc;
  Parse(doc, u"<r><RoomID10/><RoomID1 a='1'/><x/></r>");
  ASSERT_TRUE(doc.findElement(u"r"));
  EXPECT_FALSE(doc.findElement(u"RoomID1"));  // siblings of r only
  Parse(doc, u"<RoomID10/><RoomID1 a='1'/>");
  ASSERT_TRUE(doc.findElement(u"RoomID1"));
  EXPECT_EQ(doc.currentIndex(), 2);
  Parse(doc, u"<RoomID1/>");
  EXPECT_FALSE(doc.findElement(u"RoomID10"));
  EXPECT_FALSE(doc.findElement(u"/RoomID1"));
  EXPECT_FALSE(doc.findElement(u"//RoomID1"));
  EXPECT_TRUE(doc.findElement(u""));  // any element
  EXPECT_FALSE(doc.findElement(nullptr));
  doc.setDocFlags(XmlDocument::kIgnoreCase);
  Parse(doc, u"<RoomID1/>");
  EXPECT_TRUE(doc.findElement(u"roomid1"));
}

TEST(XmlDocumentContent, IsReturnedRaw) {
  XmlDocument doc;
  Parse(doc, u"<a>x &amp; y</a>");
  ASSERT_TRUE(doc.findElement(u"a"));
  EXPECT_EQ(doc.elementContent(), u"x &amp; y");
  Parse(doc, u"<a><![CDATA[1]]><b/></a>");
  ASSERT_TRUE(doc.findElement(u"a"));
  EXPECT_EQ(doc.elementContent(), u"<![CDATA[1]]><b/>");
  Parse(doc, u"<a/>");
  ASSERT_TRUE(doc.findElement(u"a"));
  EXPECT_EQ(doc.elementContent(), u"");
  EXPECT_EQ(XmlDocument().elementContent(), u"");
}

TEST(XmlDocumentAdd, BuildsTheSettingsLayout) {
  XmlDocument doc;
  ASSERT_TRUE(doc.addElement(u"AutoConnect", u"1"));
  ASSERT_TRUE(doc.addElement(u"RoomID0", u"123"));
  EXPECT_EQ(doc.text(), u"<AutoConnect>1</AutoConnect>\r\n<RoomID0>123</RoomID0>\r\n");
  EXPECT_EQ(qvtest::CheckTree(doc), "");
  EXPECT_FALSE(doc.isWellFormed());  // two top-level elements

  XmlDocument one;
  ASSERT_TRUE(one.addElement(u"a", u""));
  EXPECT_EQ(one.text(), u"<a/>\r\n");
  EXPECT_TRUE(one.isWellFormed());
}

TEST(XmlDocumentAdd, EscapesAndFlags) {
  struct Case {
    const char16_t* value;
    int flags;
    const char16_t* text;
  } cases[] = {
      {u"1<2", 0, u"<a>1&lt;2</a>\r\n"},
      {u"a&b>\"'", 0, u"<a>a&amp;b&gt;\"'</a>\r\n"},
      {u"&amp; &#20; &x", XmlDocument::kAddKeepRefs, u"<a>&amp; &#20; &amp;x</a>\r\n"},
      {u"x]]>y", XmlDocument::kAddCdata, u"<a><![CDATA[x]]]]><![CDATA[>y]]></a>\r\n"},
      {u"v", XmlDocument::kAddNoLineEnd, u"<a>v</a>"},
      {u"", XmlDocument::kAddSpacedEmpty, u"<a />\r\n"},
      {u"", XmlDocument::kAddStartOnly, u"<a>\r\n"},
  };
  for (const Case& c : cases) {
    XmlDocument doc;
    ASSERT_TRUE(doc.addElement(u"a", c.value, c.flags));
    EXPECT_EQ(Narrow(doc.text()), Narrow(c.text));
    EXPECT_EQ(qvtest::CheckTree(doc), "");
  }
  XmlDocument doc;
  EXPECT_FALSE(doc.addElement(u"a", u"v", XmlDocument::kAddStartOnly));
  EXPECT_FALSE(doc.addElement(u"a", u"v", XmlDocument::kAddChild));  // no current element
  EXPECT_FALSE(doc.addElement(u"", u"v"));
  EXPECT_FALSE(doc.addElement(nullptr, u"v"));
  EXPECT_FALSE(doc.addElement(u"a b", u"v"));
  EXPECT_FALSE(doc.addElement(u"1a", u"v"));
  EXPECT_EQ(doc.text(), u"");
}

TEST(XmlDocumentAdd, InsertsAfterCurrentAndShiftsLaterRecords) {
  XmlDocument doc;
  Parse(doc, u"<r>\r\n<a>1</a>\r\n<c>3</c>\r\n</r>\r\n");
  ASSERT_TRUE(doc.findElement(u"r"));
  ASSERT_TRUE(doc.addElement(u"z", u"9", XmlDocument::kAddChild));  // last child of r
  EXPECT_EQ(doc.text(), u"<r>\r\n<a>1</a>\r\n<c>3</c>\r\n<z>9</z>\r\n</r>\r\n");
  EXPECT_EQ(qvtest::CheckTree(doc), "");

  Parse(doc, u"<r>\r\n<a>1</a>\r\n<c>3</c>\r\n</r>\r\n");
  ASSERT_TRUE(doc.findElement(u"r"));
  ASSERT_TRUE(doc.addElement(u"x", u"", XmlDocument::kAddChild));
  std::u16string expected = u"<r>\r\n<a>1</a>\r\n<c>3</c>\r\n<x/>\r\n</r>\r\n";
  EXPECT_EQ(doc.text(), expected);
  EXPECT_EQ(qvtest::CheckTree(doc), "");

  // After a found element: between it and its next sibling.
  Parse(doc, u"<a>1</a>\r\n<c>3</c>\r\n");
  ASSERT_TRUE(doc.findElement(u"a"));
  ASSERT_TRUE(doc.addElement(u"b", u"2"));
  EXPECT_EQ(doc.text(), u"<a>1</a>\r\n<b>2</b>\r\n<c>3</c>\r\n");
  EXPECT_EQ(qvtest::CheckTree(doc), "");
  ASSERT_TRUE(doc.findElement(u"c"));
  EXPECT_EQ(doc.elementContent(), u"3");
}

TEST(XmlDocumentAdd, ChildOfAnEmptyElementOpensIt) {
  XmlDocument doc;
  Parse(doc, u"<p a='1'/>");
  ASSERT_TRUE(doc.findElement(u"p"));
  ASSERT_TRUE(doc.addElement(u"c", u"v", XmlDocument::kAddChild));
  EXPECT_EQ(doc.text(), u"<p a='1'><c>v</c>\r\n</p>");
  EXPECT_EQ(qvtest::CheckTree(doc), "");
  EXPECT_EQ(doc.parentIndex(), 1);
  EXPECT_TRUE(XmlDocument().setDocument(doc.text().c_str()));
}

// Whatever sequence of additions, re-parsing the text gives the same records.
TEST(XmlDocumentAdd, TreeAgreesWithAReparseAfterManyAdditions) {
  XmlDocument doc;
  const char16_t* names[] = {u"a", u"bb", u"ccc"};
  const int flagSets[] = {0, XmlDocument::kAddChild, XmlDocument::kAddNoLineEnd, XmlDocument::kAddSpacedEmpty,
                          XmlDocument::kAddChild | XmlDocument::kAddCdata};
  unsigned seed = 7;
  for (int step = 0; step < 300; ++step) {
    seed = seed * 1103515245u + 12345u;
    int flags = flagSets[(seed >> 8) % 5];
    const char16_t* value = (seed >> 12) % 3 == 0 ? u"" : u"v<&>";
    if (flags & XmlDocument::kAddCdata && !*value) value = u"]]>";
    if ((seed >> 16) % 7 == 0) {
      doc.findElement(nullptr);
    }
    doc.addElement(names[(seed >> 4) % 3], value, flags);
    ASSERT_EQ(qvtest::CheckTree(doc), "") << "step " << step;
  }
  XmlDocument reparsed;
  reparsed.setDocument(doc.text().c_str());
  ASSERT_EQ(reparsed.freeIndex(), doc.freeIndex());
  // Records are numbered in addition order, so compare by document order instead.
  auto flatten = [](const XmlDocument& d) {
    std::vector<std::tuple<int, int, int, int>> out;
    for (int i = 1; i < d.freeIndex(); ++i) {
      const ElementRecord& r = d.tree()[i];
      out.emplace_back(r.start, r.length, static_cast<int>(r.tagLengths), r.level());
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(flatten(doc), flatten(reparsed));
}

TEST(XmlDocumentState, StreamFlagsRefuseOperations) {
  XmlDocument doc;
  doc.addElement(u"a", u"1");
  doc.setDocFlags(XmlDocument::kWritingFile);
  EXPECT_FALSE(doc.findElement(u"a"));
  EXPECT_FALSE(doc.setDocument(u"<b/>"));
  EXPECT_FALSE(doc.save(u"/nonexistent/x.xml"));
  EXPECT_TRUE(doc.isWellFormed());
  doc.setDocFlags(XmlDocument::kReadingFile);
  EXPECT_FALSE(doc.addElement(u"b", u"2"));
  EXPECT_FALSE(doc.load(u"/nonexistent/x.xml"));
  EXPECT_EQ(doc.elementContent(), u"");
}

}  // namespace
