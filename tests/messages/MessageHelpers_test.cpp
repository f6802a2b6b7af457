// The decoder's helpers and the records' display texts, without windows.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "messages/JsonAccess.h"
#include "messages/MsgDecoder.h"
#include "messages/Utf8ToDuiString.h"
#include "messages/VirelWebsockMsg.h"

namespace {

std::u16string S(const CDuiString& s) { return std::u16string(s.GetData(), static_cast<size_t>(s.GetLength())); }

class Parsed {
 public:
  explicit Parsed(const std::string& text) {
    json_settings settings = {};
    char error[json_error_max];
    m_root = json_parse_ex(&settings, text.data(), text.size(), error);
  }
  ~Parsed() {
    if (m_root) json_value_free(m_root);
  }
  const json_value& operator*() const { return *m_root; }

 private:
  json_value* m_root = nullptr;
};

TEST(RecordText, ChatEnterAndGiftReadAsShown) {
  stVirelMsgChat chat;
  chat.nickname = u"A";
  chat.content = u"hi";
  EXPECT_EQ(S(chat.GetNickName() + chat.GetMsgText()), u"A 说:hi");
  chat.content.Empty();
  EXPECT_EQ(S(chat.GetMsgText()), u" 说:");

  stVirelMsgEnter enter;
  enter.nickname = u"Bo";
  EXPECT_EQ(S(enter.GetMsgText()), u"进入房间");
  EXPECT_EQ(S(enter.GetNickName() + enter.GetMsgText()), u"Bo进入房间");

  stVirelMsgGift gift;
  gift.nickname = u"Ann";
  gift.unit = u"个";
  gift.giftName = u"玫瑰";
  gift.giftCount = 1;
  EXPECT_EQ(S(gift.GetNickName() + gift.GetMsgText()), u"Ann 送出 1个玫瑰");
  gift.giftCount = INT64_MIN;
  EXPECT_EQ(S(gift.GetMsgText()), u" 送出 -9223372036854775808个玫瑰");
  gift.giftCount = INT64_MAX;
  EXPECT_EQ(S(gift.GetMsgText()), u" 送出 9223372036854775807个玫瑰");
}

TEST(RecordText, FreshRecordsHoldDefinedValues) {
  stVirelMsgGift gift;
  EXPECT_EQ(gift.giftCount, 0);
  EXPECT_EQ(gift.sendPrice, 0);
  EXPECT_EQ(gift.rsvPrice, 0);
  EXPECT_EQ(S(gift.GetMsgText()), u" 送出 0");
  const GUID zero = {};
  EXPECT_EQ(std::memcmp(&gift.connectGuid, &zero, sizeof(GUID)), 0);
  stWebsockMainProgress progress;
  EXPECT_EQ(progress.fromPercent, -1);
  // Deleting through the root runs the derived destructor (LeakSanitizer checks the strings).
  stVirelWebsockMsg* root = new stVirelMsgChat;
  static_cast<stVirelMsgChat*>(root)->content = u"a long enough text to live on the heap, surely";
  delete root;
}

TEST(ReplaceEmotions, EveryCodeBecomesItsWord) {
  const char16_t* codes[][2] = {
      {u"[x_01good]", u"[鼓掌]"},       {u"[x_02up]", u"[顶]"},         {u"[x_03kiss]", u"[亲吻]"},
      {u"[x_04fil]", u"[来电]"},        {u"[x_05trick]", u"[贱笑]"},    {u"[x_06revel]", u"[陶醉]"},
      {u"[x_07excited]", u"[兴奋]"},    {u"[x_08laugh]", u"[偷笑]"},    {u"[x_09indecent]", u"[挖鼻孔]"},
      {u"[x_10badluck]", u"[衰]"},      {u"[x_11drop]", u"[流汗]"},     {u"[x_12grief]", u"[伤心]"},
      {u"[x_13grimace]", u"[鬼脸]"},    {u"[x_14laughing]", u"[狂笑]"}, {u"[x_15lovely]", u"[可怜]"},
      {u"[x_16rage]", u"[气愤]"},       {u"[x_17scare]", u"[惊吓]"},    {u"[x_18sleep]", u"[困了]"},
      {u"[x_19bye]", u"[再见]"},        {u"[x_20moving]", u"[感动]"},   {u"[x_21dizzy]", u"[晕]"},
      {u"[x_22awesome]", u"[给力]"},    {u"[x_23jiong]", u"[囧]"},      {u"[x_24snicker]", u"[窃笑]"},
      {u"[x_25doubt]", u"[疑问]"},      {u"[x_26guise]", u"[装逼]"},    {u"[x_27sorry]", u"[抱歉]"},
      {u"[x_28nosebleed]", u"[鼻血]"},  {u"[x_29contempt]", u"[鄙视]"}, {u"[x_30idle]", u"[发呆]"},
      {u"[x_31ashamed]", u"[害羞]"},    {u"[x_32lovely]", u"[可爱]"},   {u"[x_33vomit]", u"[呕吐]"},
      {u"[x_34sleeping]", u"[睡觉]"},   {u"[x_35grievance]", u"[委屈]"},
  };
  CDuiString all, expected;
  for (const auto& c : codes) {
    CDuiString one(c[0]);
    ReplaceEmotions(one);
    EXPECT_EQ(S(one), c[1]);
    all += c[0];
    all += u" ";
    expected += c[1];
    expected += u" ";
  }
  ReplaceEmotions(all);
  EXPECT_EQ(S(all), S(expected));
}

TEST(ReplaceEmotions, LeavesUnknownAndMisspeltCodes) {
  CDuiString s(u"[x_00none][X_01GOOD][x_01good [x_01good][x_36more]x_01good");
  ReplaceEmotions(s);
  EXPECT_EQ(S(s), u"[x_00none][X_01GOOD][x_01good [鼓掌][x_36more]x_01good");
}

TEST(Utf8ToDuiString, ConvertsNullEmptyAndIllFormedText) {
  EXPECT_TRUE(Utf8ToDuiString(nullptr).IsEmpty());
  EXPECT_TRUE(Utf8ToDuiString("").IsEmpty());
  EXPECT_EQ(S(Utf8ToDuiString("A直播")), u"A直播");
  EXPECT_EQ(S(Utf8ToDuiString("\xF0\x9F\x98\x80")), u"\U0001F600");
  // Ill-formed bytes become U+FFFD rather than dropping the text.
  EXPECT_EQ(S(Utf8ToDuiString("a\xFF" "b")), u"a\uFFFDb");
  EXPECT_EQ(S(Utf8ToDuiString("x\xE4\xB8")), u"x\uFFFD");
}

TEST(JsonAccess, MemberMatchesWholeNameInDocumentOrder) {
  Parsed doc(R"({"a":1,"ab":2,"a":3,"b\u0000c":4})");
  EXPECT_EQ(JsonToInt64(JsonMember(*doc, "a")), 1);
  EXPECT_EQ(JsonToInt64(JsonMember(*doc, "ab")), 2);
  EXPECT_EQ(JsonMember(*doc, "A").type, json_none);
  // A name with a NUL in it is not the name up to the NUL.
  EXPECT_EQ(JsonMember(*doc, "b").type, json_none);
  EXPECT_EQ(JsonMember(JsonMember(*doc, "a"), "x").type, json_none);
  EXPECT_EQ(JsonMember(*doc, nullptr).type, json_none);
}

TEST(JsonAccess, FirstItemOnlyOfNonEmptyArrays) {
  Parsed doc(R"({"l":[7,8],"e":[],"o":{"k":1}})");
  EXPECT_EQ(JsonToInt64(JsonFirstItem(JsonMember(*doc, "l"))), 7);
  EXPECT_EQ(JsonFirstItem(JsonMember(*doc, "e")).type, json_none);
  EXPECT_EQ(JsonFirstItem(JsonMember(*doc, "o")).type, json_none);
}

TEST(JsonAccess, NumbersTruncateTowardZeroAndSaturate) {
  Parsed doc(R"([12, -2.7, 2.7, 1e300, -1e300, "5", true, null])");
  const json_value& a = *doc;
  ASSERT_EQ(a.type, json_array);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[0]), 12);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[1]), -2);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[2]), 2);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[3]), INT64_MAX);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[4]), INT64_MIN);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[5]), 0);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[6]), 0);
  EXPECT_EQ(JsonToInt64(*a.u.array.values[7]), 0);
  // The parser reads integers beyond 64 bits as floating point. (It scales them wrongly when a
  // fraction came earlier in the document, so this one stands alone.)
  Parsed big("[99999999999999999999999, -99999999999999999999999]");
  EXPECT_EQ(JsonToInt64(*(*big).u.array.values[0]), INT64_MAX);
  EXPECT_EQ(JsonToInt64(*(*big).u.array.values[1]), INT64_MIN);
}

TEST(JsonAccess, TextOnlyOfStrings) {
  Parsed doc(R"({"s":"caf\u00e9","n":5})");
  EXPECT_STREQ(JsonToText(JsonMember(*doc, "s")), "caf\xC3\xA9");
  EXPECT_STREQ(JsonToText(JsonMember(*doc, "n")), "");
  EXPECT_STREQ(JsonToText(json_value_none), "");
}

}  // namespace
