#include "messages/MsgDecoder.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "messages/JsonAccess.h"
#include "messages/Utf8ToDuiString.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"

namespace {

// Message kinds the server pushes, by MsgTag.
enum : int64_t {
  kTagFirst = 10010206,
  kTagEnter = 10010206,
  kTagGift = 10010208,
  kTagChat = 10010209,
  kTagLiveAddress = 10010210,
  kTagOffline = 10010211,
  kTagChat2 = 10010300,
  kTagUserCount = 20020113,
  kTagEnter2 = 20020123,
  kTagLast = 20020123,
};

// Props that let a user without a rich level show up on entering.
const int64_t kEnterPropA = 100001;
const int64_t kEnterPropB = 100002;

bool IsString(const json_value& v) { return v.type == json_string; }
bool IsInteger(const json_value& v) { return v.type == json_integer; }

// atoi's reading of a number (leading blanks, sign, digits), saturated to 32 bits instead of
// leaving an out-of-range text undefined.
int32_t TextToInt32(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

class Decoder {
 public:
  Decoder(const CWebSockSession& session, const GUID& guid) : m_session(session), m_guid(guid) {}

  // `payload` is the frame as text when traces are read, else empty.
  void Dispatch(int64_t tag, const json_value& root, const std::string& payload) {
    switch (tag) {
      case kTagEnter: Enter(root); break;
      case kTagGift: Gift(root); break;
      case kTagChat:
      case kTagChat2: Chat(root); break;
      case kTagLiveAddress: {
        const json_value& address = JsonMember(root, "mediaAddress");
        SendOnlineState(IsString(address) && JsonToText(address)[0] != '\0');
        break;
      }
      case kTagOffline: SendOnlineState(false); break;
      case kTagUserCount: SendUserCount(JsonToInt64(JsonMember(root, "userCount"))); break;
      case kTagEnter2: {
        if (!payload.empty()) OutputDebugStringA(payload.c_str());
        PostEnter(JsonMember(JsonMember(root, "userInfo"), "nickname"));
        SendUserCount(JsonToInt64(JsonMember(root, "userCount")));
        break;
      }
      default: break;
    }
  }

 private:
  void Enter(const json_value& root) {
    OutputDebugStringA("在线人数\r\n");
    int64_t count = JsonToInt64(JsonMember(root, "userCount"));
    const json_value& info = JsonMember(root, "userInfo");
    int64_t richLevel = JsonToInt64(JsonMember(info, "richLevel"));
    int64_t firstProp = JsonToInt64(JsonFirstItem(JsonMember(info, "propList")));
    if (richLevel >= 1 || firstProp == kEnterPropA || firstProp == kEnterPropB)
      PostEnter(JsonMember(info, "nickname"));
    SendUserCount(count);
  }

  void PostEnter(const json_value& nickname) {
    if (!IsString(nickname)) return;
    NotifySessionWindow<stVirelMsgEnter>(m_session.m_hWndMsg, m_session.m_uNotifyMsg, WEBSOCK_NOTIFY_ENTER,
                                         m_guid, NotifyDelivery::Post, [&](stVirelMsgEnter& rec) {
                                           rec.nickname = Utf8ToDuiString(JsonToText(nickname));
                                         });
  }

  void Gift(const json_value& root) {
    const json_value& nickname = JsonMember(root, "sNickname");
    const json_value& count = JsonMember(root, "giftCount");
    const json_value& giftName = JsonMember(root, "giftName");
    const json_value& sendPrice = JsonMember(root, "sendPrice");
    const json_value& rsvPrice = JsonMember(root, "rsvPrice");
    const json_value& unit = JsonMember(root, "unit");
    if (!IsString(nickname) || !IsString(giftName) || !IsString(unit) || !IsInteger(sendPrice) ||
        !IsInteger(rsvPrice))
      return;
    NotifySessionWindow<stVirelMsgGift>(m_session.m_hWndMsg, m_session.m_uNotifyMsg, WEBSOCK_NOTIFY_GIFT, m_guid,
                                        NotifyDelivery::Post, [&](stVirelMsgGift& rec) {
                                          rec.nickname = Utf8ToDuiString(JsonToText(nickname));
                                          if (IsInteger(count))
                                            rec.giftCount = count.u.integer;
                                          else if (IsString(count))
                                            rec.giftCount = TextToInt32(JsonToText(count));
                                          rec.giftName = Utf8ToDuiString(JsonToText(giftName));
                                          rec.sendPrice = sendPrice.u.integer;
                                          rec.rsvPrice = rsvPrice.u.integer;
                                          rec.unit = Utf8ToDuiString(JsonToText(unit));
                                        });
  }

  void Chat(const json_value& root) {
    std::printf("聊天消息\r\n");
    const json_value& nickname = JsonMember(root, "sNickname");
    const json_value& content = JsonMember(root, "content");
    if (!IsString(nickname) || !IsString(content)) return;
    std::printf("聊天消息1\r\n");
    NotifySessionWindow<stVirelMsgChat>(m_session.m_hWndMsg, m_session.m_uNotifyMsg, WEBSOCK_NOTIFY_CHAT, m_guid,
                                        NotifyDelivery::Post, [&](stVirelMsgChat& rec) {
                                          rec.nickname = Utf8ToDuiString(JsonToText(nickname));
                                          rec.content = Utf8ToDuiString(JsonToText(content));
                                          ReplaceEmotions(rec.content);
                                        });
  }

  void SendUserCount(int64_t count) {
    HWND hWnd = m_session.m_hWndState;
    if (!hWnd) return;
    OutputDebugStringA("在线人数1\r\n");
    NotifySessionWindow<stWebsockMsgUsercount>(
        hWnd, m_session.m_uNotifyMsg, WEBSOCK_NOTIFY_USERCOUNT, m_guid, NotifyDelivery::Send,
        [&](stWebsockMsgUsercount& rec) { rec.userCount = static_cast<int32_t>(static_cast<uint32_t>(count)); });
  }

  void SendOnlineState(bool online) {
    NotifySessionWindow<stWebsockMsgOnlineState>(
        m_session.m_hWndState, m_session.m_uNotifyMsg, WEBSOCK_NOTIFY_ONLINESTATE, m_guid, NotifyDelivery::Send,
        [&](stWebsockMsgOnlineState& rec) { rec.online = online ? 1 : 0; });
  }

  const CWebSockSession& m_session;
  const GUID& m_guid;
};

struct Emotion {
  const WCHAR* code;
  const WCHAR* word;
};

const Emotion kEmotions[] = {
    {u"[x_01good]", u"[鼓掌]"},       {u"[x_02up]", u"[顶]"},
    {u"[x_03kiss]", u"[亲吻]"},       {u"[x_04fil]", u"[来电]"},
    {u"[x_05trick]", u"[贱笑]"},      {u"[x_06revel]", u"[陶醉]"},
    {u"[x_07excited]", u"[兴奋]"},    {u"[x_08laugh]", u"[偷笑]"},
    {u"[x_09indecent]", u"[挖鼻孔]"}, {u"[x_10badluck]", u"[衰]"},
    {u"[x_11drop]", u"[流汗]"},       {u"[x_12grief]", u"[伤心]"},
    {u"[x_13grimace]", u"[鬼脸]"},    {u"[x_14laughing]", u"[狂笑]"},
    {u"[x_15lovely]", u"[可怜]"},     {u"[x_16rage]", u"[气愤]"},
    {u"[x_17scare]", u"[惊吓]"},      {u"[x_18sleep]", u"[困了]"},
    {u"[x_19bye]", u"[再见]"},        {u"[x_20moving]", u"[感动]"},
    {u"[x_21dizzy]", u"[晕]"},        {u"[x_22awesome]", u"[给力]"},
    {u"[x_23jiong]", u"[囧]"},        {u"[x_24snicker]", u"[窃笑]"},
    {u"[x_25doubt]", u"[疑问]"},      {u"[x_26guise]", u"[装逼]"},
    {u"[x_27sorry]", u"[抱歉]"},      {u"[x_28nosebleed]", u"[鼻血]"},
    {u"[x_29contempt]", u"[鄙视]"},   {u"[x_30idle]", u"[发呆]"},
    {u"[x_31ashamed]", u"[害羞]"},    {u"[x_32lovely]", u"[可爱]"},
    {u"[x_33vomit]", u"[呕吐]"},      {u"[x_34sleeping]", u"[睡觉]"},
    {u"[x_35grievance]", u"[委屈]"},
};

}  // namespace

void ReplaceEmotions(CDuiString& text) {
  // Every code is "[x_" and its two-digit number, which picks its row of the table; most chat
  // lines have none. One pass: codes cannot overlap (a code holds no '['), and no word makes one.
  int first = text.Find(u"[x_");
  if (first < 0) return;
  const WCHAR* s = text.GetData();
  const size_t n = static_cast<size_t>(text.GetLength());
  std::u16string out(s, static_cast<size_t>(first));
  out.reserve(n);
  for (size_t i = static_cast<size_t>(first); i < n;) {
    if (s[i] == u'[' && i + 5 <= n && s[i + 1] == u'x' && s[i + 2] == u'_' && s[i + 3] >= u'0' && s[i + 3] <= u'9' &&
        s[i + 4] >= u'0' && s[i + 4] <= u'9') {
      size_t number = static_cast<size_t>((s[i + 3] - u'0') * 10 + (s[i + 4] - u'0'));
      if (number >= 1 && number <= sizeof kEmotions / sizeof kEmotions[0]) {
        const Emotion& e = kEmotions[number - 1];
        size_t length = std::char_traits<char16_t>::length(e.code);
        if (n - i >= length && std::char_traits<char16_t>::compare(s + i, e.code, length) == 0) {
          out += e.word;
          i += length;
          continue;
        }
      }
    }
    out += s[i++];
  }
  text = CDuiString(out.data(), static_cast<int>(out.size()));
}

constexpr unsigned long kMaxParseMemory = 128ul << 20;

void DecodeWebsockMessage(const CWebSockSession& session, const GUID& connectGuid, const char* pPayload,
                          size_t nLength) {
  if (!pPayload) nLength = 0;
  json_settings settings = {};
  // A frame of tiny values ("[0,0,...]") costs the parser some 30 times its size; a hostile
  // server must not make one frame cost a gigabyte. Real room messages are far below this.
  settings.max_memory = kMaxParseMemory;
  char error[json_error_max];
  json_value* root = json_parse_ex(&settings, pPayload ? pPayload : "", nLength, error);
  // The traces need the payload NUL-terminated; it is copied only when someone reads them.
  std::string traced;
  if (IsDebuggerPresent()) {
    traced.assign(pPayload ? pPayload : "", nLength);
    OutputDebugStringA(traced.c_str());
  }
  if (!root) return;
  const json_value& tag = JsonMember(*root, "MsgTag");
  if (IsInteger(tag) && tag.u.integer >= kTagFirst && tag.u.integer <= kTagLast)
    Decoder(session, connectGuid).Dispatch(tag.u.integer, *root, traced);
  json_value_free(root);
}
