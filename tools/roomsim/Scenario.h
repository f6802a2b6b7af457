// Scripted scenarios: JSON lines, each a frame to push (or a close) after a delay.
#pragma once

#include <string>
#include <vector>

#include "Traffic.h"

namespace roomsim {

struct ScenarioStep {
  int delayMs = 0;  // after the previous step (the first: after the join)
  Frame frame;
  bool close = false;
  int closeCode = 1000;
  std::string closeReason;
};

// Lines: {"delay":MS,"frame":{...}} pushes the object's text exactly as written;
// {"delay":MS,"frame":"text"} pushes the string's text (for malformed frames), with
// "binary":true as a binary frame; {"delay":MS,"close":CODE,"reason":"..."} closes.
// Blank lines and lines starting with # are skipped.
bool ParseScenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error);
bool LoadScenario(const std::string& path, std::vector<ScenarioStep>* steps, std::string* error);

}  // namespace roomsim
