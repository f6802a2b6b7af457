// The display for tests: a virtual desktop of a fixed size. Windows exist only in the window
// model; their images are kept by the GDI part and composed on request.
#pragma once

#include <mutex>

#include "platform/backend.h"

namespace qvp {

class HeadlessBackend : public Backend {
 public:
  const char* Name() const override { return "headless"; }
  RECT DesktopRect() override;
  RECT WorkArea() override;
  // Changes the desktop; top-level windows hear of it through WM_DISPLAYCHANGE.
  void SetDesktop(const RECT& desktop, const RECT& workArea);

 private:
  std::mutex mutex_;
  RECT desktop_{0, 0, 1920, 1080};
  RECT workArea_{0, 0, 1920, 1080};
};

}  // namespace qvp
