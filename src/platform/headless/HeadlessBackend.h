// The display for tests: a virtual desktop of one or more monitors of fixed sizes. Windows exist
// only in the window model; their images are kept by the GDI part and composed on request.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/backend.h"

namespace qvp {

class HeadlessBackend : public Backend {
 public:
  const char* Name() const override { return "headless"; }
  RECT DesktopRect() override;
  RECT WorkArea() override;
  std::vector<MonitorDesc> Monitors() override;
  // Changes the desktop to one monitor; top-level windows hear of it through WM_DISPLAYCHANGE.
  void SetDesktop(const RECT& desktop, const RECT& workArea);
  // Replaces the monitors (the primary first). Top-level windows get WM_DISPLAYCHANGE when a
  // monitor came, went, moved or changed size; a change of work areas alone does not send it.
  void SetMonitors(std::vector<MonitorDesc> monitors);
  double Scale() override { return scale_.load(); }
  void SetScale(double scale) { scale_ = scale; }

 private:
  std::mutex mutex_;
  std::atomic<double> scale_{1.0};
  std::vector<MonitorDesc> monitors_{MonitorDesc{RECT{0, 0, 1920, 1080}, RECT{0, 0, 1920, 1080}, true}};
};

}  // namespace qvp
