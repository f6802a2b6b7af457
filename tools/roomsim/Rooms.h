// The simulated rooms: user IDs, vanity numbers, nicknames and live state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace roomsim {

struct Room {
  int userId = 0;
  std::vector<int> luckyIds;  // vanity numbers that resolve to userId
  std::string nickname;
  bool live = true;
  int64_t userCount = 0;
};

class Rooms {
 public:
  // The rooms a fresh build knows without a file.
  static Rooms Default();
  // Reads a rooms file; false with `error` naming the problem.
  static bool Load(const std::string& path, Rooms* rooms, std::string* error);
  static bool Parse(const std::string& text, Rooms* rooms, std::string* error);

  // The user ID behind a typed number: a vanity number's owner, otherwise the number itself.
  int ResolveLuckyId(int number) const;
  const Room* Find(int userId) const;
  const std::vector<Room>& All() const { return rooms_; }

 private:
  std::vector<Room> rooms_;
};

}  // namespace roomsim
