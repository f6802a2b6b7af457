// Test hooks of the notification area on the headless desktop: the icons and balloons it shows,
// a notification area that goes away and comes back, and clicks on an icon. The program itself
// never calls these.
#pragma once

#include <string>
#include <vector>

#include "testing_gdi.h"
#include "testing_input.h"
#include "win32/types.h"

namespace qvplatform::testing {

struct TrayIconRecord {
  HWND owner = nullptr;
  unsigned id = 0;
  std::u16string tip;
  bool shown = false;  // a notification area shows it now
  Image image;         // the icon's pixels (0x00RRGGBB over black where transparent); empty without one
  std::vector<uint8_t> alpha;  // per pixel of `image`
};

struct TrayBalloonRecord {
  HWND owner = nullptr;
  unsigned id = 0;
  std::u16string title;
  std::u16string text;  // empty: the balloon was taken away
  unsigned infoFlags = 0;
};

// Icons known to the layer (also those no notification area shows), in the order they were added.
std::vector<TrayIconRecord> TrayIcons();
// Every balloon shown or taken away since the process started or the last ClearTrayBalloons.
std::vector<TrayBalloonRecord> TrayBalloons();
void ClearTrayBalloons();

// The headless desktop's notification area (present by default). Taking it away hides the icons;
// bringing it back shows them again.
void SetHeadlessTrayPresent(bool present);

// A press or release on the icon (owner, id) with the pointer at (x, y); false when no shown icon
// has that identity. Presses are timed with the layer clock for double clicks.
bool InjectTrayButton(HWND owner, unsigned id, Button button, bool down, int x = 0, int y = 0);
bool InjectTrayMouseMove(HWND owner, unsigned id, int x = 0, int y = 0);

}  // namespace qvplatform::testing
