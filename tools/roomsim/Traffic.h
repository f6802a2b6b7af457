// Room traffic: the JSON frames the chat server pushes, made up at random or on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace roomsim {

struct Frame {
  std::string payload;
  bool binary = false;
};

struct RoomState {
  int userId = 0;
  bool live = true;
  int64_t userCount = 0;
};

// Frames by MsgTag, as the program's decoder reads them.
std::string ChatFrame(int msgTag, const std::string& nickname, const std::string& content);
std::string GiftFrame(const std::string& nickname, int64_t count, bool countAsString, const std::string& name,
                      const std::string& unit, int64_t sendPrice, int64_t rsvPrice);
std::string EnterFrame(const std::string& nickname, int64_t richLevel, const std::vector<int>& props,
                       int64_t userCount);
std::string EnterSecondFormFrame(const std::string& nickname, int64_t userCount);
std::string UserCountFrame(int64_t userCount);
std::string LiveFrame(const std::string& mediaAddress);  // empty address: offline
std::string OfflineFrame();

class Traffic {
 public:
  explicit Traffic(uint32_t seed);
  // What a connection gets right after its join: the live state and the user count.
  std::vector<Frame> Greeting(const RoomState& room) const;
  // One generated frame; it may move the room's count or live state.
  Frame Next(RoomState& room);
  // The malformed frames in turn: broken JSON, wrong types, unknown tags, a binary frame.
  Frame Malformed();
  // A chat frame whose payload is at least `bytes` long.
  Frame Oversized(size_t bytes);
  // An ordinary chat frame whose content is exactly `chars` ASCII characters: words and spaces.
  static Frame LongChat(size_t chars);
  // A chat frame whose "deep" member nests `levels` arrays and objects, alternately.
  static Frame DeepJson(size_t levels);
  // A binary chat frame, then text chat frames with invalid UTF-8 in otherwise valid JSON.
  static std::vector<Frame> InvalidUtf8();
  // The short ordinary chat line that follows a hostile frame: `after` names it.
  static Frame ShortLine(const std::string& after);
  // The chat line stamped with `seq`: nickname StampToken(seq), content StampBars(seq).
  static Frame StampedLine(uint64_t seq);
  static std::string StampToken(uint64_t seq);  // "#seq"
  // The low 12 bits of seq, most significant first, as "|" (1) or "." (0): a tall or a short mark,
  // so that whoever reads the overlay's pixels tells lines apart without OCR. No spaces, so the
  // line stays short enough not to wrap.
  static std::string StampBars(uint64_t seq);

 private:
  int Uniform(int lo, int hi);
  const std::string& Pick(const std::vector<std::string>& list);
  std::string Nickname();

  std::mt19937 rng_;
  size_t malformedIndex_ = 0;
};

}  // namespace roomsim
