#include "Scenario.h"

#include <fstream>
#include <sstream>

#include "Json.h"

namespace roomsim {

bool ParseScenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error) {
  std::istringstream in(text);
  std::string line;
  std::vector<ScenarioStep> parsed;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string where = "line " + std::to_string(number) + ": ";
    std::string parseError;
    JsonPtr root = ParseJson(line, &parseError);
    if (!root || root->type != json_object) {
      *error = where + (root ? "expected a JSON object" : parseError);
      return false;
    }
    ScenarioStep step;
    const json_value* delay = Member(root.get(), "delay");
    if (delay && (!IsInteger(delay) || delay->u.integer < 0 || delay->u.integer > 86400000)) {
      *error = where + "\"delay\" must be a whole number of milliseconds";
      return false;
    }
    step.delayMs = static_cast<int>(IntOr(delay, 0));
    const json_value* frame = Member(root.get(), "frame");
    const json_value* close = Member(root.get(), "close");
    if (frame && close) {
      *error = where + "a step has either \"frame\" or \"close\"";
      return false;
    }
    if (close) {
      if (!IsInteger(close) || close->u.integer < 1000 || close->u.integer > 4999) {
        *error = where + "\"close\" must be a close code from 1000 to 4999";
        return false;
      }
      step.close = true;
      step.closeCode = static_cast<int>(close->u.integer);
      step.closeReason = StringOr(Member(root.get(), "reason"), "");
    } else if (IsString(frame)) {
      step.frame.payload = StringOr(frame, "");
    } else if (frame) {
      step.frame.payload = RawMember(line, "frame");
    } else {
      *error = where + "a step needs \"frame\" or \"close\"";
      return false;
    }
    const json_value* binary = Member(root.get(), "binary");
    step.frame.binary = binary && binary->type == json_boolean && binary->u.boolean;
    parsed.push_back(step);
  }
  *steps = std::move(parsed);
  return true;
}

bool LoadScenario(const std::string& path, std::vector<ScenarioStep>* steps, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read scenario file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!ParseScenario(text.str(), steps, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace roomsim
