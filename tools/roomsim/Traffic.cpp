#include "Traffic.h"

#include <algorithm>

#include "Json.h"

namespace roomsim {

namespace {

const std::vector<std::string> kNicknames = {
    "小明", "飞翔的企鹅", "游戏达人", "夜猫子", "Lucky星", "风之子", "一只咸鱼", "路人甲",
    "张三丰", "吃瓜群众", "Ann", "Player_007", "月下独酌", "萌萌哒", "老司机", "清风徐来"};

const std::vector<std::string> kChats = {
    "主播好厉害", "666", "这波操作可以", "来了来了", "hi", "晚上好", "主播加油", "哈哈哈哈",
    "这是什么游戏？", "求带", "前排围观", "好听", "GG"};

// A sample of the emoticon codes the program replaces, plus one it does not know.
const std::vector<std::string> kEmoticons = {
    "[x_01good]", "[x_02up]", "[x_08laugh]", "[x_14laughing]", "[x_19bye]", "[x_22awesome]",
    "[x_23jiong]", "[x_35grievance]", "[x_99unknown]"};

struct Gift {
  const char* name;
  const char* unit;
  int64_t price;
};
const std::vector<Gift> kGifts = {
    {"玫瑰", "朵", 100}, {"鲜花", "束", 200}, {"跑车", "辆", 10000}, {"棒棒糖", "个", 10}, {"游艇", "艘", 50000}};

}  // namespace

std::string ChatFrame(int msgTag, const std::string& nickname, const std::string& content) {
  return "{\"MsgTag\":" + std::to_string(msgTag) + ",\"sNickname\":" + Quote(nickname) +
         ",\"content\":" + Quote(content) + "}";
}

std::string GiftFrame(const std::string& nickname, int64_t count, bool countAsString, const std::string& name,
                      const std::string& unit, int64_t sendPrice, int64_t rsvPrice) {
  std::string countText = countAsString ? Quote(std::to_string(count)) : std::to_string(count);
  return "{\"MsgTag\":10010208,\"sNickname\":" + Quote(nickname) + ",\"giftCount\":" + countText +
         ",\"giftName\":" + Quote(name) + ",\"sendPrice\":" + std::to_string(sendPrice) +
         ",\"rsvPrice\":" + std::to_string(rsvPrice) + ",\"unit\":" + Quote(unit) + "}";
}

std::string EnterFrame(const std::string& nickname, int64_t richLevel, const std::vector<int>& props,
                       int64_t userCount) {
  std::string list;
  for (int p : props) list += (list.empty() ? "" : ",") + std::to_string(p);
  return "{\"MsgTag\":10010206,\"userCount\":" + std::to_string(userCount) + ",\"userInfo\":{\"nickname\":" +
         Quote(nickname) + ",\"richLevel\":" + std::to_string(richLevel) + ",\"propList\":[" + list + "]}}";
}

std::string EnterSecondFormFrame(const std::string& nickname, int64_t userCount) {
  return "{\"MsgTag\":20020123,\"userInfo\":{\"nickname\":" + Quote(nickname) +
         "},\"userCount\":" + std::to_string(userCount) + "}";
}

std::string UserCountFrame(int64_t userCount) {
  return "{\"MsgTag\":20020113,\"userCount\":" + std::to_string(userCount) + "}";
}

std::string LiveFrame(const std::string& mediaAddress) {
  return "{\"MsgTag\":10010210,\"mediaAddress\":" + Quote(mediaAddress) + "}";
}

std::string OfflineFrame() { return "{\"MsgTag\":10010211}"; }

Traffic::Traffic(uint32_t seed) : rng_(seed) {}

int Traffic::Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

const std::string& Traffic::Pick(const std::vector<std::string>& list) {
  return list[static_cast<size_t>(Uniform(0, static_cast<int>(list.size()) - 1))];
}

std::string Traffic::Nickname() { return Pick(kNicknames); }

std::vector<Frame> Traffic::Greeting(const RoomState& room) const {
  std::string media = "rtmp://127.0.0.1/live/" + std::to_string(room.userId);
  return {Frame{room.live ? LiveFrame(media) : OfflineFrame(), false}, Frame{UserCountFrame(room.userCount), false}};
}

Frame Traffic::Next(RoomState& room) {
  int roll = Uniform(0, 99);
  if (roll < 45) {  // chat, now and then the second form, often with emoticons
    std::string content = Pick(kChats);
    if (Uniform(0, 2) == 0) content += Pick(kEmoticons);
    if (Uniform(0, 4) == 0) content = Pick(kEmoticons) + content;
    return {ChatFrame(Uniform(0, 9) == 0 ? 10010300 : 10010209, Nickname(), content), false};
  }
  if (roll < 60) {
    const Gift& g = kGifts[static_cast<size_t>(Uniform(0, static_cast<int>(kGifts.size()) - 1))];
    int64_t count = Uniform(0, 3) == 0 ? Uniform(2, 99) : 1;
    return {GiftFrame(Nickname(), count, Uniform(0, 4) == 0, g.name, g.unit, g.price * count, g.price * count / 2),
            false};
  }
  if (roll < 80) {  // entries: a count change with them
    room.userCount += Uniform(1, 3);
    if (Uniform(0, 3) == 0) return {EnterSecondFormFrame(Nickname(), room.userCount), false};
    // Rich level 0 without a qualifying prop is an entry the program does not show.
    int richLevel = Uniform(0, 1) == 0 ? 0 : Uniform(1, 30);
    std::vector<int> props;
    int p = Uniform(0, 3);
    if (p == 1) props = {100001};
    if (p == 2) props = {100002, 5};
    if (p == 3) props = {5, 100002};
    return {EnterFrame(Nickname(), richLevel, props, room.userCount), false};
  }
  if (roll < 95) {
    room.userCount = std::max<int64_t>(0, room.userCount + Uniform(-5, 5));
    return {UserCountFrame(room.userCount), false};
  }
  room.live = !room.live;
  return Greeting(room).front();
}

Frame Traffic::Malformed() {
  static const std::vector<Frame> kMalformed = {
      {"{\"MsgTag\":10010209,\"sNickname\":\"断了", false},
      {"not json at all", false},
      {"[10010209]", false},
      {"{\"MsgTag\":\"10010209\",\"sNickname\":\"x\",\"content\":\"tag as text\"}", false},
      {"{\"MsgTag\":10010209.0,\"sNickname\":\"x\",\"content\":\"fractional tag\"}", false},
      {"{\"MsgTag\":10010205,\"sNickname\":\"x\",\"content\":\"tag below the range\"}", false},
      {"{\"MsgTag\":99999999999,\"content\":\"tag beyond 32 bits\"}", false},
      {"{\"MsgTag\":10010209,\"sNickname\":7,\"content\":\"nickname not text\"}", false},
      {"{\"MsgTag\":10010208,\"sNickname\":\"x\",\"giftCount\":1,\"giftName\":\"玫瑰\",\"sendPrice\":1.5,"
       "\"rsvPrice\":1,\"unit\":\"朵\"}",
       false},
      {std::string("\x00\x01\xfe\xff{\"MsgTag\":10010209}", 23), true},
  };
  Frame f = kMalformed[malformedIndex_ % kMalformed.size()];
  ++malformedIndex_;
  return f;
}

Frame Traffic::Oversized(size_t bytes) {
  std::string content;
  content.reserve(bytes);
  while (content.size() < bytes) content += "很长的消息[x_01good]";
  return {ChatFrame(10010209, "大话痨", content), false};
}

Frame Traffic::LongChat(size_t chars) {
  static const std::string kWords = "the quick brown fox jumps over the lazy dog while the stream goes on ";
  std::string content;
  content.reserve(chars);
  while (content.size() < chars) content.append(kWords, 0, std::min(kWords.size(), chars - content.size()));
  return {ChatFrame(10010209, "大话痨", content), false};
}

Frame Traffic::DeepJson(size_t levels) {
  std::string frame = "{\"MsgTag\":10010209,\"sNickname\":\"套娃\",\"deep\":";
  frame.reserve(frame.size() + levels * 4 + 64);
  for (size_t i = 0; i < levels; ++i) frame += i % 2 ? "{\"a\":" : "[";
  frame += '0';
  for (size_t i = levels; i-- > 0;) frame += i % 2 ? '}' : ']';
  frame += ",\"content\":\"deep frame\"}";
  return {frame, false};
}

std::vector<Frame> Traffic::InvalidUtf8() {
  std::vector<Frame> frames = {{ChatFrame(10010209, "二进制", "a chat line in a binary frame"), true}};
  const std::vector<std::pair<std::string, std::string>> kInvalid = {
      {"路人甲", "overlong slash \xC0\xAF and NUL \xC0\x80"},
      {"路人甲", "overlong three bytes \xE0\x80\xAF"},
      {"路人甲", "lone surrogates \xED\xA0\x80 and \xED\xBF\xBF"},
      {"路人甲", "truncated \xE4\xB8 sequences \xF0\x9F\x98"},
      {"路人甲", "bytes \xFF\xFE\xFF"},
      {"路人甲", "beyond U+10FFFF \xF4\x90\x80\x80 and lone continuations \x80\xBF"},
      {"\xFF\xC0名字", "invalid nickname"},
  };
  for (const auto& entry : kInvalid) frames.push_back({ChatFrame(10010209, entry.first, entry.second), false});
  return frames;
}

Frame Traffic::ShortLine(const std::string& after) {
  return {ChatFrame(10010209, "小明", "still here after the " + after), false};
}

Frame Traffic::StampedLine(uint64_t seq) { return {ChatFrame(10010209, StampToken(seq), StampBars(seq)), false}; }

std::string Traffic::StampToken(uint64_t seq) { return "#" + std::to_string(seq); }

std::string Traffic::StampBars(uint64_t seq) {
  std::string bars;
  for (int bit = 11; bit >= 0; --bit) bars += (seq >> bit) & 1 ? '|' : '.';
  return bars;
}

}  // namespace roomsim
