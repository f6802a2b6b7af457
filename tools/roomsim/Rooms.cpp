#include "Rooms.h"

#include <fstream>
#include <set>
#include <sstream>

#include "Json.h"

namespace roomsim {

// Kept in step with tools/roomsim/rooms.json.
static const char kDefaultRooms[] = R"({
  "rooms": [
    {"userId": 100001, "luckyIds": [888, 6666], "nickname": "主播小七", "live": true, "userCount": 1234},
    {"userId": 100002, "luckyIds": [520], "nickname": "GameMaster", "live": true, "userCount": 56},
    {"userId": 100003, "luckyIds": [], "nickname": "夜猫子", "live": false, "userCount": 0}
  ]
})";

Rooms Rooms::Default() {
  Rooms rooms;
  std::string error;
  Parse(kDefaultRooms, &rooms, &error);
  return rooms;
}

bool Rooms::Load(const std::string& path, Rooms* rooms, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read rooms file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!Parse(text.str(), rooms, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool Rooms::Parse(const std::string& text, Rooms* rooms, std::string* error) {
  JsonPtr root = ParseJson(text, error);
  if (!root) return false;
  const json_value* list = Member(root.get(), "rooms");
  if (!list || list->type != json_array) {
    *error = "expected an object with a \"rooms\" array";
    return false;
  }
  Rooms parsed;
  std::set<int> numbers;  // user IDs and vanity numbers must not collide
  for (unsigned i = 0; i < list->u.array.length; ++i) {
    const json_value* item = list->u.array.values[i];
    std::string where = "room " + std::to_string(i + 1);
    Room room;
    const json_value* userId = Member(item, "userId");
    if (!IsInteger(userId) || userId->u.integer <= 0 || userId->u.integer > INT32_MAX) {
      *error = where + ": \"userId\" must be a positive 32-bit integer";
      return false;
    }
    room.userId = static_cast<int>(userId->u.integer);
    room.nickname = StringOr(Member(item, "nickname"), "");
    if (room.nickname.empty()) {
      *error = where + ": \"nickname\" must be a non-empty string";
      return false;
    }
    const json_value* live = Member(item, "live");
    room.live = !live || (live->type == json_boolean ? live->u.boolean != 0 : IntOr(live, 1) != 0);
    room.userCount = IntOr(Member(item, "userCount"), 0);
    if (!numbers.insert(room.userId).second) {
      *error = where + ": number " + std::to_string(room.userId) + " is used twice";
      return false;
    }
    if (const json_value* lucky = Member(item, "luckyIds")) {
      if (lucky->type != json_array) {
        *error = where + ": \"luckyIds\" must be an array of integers";
        return false;
      }
      for (unsigned j = 0; j < lucky->u.array.length; ++j) {
        const json_value* n = lucky->u.array.values[j];
        if (!IsInteger(n) || n->u.integer <= 0 || n->u.integer > INT32_MAX) {
          *error = where + ": \"luckyIds\" must be an array of positive 32-bit integers";
          return false;
        }
        if (!numbers.insert(static_cast<int>(n->u.integer)).second) {
          *error = where + ": number " + std::to_string(n->u.integer) + " is used twice";
          return false;
        }
        room.luckyIds.push_back(static_cast<int>(n->u.integer));
      }
    }
    parsed.rooms_.push_back(room);
  }
  *rooms = std::move(parsed);
  return true;
}

int Rooms::ResolveLuckyId(int number) const {
  for (const Room& room : rooms_) {
    for (int lucky : room.luckyIds) {
      if (lucky == number) return room.userId;
    }
  }
  return number;
}

const Room* Rooms::Find(int userId) const {
  for (const Room& room : rooms_) {
    if (room.userId == userId) return &room;
  }
  return nullptr;
}

}  // namespace roomsim
